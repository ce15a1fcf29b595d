#include "FileOperations.h"

#include "CancelWatcher.h"
#include "FenwaServiceXPC.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::optional<FileUrl> urlFor(const std::string& path) { return FileUrl{path}; }

// The cancel call through its entry point: true when it answered "TRUE".
bool cancelFileWrite(const std::string& request)
{
    CancelWatcher watcher;
    FenwaServiceXPC service(StringForm::Utf8, watcher);
    std::string answer;
    service.cancelFileWrite_XPC(request, [&](const std::string& text) { answer = text; });
    return answer == "TRUE";
}

nlink_t linksOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
}

}  // namespace

TEST(WritabilityProbe, ExistingFileIsWritableAndLeftUntouched)
{
    TempDir dir;
    const std::string path = dir / "existing";
    writeFile(path, "contents");
    ::chmod(path.c_str(), 0640);
    EXPECT_TRUE(isFilePathWritable_XPC(path));
    EXPECT_EQ(readFile(path), "contents");
    EXPECT_EQ(modeOf(path), 0640u);
}

TEST(WritabilityProbe, NewNameIsWritableAndNothingIsLeftBehind)
{
    TempDir dir;
    const std::string path = dir / "new";
    EXPECT_TRUE(isFilePathWritable_XPC(path));
    EXPECT_FALSE(exists(path));
}

TEST(WritabilityProbe, FoldersMissingFoldersAndUnusablePathsAreNotWritable)
{
    TempDir dir;
    ::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str());
    const std::string cases[] = {
        dir.path(),
        dir / "missing/file",
        "",
        dir / std::string("nul\0byte", 8),
        dir / "bad\xFFutf8",
        dir / "dangling",
    };
    for (const auto& path : cases)
        EXPECT_FALSE(isFilePathWritable_XPC(path)) << path;
    EXPECT_TRUE(exists(dir / "dangling"));
    EXPECT_FALSE(exists(dir / "nowhere"));
}

TEST(WritabilityProbe, PathsOf256BytesOrMoreAreRefused)
{
    TempDir dir;
    const std::string prefix = dir.path() + "/";
    const std::string at255 = prefix + std::string(255 - prefix.size(), 'a');
    const std::string at256 = prefix + std::string(256 - prefix.size(), 'b');
    ASSERT_EQ(at255.size(), 255u);
    EXPECT_TRUE(isFilePathWritable_XPC(at255));
    EXPECT_FALSE(isFilePathWritable_XPC(at256));
    EXPECT_FALSE(exists(at256));
}

TEST(PlistWrite, ContentsAreReplacedWholeAndTheModeIsKept)
{
    TempDir dir;
    const std::string path = dir / "prefs.plist";
    writeFile(path, std::string(4096, 'o'));
    ::chmod(path.c_str(), 0600);
    const std::string data = "<plist>x:AddURL:ENDy</plist>";
    EXPECT_TRUE(writeDictionaryToPlistFile_XPC(urlFor(path), data));
    EXPECT_EQ(readFile(path), data) << hexDump(readFile(path));
    EXPECT_EQ(modeOf(path), 0600u);
}

TEST(PlistWrite, NewFileGets0664AndNoTemporaryFileRemains)
{
    TempDir dir;
    const std::string path = dir / "new.plist";
    const mode_t old = ::umask(077);
    EXPECT_TRUE(writeDictionaryToPlistFile_XPC(urlFor(path), std::string("a\0b", 3)));
    ::umask(old);
    EXPECT_EQ(readFile(path), std::string("a\0b", 3)) << hexDump(readFile(path));
    EXPECT_EQ(modeOf(path), 0664u);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(PlistWrite, SymbolicLinkIsWrittenThroughToItsTarget)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "real");
    writeFile(dir / "real/target", "old");
    ::symlink("real/target", (dir / "link").c_str());
    ::symlink((dir / "real/absent").c_str(), (dir / "dangling").c_str());
    EXPECT_TRUE(writeDictionaryToPlistFile_XPC(urlFor(dir / "link"), "new"));
    EXPECT_EQ(readFile(dir / "real/target"), "new");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
    EXPECT_TRUE(writeDictionaryToPlistFile_XPC(urlFor(dir / "dangling"), "made"));
    EXPECT_EQ(readFile(dir / "real/absent"), "made");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "dangling"));
}

TEST(PlistWrite, FailuresLeaveTheOldContentsWhole)
{
    TempDir dir;
    const std::string path = dir / "keep";
    writeFile(path, "old");
    EXPECT_FALSE(writeDictionaryToPlistFile_XPC(std::nullopt, "x"));
    EXPECT_FALSE(writeDictionaryToPlistFile_XPC(urlFor(dir.path()), "x"));
    EXPECT_FALSE(writeDictionaryToPlistFile_XPC(urlFor(dir / "missing/file"), "x"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
    EXPECT_EQ(readFile(path), "old");
}

TEST(PlistWrite, HardLinkedFileIsWrittenInPlaceSoEveryLinkSeesTheText)
{
    TempDir dir;
    const std::string first = dir / "first.plist";
    const std::string second = dir / "second.plist";
    writeFile(first, std::string(300, 'o'));
    ASSERT_EQ(::link(first.c_str(), second.c_str()), 0);
    EXPECT_TRUE(writeDictionaryToPlistFile_XPC(urlFor(second), "<plist/>"));
    EXPECT_EQ(readFile(first), "<plist/>");
    EXPECT_EQ(readFile(second), "<plist/>");
    EXPECT_EQ(linksOf(first), 2u);
}

TEST(PlistWrite, FileInAFolderThatTakesNoNewNamesIsWrittenInPlace)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root creates files in any folder";
    TempDir dir;
    std::filesystem::create_directory(dir / "closed");
    const std::string path = dir / "closed/prefs.plist";
    writeFile(path, "old");
    ::chmod((dir / "closed").c_str(), 0555);
    const bool written = writeDictionaryToPlistFile_XPC(urlFor(path), "new");
    ::chmod((dir / "closed").c_str(), 0755);
    EXPECT_TRUE(written);
    EXPECT_EQ(readFile(path), "new");
}

TEST(PlistWrite, ReadOnlyFileAnswersFalseAndKeepsItsContents)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write any file; the integration test runs this as nobody";
    TempDir dir;
    const std::string path = dir / "locked.plist";
    writeFile(path, "old");
    ::chmod(path.c_str(), 0444);
    EXPECT_FALSE(writeDictionaryToPlistFile_XPC(urlFor(path), "new"));
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(modeOf(path), 0444u);
}

TEST(CancelFile, CreatingItGives0664AndNeverTruncates)
{
    TempDir dir;
    const std::string path = dir / "cancel";
    const mode_t old = ::umask(077);
    EXPECT_TRUE(touchCancelFile(path));
    ::umask(old);
    EXPECT_EQ(modeOf(path), 0664u);
    EXPECT_EQ(readFile(path), "");
    writeFile(path, "\x01");
    EXPECT_TRUE(touchCancelFile(path));
    EXPECT_EQ(readFile(path), "\x01");
    EXPECT_FALSE(touchCancelFile(dir.path()));
    EXPECT_FALSE(touchCancelFile(dir / "missing/cancel"));
    EXPECT_FALSE(touchCancelFile(""));
}

TEST(CancelFile, EachCancelCallAppendsOneByte)
{
    TempDir dir;
    const std::string path = dir / "cancel";
    writeFile(path, "");
    const std::string request = path + ":CancelFileName:";
    EXPECT_TRUE(cancelFileWrite(request));
    EXPECT_EQ(readFile(path), "\x01") << hexDump(readFile(path));
    EXPECT_TRUE(cancelFileWrite(request));
    EXPECT_EQ(readFile(path), "\x01\x01") << hexDump(readFile(path));
}

TEST(CancelFile, CancelCallCreatesNothingAndNeedsItsTag)
{
    TempDir dir;
    const std::string path = dir / "cancel";
    EXPECT_FALSE(cancelFileWrite(path + ":CancelFileName:"));
    EXPECT_FALSE(exists(path));
    writeFile(path, "");
    EXPECT_FALSE(cancelFileWrite(path));
    EXPECT_EQ(readFile(path), "");
    EXPECT_FALSE(cancelFileWrite(dir.path() + ":CancelFileName:"));
    EXPECT_FALSE(appendCancelByte(std::nullopt));
}
