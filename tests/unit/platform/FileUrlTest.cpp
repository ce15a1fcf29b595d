#include "FileUrl.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

TEST(FileUrl, OnlyAbsoluteLocalFileUrlsGiveAPath)
{
    struct Case {
        std::string text;
        std::optional<std::string> path;
    } cases[] = {
        {"file:///tmp/a.plist", "/tmp/a.plist"},
        {"file:/tmp/a.plist", "/tmp/a.plist"},
        {"file://localhost/tmp/a", "/tmp/a"},
        {"FILE://LOCALHOST/tmp/a", "/tmp/a"},
        {"file:///tmp/a%20b/%C3%A9", "/tmp/a b/\xC3\xA9"},
        {"file:///tmp/", "/tmp/"},
        {"file:///", "/"},
        {"file://otherhost/tmp/a", std::nullopt},
        {"file://127.0.0.1/tmp/a", std::nullopt},
        {"file://user@localhost/tmp/a", std::nullopt},
        {"file://localhost:80/tmp/a", std::nullopt},
        {"file:tmp/a", std::nullopt},
        {"file://", std::nullopt},
        {"file:", std::nullopt},
        {"file:///tmp/a?q=1", std::nullopt},
        {"file:///tmp/a#frag", std::nullopt},
        {"file:///tmp/a%2Fb", std::nullopt},
        {"file:///tmp/a%00b", std::nullopt},
        {"file:///tmp/a b", std::nullopt},
        {"file:///tmp/\xC3\xA9", std::nullopt},
        {"http://example.invalid/a", std::nullopt},
        {"/tmp/a.plist", std::nullopt},
        {"", std::nullopt},
        {"%%%", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto url = fileUrlFromString(c.text);
        ASSERT_EQ(url.has_value(), c.path.has_value()) << c.text;
        if (url) {
            EXPECT_EQ(url->path, *c.path) << c.text;
        }
    }
}
