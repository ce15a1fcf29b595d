#include "FileOperations.h"

#include "CancelWatcher.h"
#include "DescriptorBudget.h"
#include "FenwaServiceXPC.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include "UniqueFd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

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
    DescriptorBudget descriptors(1024);
    FenwaServiceXPC service(StringForm::Utf8, watcher, descriptors);
    std::string answer;
    service.cancelFileWrite_XPC(request, [&](const std::string& text) { answer = text; });
    return answer == "TRUE";
}

nlink_t linksOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
}

std::size_t entriesIn(const std::string& dir)
{
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir))
        ++entries;
    return entries;
}

// Reads the file at path whole, as another program that respects advisory
// locks would: under a shared lock on what the path names.
std::string readLocked(const std::string& path)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (!fd || ::fcntl(fd.get(), F_OFD_SETLKW, &lock) != 0)
        return "<unreadable>";
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd.get(), buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    return text;
}

// While it lives, new TempDirs are made in memory where there is one
// (/dev/shm): writers' syncs then cost nothing, and a test measures turns,
// not the disk.
class TempDirsInMemory {
public:
    TempDirsInMemory()
    {
        if (const char* tmp = std::getenv("TMPDIR"))
            saved_ = tmp;
        if (std::filesystem::is_directory("/dev/shm"))
            ::setenv("TMPDIR", "/dev/shm", 1);
    }
    ~TempDirsInMemory()
    {
        if (saved_)
            ::setenv("TMPDIR", saved_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

private:
    std::optional<std::string> saved_;
};

// Holds a write lock on a file through a description of its own, as
// another program would.
class OtherProgramsLock {
public:
    explicit OtherProgramsLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC))
    {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        held_ = fd_ && ::fcntl(fd_.get(), F_OFD_SETLK, &lock) == 0;
    }
    bool held() const { return held_; }
    void release() { fd_.reset(); }

private:
    UniqueFd fd_;
    bool held_ = false;
};

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
        "relative/name",
        "name",
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

// Many probes of one missing path at once, beside another program that makes
// and removes a file there as fast as it can. The path is deep, so that each
// probe's walk to it is slow and the file comes and goes within one probe;
// still every probe must answer TRUE, and nothing is left.
TEST(WritabilityProbe, ManyProbesOfOneMissingPathAllAnswerTrue)
{
    TempDir dir;
    std::string folder = dir.path();
    while (folder.size() < 230) {
        folder += "/d";
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    }
    const std::string path = folder + "/f";
    const UniqueFd there(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::atomic<int> falses{0};
    std::atomic<bool> probing{true};
    std::thread other([&] {
        while (probing) {
            const UniqueFd made(::openat(there.get(), "f", O_RDWR | O_CREAT | O_CLOEXEC, 0664));
            if (made)
                ::unlinkat(there.get(), "f", 0);
        }
    });
    std::vector<std::thread> probes;
    for (int t = 0; t < 4; ++t)
        probes.emplace_back([&] {
            for (int k = 0; k < 6000; ++k)
                falses += !isFilePathWritable_XPC(path);
        });
    for (auto& t : probes)
        t.join();
    probing = false;
    other.join();
    EXPECT_EQ(falses, 0);
    EXPECT_FALSE(exists(path));
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
    EXPECT_FALSE(writeDictionaryToPlistFile_XPC(urlFor("keep"), "x"));
    EXPECT_FALSE(writeDictionaryToPlistFile_XPC(urlFor(""), "x"));
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

// Two threads write a 1 MiB text and a 10-byte text at the same moment, 60
// rounds, while a reader that takes advisory locks reads the file: every
// round ends in one whole text, every TRUE is true, and the reader never
// sees a mix.
TEST(PlistWrite, TwoWritersAtOnceLeaveOneWholeTextAndEveryTrueIsTrue)
{
    struct Case {
        const char* what;
        bool hardLinked;  // in place through two names; else replaced through one
    };
    for (const Case& c : {Case{"hard-linked file, in place", true}, Case{"file of one name, replaced", false}}) {
        SCOPED_TRACE(c.what);
        std::optional<TempDir> inMemory;
        {
            const TempDirsInMemory here;
            inMemory.emplace();
        }
        const TempDir& dir = *inMemory;
        const std::string path = dir / "shared.plist";
        writeFile(path, "start");
        if (c.hardLinked) {
            ASSERT_EQ(::link(path.c_str(), (dir / "link.plist").c_str()), 0);
        }
        const std::array<std::string, 2> texts = {std::string(1u << 20, 'L'), std::string(10, 's')};
        const std::array<std::string, 2> paths = {path, c.hardLinked ? dir / "link.plist" : path};

        // A reader that locks, as other programs may, sees only whole texts.
        std::atomic<bool> reading{true};
        std::atomic<int> tornReads{0};
        std::thread reader([&] {
            while (reading) {
                const std::string seen = readLocked(path);
                if (seen != "start" && seen != texts[0] && seen != texts[1])
                    ++tornReads;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });

        int torn = 0, untrue = 0, refused = 0;
        std::string before = "start";
        for (int round = 0; round < 60; ++round) {
            std::atomic<int> ready{0};
            std::array<bool, 2> answered{};
            auto write = [&](int k) {
                ++ready;
                while (ready < 2)
                    std::this_thread::yield();
                answered[k] = writeDictionaryToPlistFile_XPC(urlFor(paths[k]), texts[k]);
            };
            std::thread first(write, 0), second(write, 1);
            first.join();
            second.join();
            const std::string after = readFile(path);
            torn += after != texts[0] && after != texts[1];
            refused += !answered[0] + !answered[1];
            // A TRUE alone must be the text there; two FALSEs leave the old.
            if (answered[0] != answered[1])
                untrue += after != texts[answered[0] ? 0 : 1];
            else if (!answered[0])
                untrue += after != before;
            before = after;
        }
        reading = false;
        reader.join();
        EXPECT_EQ(torn, 0);
        EXPECT_EQ(untrue, 0);
        EXPECT_EQ(refused, 0);
        EXPECT_EQ(tornReads, 0);
        EXPECT_EQ(linksOf(path), c.hardLinked ? 2u : 1u);
        EXPECT_EQ(entriesIn(dir.path()), c.hardLinked ? 2u : 1u) << "a temporary file was left";
    }
}

TEST(PlistWrite, AnotherProgramsLockIsWaitedForAndOneNeverReleasedGivesFalse)
{
    for (const bool hardLinked : {true, false}) {
        SCOPED_TRACE(hardLinked ? "in place" : "replaced");
        TempDir dir;
        const std::string path = dir / "locked.plist";
        writeFile(path, "old");
        if (hardLinked) {
            ASSERT_EQ(::link(path.c_str(), (dir / "link").c_str()), 0);
        }

        OtherProgramsLock lock(path);
        ASSERT_TRUE(lock.held());
        auto written = std::async(std::launch::async, [&] { return writeDictionaryToPlistFile_XPC(urlFor(path), "new"); });
        EXPECT_EQ(written.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
        EXPECT_EQ(readFile(path), "old");
        lock.release();
        EXPECT_TRUE(written.get());
        EXPECT_EQ(readFile(path), "new");
    }

    // A lock that is never let go: the write gives up (after 5 s) unwritten.
    TempDir dir;
    const std::string path = dir / "held.plist";
    writeFile(path, "old");
    OtherProgramsLock lock(path);
    ASSERT_TRUE(lock.held());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(writeDictionaryToPlistFile_XPC(urlFor(path), "new"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

// A write in place that fails part-way, after its room was taken: the file
// size limit stops it at 32 KiB (as a device error or a file system without
// fallocate would), and the old text must come back whole.
TEST(PlistWrite, InPlaceWriteThatFailsPartWayPutsTheOldTextBack)
{
    TempDir dir;
    const std::string path = dir / "linked.plist";
    const std::string old(20000, 'o');
    writeFile(path, old);
    ASSERT_EQ(::link(path.c_str(), (dir / "other").c_str()), 0);

    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 32768;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = writeDictionaryToPlistFile_XPC(urlFor(path), std::string(60000, 'n'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    const std::string now = readFile(dir / "other");
    EXPECT_EQ(now.size(), old.size());
    EXPECT_TRUE(now == old) << "the old text is gone: " << now.substr(0, 16) << "...";
}

TEST(PlistWrite, ExtendedAttributesAreKeptAndNoneAreAdded)
{
    TempDir dir;
    const std::string path = dir / "tagged.plist";
    writeFile(path, "old");
    const std::string value = "kept\x01value";
    if (::setxattr(path.c_str(), "user.ph.tag", value.data(), value.size(), 0) != 0)
        GTEST_SKIP() << "the file system of " << dir.path() << " has no user attributes";
    ::chmod(path.c_str(), 0640);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    EXPECT_TRUE(writeDictionaryToPlistFile_XPC(urlFor(path), "new"));
    EXPECT_EQ(readFile(path), "new");
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "expected the file to be replaced, not written in place";
    char got[64] = {};
    const ssize_t n = ::getxattr(path.c_str(), "user.ph.tag", got, sizeof got);
    EXPECT_EQ(n > 0 ? std::string(got, static_cast<std::size_t>(n)) : std::string("<none>"), value);
    EXPECT_EQ(modeOf(path), 0640u);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

// Pseudo-file systems and files that are not regular: every operation that
// would write or make a file answers false and writes nothing. The test
// process's own name in /proc is a kernel file that a write would change,
// harmlessly; the sysfs file is a machine-wide setting, so it is only given
// to the operations that never write.
TEST(FileSafety, OnlyRegularFilesOnOrdinaryFileSystemsAreWrittenOrMade)
{
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::symlink("/proc/self/comm", (dir / "link-to-proc").c_str());
    const std::string comm = readFile("/proc/self/comm");

    struct Case {
        std::string path;
        bool writeToo;  // also the cancel byte and the property-list write
    };
    const Case cases[] = {
        {"/proc/self/comm", true},
        {dir / "link-to-proc", true},
        {"/proc/self/new-name", true},
        {"/dev/null", true},
        {fifo, true},
        {"/sys/kernel/mm/transparent_hugepage/enabled", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_FALSE(isFilePathWritable_XPC(c.path));
        EXPECT_FALSE(touchCancelFile(c.path));
        if (c.writeToo) {
            EXPECT_FALSE(appendCancelByte(c.path));
            EXPECT_FALSE(writeDictionaryToPlistFile_XPC(urlFor(c.path), "ph-written"));
        }
    }
    EXPECT_EQ(readFile("/proc/self/comm"), comm);
    EXPECT_FALSE(exists("/proc/self/new-name"));
    EXPECT_EQ(entriesIn(dir.path()), 2u);
}
