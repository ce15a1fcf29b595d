// The family's service and its cancel files, on a private bus inside
// scripts/sandbox: one byte ends every read of the file whatever the path
// each read gave, through a symbolic link's target as well, and after the
// file's folder was made again. The reads go to a host that never answers,
// so only a cancel ends them before their time-out.

#include "ManyClients.h"
#include "NetworkSandboxMain.h"
#include "ServiceHarness.h"
#include "ServiceRequests.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Long enough that a read that missed its cancel is told from one that took
// it, short enough that a failing run ends.
constexpr long kReadTimeoutMs = 4000;

enum class Writer { Outside, CancelCall };
const char* nameOf(Writer w) { return w == Writer::Outside ? "written from outside" : "through the cancel call"; }

bool appendByte(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, "\x01", 1) == 1;
    ::close(fd);
    return ok;
}

class CancelFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/ph-cancel.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        names_ = familyFrom(PH_FAMILY_DIR);
        bus_ = std::make_unique<PrivateBus>();
        service_ = std::make_unique<ServiceRun>(names_.serviceExe, *bus_);
        ASSERT_TRUE(service_->waitForName(*bus_, names_.service));
        clients_ = std::make_unique<ManyClients>(4, names_.service, names_.interface, bus_->address());
    }
    void TearDown() override
    {
        clients_.reset();
        service_.reset();
        bus_.reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string at(const std::string& name) const { return dir_ + "/" + name; }

    // Starts one read per cancel path, on clients of their own, and waits
    // until the service has them in hand.
    void startReads(Outcomes& out, const std::vector<std::string>& paths)
    {
        out.resize(paths.size());
        for (std::size_t i = 0; i < paths.size(); ++i)
            clients_->call(i, requests::kRead, requests::read("0", paths[i], kReadTimeoutMs), out.slot(i));
        std::this_thread::sleep_for(300ms);
        ASSERT_EQ(out.waitFor(1, 0ms), 0u) << out.all()[0]->text;
    }

    // The cancel byte, as another program writes it or as a second tool run
    // does.
    void cancel(Writer writer, const std::string& path)
    {
        if (writer == Writer::Outside) {
            ASSERT_TRUE(appendByte(path)) << path;
            return;
        }
        const auto reply = clients_->callAndWait(3, requests::kCancel, requests::cancel(path), 5000ms);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->text, "TRUE");
    }

    // Every read answers as cancelled, well before its time-out.
    void expectAllCancelled(Outcomes& out, std::size_t n)
    {
        EXPECT_EQ(out.waitFor(n, 2000ms), n) << "a read missed the cancel";
        for (const auto& o : out.all()) {
            if (o) {
                EXPECT_EQ(o->text, requests::kCancelled);
            }
        }
        // The remaining reads end before the next case starts.
        out.waitFor(n, std::chrono::milliseconds(kReadTimeoutMs + 1000));
    }

    std::string dir_;
    FamilyNames names_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<ServiceRun> service_;
    std::unique_ptr<ManyClients> clients_;
};

TEST_F(CancelFile, OneCancelEndsTheReadsOfEverySpellingOfTheFile)
{
    fs::create_directory(at("x"));
    fs::create_directory_symlink(at("x"), at("via"));
    const std::string path = at("x/b");
    const std::pair<const char*, std::string> spellings[] = {
        {"with /./", at("x/./b")},
        {"with //", at("x//b")},
        {"through a linked folder", at("via/b")},
    };
    for (const auto& [label, other] : spellings) {
        for (Writer writer : {Writer::Outside, Writer::CancelCall}) {
            SCOPED_TRACE(std::string(label) + ", " + nameOf(writer));
            Outcomes out;
            startReads(out, {path, other});
            // The byte goes in by the plain path; the second read gave the other.
            cancel(writer, path);
            expectAllCancelled(out, 2);
            EXPECT_FALSE(fs::exists(path));
        }
    }
}

TEST_F(CancelFile, AByteWrittenWhereALinkedCancelFileLeadsEndsItsRead)
{
    fs::create_directory(at("other"));
    fs::create_directory(at("third"));
    struct Case {
        const char* name;
        const char* byteTo;     // relative to the test's folder
        const char* repointTo;  // while the read runs the link is made anew, leading here
        Writer writer;
    } cases[] = {
        {"byte to the link's target", "other/target", nullptr, Writer::Outside},
        {"cancel call on the link's target", "other/target", nullptr, Writer::CancelCall},
        {"link made anew while the read runs", "third/new", "third/new", Writer::Outside},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(at("other/target"), std::ios::trunc).flush();
        std::ofstream(at("third/new"), std::ios::trunc).flush();
        std::error_code ignored;
        fs::remove(at("link"), ignored);
        fs::create_symlink("other/target", at("link"));
        Outcomes out;
        startReads(out, {at("link")});
        if (c.repointTo) {
            // As ln -sf does it: a new link, renamed over the old one.
            fs::create_symlink(c.repointTo, at("link.new"));
            fs::rename(at("link.new"), at("link"));
            std::this_thread::sleep_for(100ms);
        }
        cancel(c.writer, at(c.byteTo));
        expectAllCancelled(out, 1);
    }
}

TEST_F(CancelFile, AFolderMadeAgainWhileItsReadRunsIsWatchedAgain)
{
    const std::string path = at("p/sub/cancel");
    struct Case {
        const char* name;
        std::function<void()> makeAgain;
    } cases[] = {
        {"deleted and made again", [&] { fs::remove_all(at("p/sub")); fs::create_directory(at("p/sub")); }},
        {"moved away and made again",
         [&] {
             fs::remove_all(at("moved"));
             fs::rename(at("p/sub"), at("moved"));
             fs::create_directory(at("p/sub"));
         }},
        {"its parent deleted and made again", [&] { fs::remove_all(at("p")); fs::create_directories(at("p/sub")); }},
    };
    for (const Case& c : cases) {
        for (Writer writer : {Writer::Outside, Writer::CancelCall}) {
            SCOPED_TRACE(std::string(c.name) + ", " + nameOf(writer));
            fs::create_directories(at("p/sub"));
            Outcomes out;
            startReads(out, {path});
            c.makeAgain();
            std::this_thread::sleep_for(100ms);
            if (writer == Writer::CancelCall)
                std::ofstream(path).flush();  // the cancel call appends only to a file that is there
            cancel(writer, path);
            expectAllCancelled(out, 1);
        }
    }
}

}  // namespace

PH_SANDBOX_MAIN()
