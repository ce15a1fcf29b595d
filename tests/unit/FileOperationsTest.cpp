#include "CancelWatcher.h"
#include "FileOperations.h"
#include "Settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct TempDir {
    std::string path;
    TempDir()
    {
        char name[] = "/tmp/ph-fileops.XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
std::string contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
mode_t mode(const std::string& path)
{
    struct stat st;
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

}  // namespace

TEST(FileOperations, ProbeLeavesTheFileSystemAsItFoundIt)
{
    TempDir dir;
    write(dir.path + "/old", "keep");
    EXPECT_TRUE(isFilePathWritable_XPC(dir.path + "/old"));
    EXPECT_EQ(contents(dir.path + "/old"), "keep");
    EXPECT_TRUE(isFilePathWritable_XPC(dir.path + "/new"));
    EXPECT_FALSE(exists(dir.path + "/new"));
    EXPECT_FALSE(isFilePathWritable_XPC(dir.path));
    EXPECT_FALSE(isFilePathWritable_XPC(dir.path + "/missing/x"));
    EXPECT_FALSE(isFilePathWritable_XPC(dir.path + "/" + std::string(256, 'a')));
    EXPECT_FALSE(isFilePathWritable_XPC(""));
}

TEST(FileOperations, PlistWriteReplacesContentsKeepsModeAndFollowsLinks)
{
    TempDir dir;
    const std::string target = dir.path + "/target.plist";
    write(target, "old contents that are longer");
    chmod(target.c_str(), 0600);
    symlink(target.c_str(), (dir.path + "/link.plist").c_str());

    EXPECT_TRUE(writeDictionaryToPlistFile_XPC(fileUrlFromString("file://" + dir.path + "/link.plist"), "<new/>"));
    EXPECT_EQ(contents(target), "<new/>");
    EXPECT_EQ(mode(target), 0600u);
    struct stat st;
    ASSERT_EQ(lstat((dir.path + "/link.plist").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link itself stays a link";

    EXPECT_TRUE(writeDictionaryToPlistFile_XPC(fileUrlFromString("file://" + dir.path + "/fresh.plist"), "x"));
    EXPECT_EQ(mode(dir.path + "/fresh.plist"), 0664u);

    EXPECT_FALSE(writeDictionaryToPlistFile_XPC(std::nullopt, "x"));
    EXPECT_FALSE(writeDictionaryToPlistFile_XPC(fileUrlFromString("file://" + dir.path + "/missing/a"), "x"));
    EXPECT_FALSE(fileUrlFromString("http://host/x"));
    EXPECT_FALSE(fileUrlFromString("relative/path"));
}

TEST(FileOperations, CancelWriteAppendsOneByteToAnExistingFileOnly)
{
    TempDir dir;
    const std::string path = dir.path + "/cancel";
    EXPECT_FALSE(cancelFileWrite(path + ":CancelFileName:"));
    EXPECT_FALSE(exists(path)) << "the cancel call never creates the file";
    ASSERT_TRUE(touchCancelFile(path));
    EXPECT_EQ(mode(path), 0664u);
    EXPECT_EQ(contents(path), "");
    EXPECT_TRUE(cancelFileWrite(path + ":CancelFileName:"));
    EXPECT_EQ(contents(path), "\x01");
    EXPECT_TRUE(cancelFileWrite(path + ":CancelFileName:"));
    EXPECT_EQ(contents(path), "\x01\x01");
    ASSERT_TRUE(touchCancelFile(path));
    EXPECT_EQ(contents(path), "\x01\x01") << "opening for a call never truncates";
    EXPECT_FALSE(cancelFileWrite(path));
    EXPECT_FALSE(touchCancelFile(dir.path));
}

TEST(CancelWatcher, RaisesTheFlagAndRemovesTheFileOnceItHasContent)
{
    TempDir dir;
    const std::string path = dir.path + "/cancel";
    ASSERT_TRUE(touchCancelFile(path));
    gCancelFlag = 0;
    CancelWatcher watcher;
    watcher.watch(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gCancelFlag.load(), 0) << "an empty file is no cancel";
    EXPECT_TRUE(exists(path));

    ASSERT_TRUE(appendCancelByte(path));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (gCancelFlag.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(gCancelFlag.load(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(exists(path));
    gCancelFlag = 0;
}

TEST(CancelWatcher, WatchesABoundedNumberOfPathsDroppingTheOldest)
{
    CancelWatcher watcher;
    for (std::size_t i = 0; i < CancelWatcher::kMaxPaths + 10; ++i)
        watcher.watch("/nonexistent/ph-cancel-" + std::to_string(i));
    EXPECT_EQ(watcher.watchedCount(), CancelWatcher::kMaxPaths);
    EXPECT_FALSE(watcher.isWatched("/nonexistent/ph-cancel-0"));
    EXPECT_TRUE(watcher.isWatched("/nonexistent/ph-cancel-" + std::to_string(CancelWatcher::kMaxPaths + 9)));
}
