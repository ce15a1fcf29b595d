#include "FileOperations.h"

#include "TempDir.h"
#include "UniqueFd.h"

#include <gtest/gtest.h>

#include <acl/libacl.h>
#include <sys/acl.h>

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
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct stat statOf(const std::string& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st;
}

std::optional<FileUrl> urlFor(const std::string& path) { return FileUrl{path}; }

bool write(const std::string& path, const std::string& text) { return writeDictionaryToPlistFile_XPC(urlFor(path), text); }

std::size_t entriesIn(const std::string& dir)
{
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir))
        ++entries;
    return entries;
}

// A TempDir in memory where there is one (/dev/shm): writers' syncs then
// cost nothing, and a test measures the writes, not the disk.
void makeInMemory(std::optional<TempDir>& dir)
{
    const char* was = std::getenv("TMPDIR");
    const std::string saved = was != nullptr ? was : "";
    if (std::filesystem::is_directory("/dev/shm"))
        ::setenv("TMPDIR", "/dev/shm", 1);
    dir.emplace();
    was != nullptr ? ::setenv("TMPDIR", saved.c_str(), 1) : ::unsetenv("TMPDIR");
}

// Takes an advisory lock on path through a description of its own, as
// another program would; a write lock is held until released.
UniqueFd lockAsAnotherProgram(const std::string& path, short type)
{
    UniqueFd fd(::open(path.c_str(), (type == F_WRLCK ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    if (fd && ::fcntl(fd.get(), type == F_WRLCK ? F_OFD_SETLK : F_OFD_SETLKW, &lock) != 0)
        fd.reset();
    return fd;
}

}  // namespace

TEST(WritabilityProbe, AnswersAndLeavesThePathAsItWas)
{
    TempDir dir;
    writeFile(dir / "existing", "contents");
    ::chmod((dir / "existing").c_str(), 0640);
    ::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str());
    const std::string prefix = dir.path() + "/";
    const struct {
        std::string path;
        bool writable;
    } cases[] = {
        {dir / "existing", true},
        {dir / "new", true},
        {prefix + std::string(255 - prefix.size(), 'a'), true},
        {prefix + std::string(256 - prefix.size(), 'b'), false},
        {dir.path(), false},
        {dir / "missing/file", false},
        {"", false},
        {dir / std::string("nul\0byte", 8), false},
        {dir / "bad\xFFutf8", false},
        {dir / "dangling", false},
        {"relative/name", false},
        {"name", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isFilePathWritable_XPC(c.path), c.writable) << c.path;
    EXPECT_EQ(readFile(dir / "existing"), "contents");
    EXPECT_EQ(statOf(dir / "existing").st_mode & 07777, 0640u);
    EXPECT_EQ(entriesIn(dir.path()), 2u) << "the probe left a file";
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

// Every way to a file: replaced whole with its mode (no temporary name left),
// made new with 0664 whatever the mask, through symbolic links, in place
// where it has hard links; and every refusal keeps the old text.
TEST(PlistWrite, WritesWholeTextsWhereverThePathLeads)
{
    TempDir dir;
    writeFile(dir / "prefs.plist", std::string(4096, 'o'));
    ::chmod((dir / "prefs.plist").c_str(), 0600);
    const ino_t replaced = statOf(dir / "prefs.plist").st_ino;
    std::filesystem::create_directory(dir / "real");
    writeFile(dir / "real/target", "old");
    ::symlink("real/target", (dir / "link").c_str());
    ::symlink((dir / "real/absent").c_str(), (dir / "dangling").c_str());
    writeFile(dir / "first", std::string(300, 'o'));
    ASSERT_EQ(::link((dir / "first").c_str(), (dir / "second").c_str()), 0);

    const mode_t mask = ::umask(077);
    EXPECT_TRUE(write(dir / "prefs.plist", "<plist>x:AddURL:ENDy</plist>"));
    EXPECT_TRUE(write(dir / "new.plist", std::string("a\0b", 3)));
    ::umask(mask);
    EXPECT_TRUE(write(dir / "link", "through"));
    EXPECT_TRUE(write(dir / "dangling", "made"));
    EXPECT_TRUE(write(dir / "second", "<plist/>"));
    EXPECT_FALSE(writeDictionaryToPlistFile_XPC(std::nullopt, "x"));
    for (const std::string& refused : {dir.path(), dir / "missing/file", std::string("prefs.plist"), std::string()})
        EXPECT_FALSE(write(refused, "x")) << refused;

    EXPECT_EQ(readFile(dir / "prefs.plist"), "<plist>x:AddURL:ENDy</plist>");
    EXPECT_NE(statOf(dir / "prefs.plist").st_ino, replaced);
    EXPECT_EQ(statOf(dir / "prefs.plist").st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(dir / "new.plist"), std::string("a\0b", 3)) << hexDump(readFile(dir / "new.plist"));
    EXPECT_EQ(statOf(dir / "new.plist").st_mode & 07777, 0664u);
    EXPECT_EQ(readFile(dir / "real/target"), "through");
    EXPECT_EQ(readFile(dir / "real/absent"), "made");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link") && std::filesystem::is_symlink(dir / "dangling"));
    EXPECT_EQ(readFile(dir / "first"), "<plist/>");
    EXPECT_EQ(statOf(dir / "first").st_nlink, 2u);
    EXPECT_EQ(entriesIn(dir.path()), 7u) << "a temporary file was left";
    EXPECT_EQ(entriesIn(dir / "real"), 2u);
}

// Two threads write a 1 MiB text and a 10-byte text at the same moment, 40
// rounds, while a reader that takes advisory locks reads the file: every
// round ends in one whole text, every TRUE is true, and the reader never
// sees a mix. The OFD lock alone keeps the writers of this process apart.
TEST(PlistWrite, TwoWritersAtOnceLeaveOneWholeTextAndEveryTrueIsTrue)
{
    for (const bool hardLinked : {true, false}) {
        SCOPED_TRACE(hardLinked ? "hard-linked file, in place" : "file of one name, replaced");
        std::optional<TempDir> inMemory;
        makeInMemory(inMemory);
        const TempDir& dir = *inMemory;
        const std::string path = dir / "shared.plist";
        writeFile(path, "start");
        if (hardLinked) {
            ASSERT_EQ(::link(path.c_str(), (dir / "link.plist").c_str()), 0);
        }
        const std::array<std::string, 2> texts = {std::string(1u << 20, 'L'), std::string(10, 's')};
        const std::array<std::string, 2> paths = {path, hardLinked ? dir / "link.plist" : path};

        std::atomic<bool> reading{true};
        std::atomic<int> tornReads{0};
        std::thread reader([&] {
            while (reading) {
                std::string seen;
                if (const UniqueFd locked = lockAsAnotherProgram(path, F_RDLCK))
                    seen = readFile("/proc/self/fd/" + std::to_string(locked.get()));
                tornReads += seen != "start" && seen != texts[0] && seen != texts[1];
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        int torn = 0, untrue = 0, refused = 0;
        std::string before = "start";
        for (int round = 0; round < 40; ++round) {
            std::atomic<int> ready{0};
            std::array<bool, 2> answered{};
            auto writer = [&](int k) {
                for (++ready; ready < 2;)
                    std::this_thread::yield();
                answered[k] = write(paths[k], texts[k]);
            };
            std::thread first(writer, 0), second(writer, 1);
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
        EXPECT_EQ(torn + untrue + refused + tornReads, 0)
            << torn << " torn, " << untrue << " untrue, " << refused << " refused, " << tornReads << " torn reads";
        EXPECT_EQ(statOf(path).st_nlink, hardLinked ? 2u : 1u);
        EXPECT_EQ(entriesIn(dir.path()), hardLinked ? 2u : 1u) << "a temporary file was left";
    }
}

TEST(PlistWrite, AnotherProgramsLockIsWaitedForAndOneNeverReleasedGivesFalse)
{
    TempDir dir;
    const std::string path = dir / "locked.plist";
    writeFile(path, "old");
    UniqueFd lock = lockAsAnotherProgram(path, F_WRLCK);
    ASSERT_TRUE(lock);
    auto written = std::async(std::launch::async, [&] { return write(path, "new"); });
    EXPECT_EQ(written.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(readFile(path), "old");
    lock.reset();
    EXPECT_TRUE(written.get());
    EXPECT_EQ(readFile(path), "new");

    // A lock that is never let go: the write gives up (after 5 s) unwritten.
    lock = lockAsAnotherProgram(path, F_WRLCK);
    ASSERT_TRUE(lock);
    EXPECT_FALSE(write(path, "newer"));
    EXPECT_EQ(readFile(path), "new");
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
    const bool written = write(path, std::string(60000, 'n'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    const std::string now = readFile(dir / "other");
    EXPECT_TRUE(now == old) << "the old text is gone: " << now.size() << " bytes, " << now.substr(0, 16) << "...";
}

// A replaced file keeps its user attribute and its ACL; one without an ACL
// does not take the folder's default ACL that its new file was born with.
TEST(PlistWrite, AttributesAndTheAclAreKeptAndTheFoldersDefaultAclIsNotAdded)
{
    TempDir dir;
    const std::string tagged = dir / "tagged.plist", plain = dir / "plain.plist";
    writeFile(tagged, "old");
    writeFile(plain, "old");
    const std::string value = "kept\x01value";
    const acl_t fileAcl = acl_from_text("u::rw-,u:4242:rw-,g::r--,m::rw-,o::---");
    const acl_t folderDefault = acl_from_text("u::rwx,u:4243:r--,g::r-x,m::r-x,o::r-x");
    const bool supported = ::setxattr(tagged.c_str(), "user.ph.tag", value.data(), value.size(), 0) == 0 &&
                           acl_set_file(tagged.c_str(), ACL_TYPE_ACCESS, fileAcl) == 0 &&
                           acl_set_file(dir.path().c_str(), ACL_TYPE_DEFAULT, folderDefault) == 0;
    acl_free(fileAcl);
    acl_free(folderDefault);
    if (!supported)
        GTEST_SKIP() << "the file system of " << dir.path() << " has no user attributes or ACLs";
    const ino_t before = statOf(tagged).st_ino;

    EXPECT_TRUE(write(tagged, "new") && write(plain, "new"));
    EXPECT_EQ(readFile(tagged), "new");
    EXPECT_NE(statOf(tagged).st_ino, before) << "expected the file to be replaced, not written in place";
    char got[64] = {};
    const ssize_t n = ::getxattr(tagged.c_str(), "user.ph.tag", got, sizeof got);
    EXPECT_EQ(n > 0 ? std::string(got, static_cast<std::size_t>(n)) : std::string("<none>"), value);
    const acl_t kept = acl_get_file(tagged.c_str(), ACL_TYPE_ACCESS);
    char* text = kept ? acl_to_any_text(kept, nullptr, ',', 0) : nullptr;
    EXPECT_STREQ(text, "user::rw-,user:4242:rw-,group::r--,mask::rw-,other::---");
    acl_free(text);
    acl_free(kept);
    EXPECT_EQ(statOf(tagged).st_mode & 07777, 0660u);
    EXPECT_EQ(acl_extended_file(plain.c_str()), 0) << "the folder's default ACL was added";
    EXPECT_EQ(readFile(plain), "new");
}

TEST(CancelFile, IsMadeWith0664NeverTruncatedAndEachCancelAppendsOneByte)
{
    TempDir dir;
    const std::string path = dir / "cancel";
    EXPECT_FALSE(appendCancelByte(path));
    EXPECT_FALSE(exists(path)) << "a cancel made the file";
    const mode_t mask = ::umask(077);
    EXPECT_TRUE(touchCancelFile(path));
    ::umask(mask);
    EXPECT_EQ(statOf(path).st_mode & 07777, 0664u);
    EXPECT_TRUE(appendCancelByte(path));
    EXPECT_TRUE(touchCancelFile(path));
    EXPECT_TRUE(appendCancelByte(path));
    EXPECT_EQ(readFile(path), "\x01\x01") << hexDump(readFile(path));
    for (const std::string& refused : {dir.path(), dir / "missing/cancel", std::string()})
        EXPECT_FALSE(touchCancelFile(refused) || appendCancelByte(refused)) << refused;
    EXPECT_FALSE(appendCancelByte(std::nullopt));
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

    const struct {
        std::string path;
        bool writeToo;  // also the cancel byte and the property-list write
    } cases[] = {
        {"/proc/self/comm", true},
        {dir / "link-to-proc", true},
        {"/proc/self/new-name", true},
        {"/dev/null", true},
        {fifo, true},
        {"/sys/kernel/mm/transparent_hugepage/enabled", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_FALSE(isFilePathWritable_XPC(c.path));
        EXPECT_FALSE(touchCancelFile(c.path));
        if (c.writeToo) {
            EXPECT_FALSE(appendCancelByte(c.path));
            EXPECT_FALSE(write(c.path, "ph-written"));
        }
    }
    EXPECT_EQ(readFile("/proc/self/comm"), comm);
    EXPECT_FALSE(exists("/proc/self/new-name"));
    EXPECT_EQ(entriesIn(dir.path()), 2u);
}
