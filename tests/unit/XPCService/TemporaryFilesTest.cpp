#include "TemporaryFiles.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

namespace {

TemporaryFiles::Folder openFolder(const std::string& path)
{
    return std::make_shared<const UniqueFd>(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

std::size_t entriesIn(const std::string& dir)
{
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir))
        ++entries;
    return entries;
}

// ".<base>.XXXXXX", six letters or digits.
bool looksTemporary(const std::string& name, const std::string& base)
{
    const std::string prefix = "." + base + ".";
    return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

bool writeText(int fd, const std::string& text)
{
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

}  // namespace

TEST(TemporaryFiles, AFileIsListedUntilItsWriteEndsAndThenRemoved)
{
    TempDir dir;
    TemporaryFiles files;
    const auto folder = openFolder(dir.path());
    std::string name;
    {
        auto file = files.create(folder, "prefs.plist", 0640);
        ASSERT_TRUE(file);
        name = file->name();
        EXPECT_TRUE(looksTemporary(name, "prefs.plist")) << name;
        struct stat st {};
        ASSERT_EQ(::stat((dir / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(files.count(), 1u);
    }
    EXPECT_FALSE(exists(dir / name));
    EXPECT_EQ(files.count(), 0u);

    const std::string longBase(250, 'b');
    auto file = files.create(folder, longBase, 0600);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->name().size(), 1 + 200 + 1 + 6u);
}

TEST(TemporaryFiles, ARenamedFileIsNoLongerOneAndNoReplaceKeepsATarget)
{
    TempDir dir;
    TemporaryFiles files;
    const auto folder = openFolder(dir.path());
    {
        auto file = files.create(folder, "t", 0644);
        ASSERT_TRUE(file);
        ASSERT_TRUE(writeText(file->fd(), "new"));
        EXPECT_TRUE(file->renameOver("t", false));
        EXPECT_EQ(files.count(), 0u);
    }
    EXPECT_EQ(readFile(dir / "t"), "new");
    EXPECT_EQ(entriesIn(dir.path()), 1u);

    auto file = files.create(folder, "t", 0644);
    ASSERT_TRUE(file);
    ASSERT_TRUE(writeText(file->fd(), "other"));
    EXPECT_FALSE(file->renameOver("t", true));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readFile(dir / "t"), "new");
    EXPECT_TRUE(file->renameOver("fresh", true));
    EXPECT_EQ(readFile(dir / "fresh"), "other");
}

TEST(TemporaryFiles, StopRemovesEveryFileStillOpenAndRefusesNewOnes)
{
    TempDir dir;
    TemporaryFiles files;
    const auto folder = openFolder(dir.path());
    auto first = files.create(folder, "a", 0644);
    auto second = files.create(folder, "b", 0644);
    ASSERT_TRUE(first && second);
    ASSERT_EQ(entriesIn(dir.path()), 2u);

    files.stop();
    EXPECT_TRUE(files.stopped());
    EXPECT_EQ(entriesIn(dir.path()), 0u);
    EXPECT_EQ(files.count(), 0u);
    // The writes that own them still hold working descriptors, and a rename
    // into place now finds nothing to rename.
    EXPECT_TRUE(writeText(first->fd(), "late"));
    EXPECT_FALSE(first->renameOver("a", false));
    EXPECT_FALSE(exists(dir / "a"));

    errno = 0;
    EXPECT_FALSE(files.create(folder, "c", 0644));
    EXPECT_EQ(errno, ECANCELED);
    first.reset();
    second.reset();
    EXPECT_EQ(entriesIn(dir.path()), 0u);
}
