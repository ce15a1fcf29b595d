// The property-list write of the family's service under a stop that comes
// while a 100 MB write is under way, on a private bus inside scripts/sandbox.
// The text is far longer than a command-line argument, so the client is a
// direct bus connection (ManyClients), not a tool run. Writers that meet at
// one file are the unit test's (FileOperationsTest).

#include "ManyClients.h"
#include "ServiceHarness.h"
#include "ServiceRequests.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kWrite = requests::kWrite;

// The stop test's text. Under the sanitizers the bus library's reading of
// one large message grows its buffer by copies that take minutes at 100 MB,
// so a smaller text stands in there; the stop is the same.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kLargeText = std::size_t{12} << 20;
#else
constexpr std::size_t kLargeText = std::size_t{100} << 20;
#endif

std::string writeRequest(const std::string& path, const std::string& text)
{
    return "file://" + path + ":AddURL:END" + text;
}

// The names in dir: the written file, and whatever a write left behind.
std::vector<std::string> namesIn(const std::string& dir)
{
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator(dir, ignored))
        found.push_back(e.path().filename().string());
    return found;
}

// Whether process pid holds a file in dir that no name leads to: the text
// that a write is putting together there.
bool holdsNamelessFileIn(pid_t pid, const std::string& dir)
{
    std::error_code ignored;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& e : std::filesystem::directory_iterator(fds, ignored)) {
        const std::string target = std::filesystem::read_symlink(e.path(), ignored).string();
        if (target.rfind(dir + "/#", 0) == 0)
            return true;
    }
    return false;
}

class Folder {
public:
    Folder()
    {
        char pattern[] = "/tmp/ph-plist-faults.XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~Folder() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class PlistWriteFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        names_ = familyFrom(PH_FAMILY_DIR);
        bus_ = std::make_unique<PrivateBus>();
        startService();
    }

    void startService()
    {
        service_ = std::make_unique<ServiceRun>(names_.serviceExe, *bus_);
        ASSERT_TRUE(service_->waitForName(*bus_, names_.service));
    }

    std::unique_ptr<ManyClients> clients(std::size_t n)
    {
        return std::make_unique<ManyClients>(n, names_.service, names_.interface, bus_->address());
    }

    FamilyNames names_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<ServiceRun> service_;
    Folder dir_;
};

}  // namespace

// SIGTERM while the write's nameless file is open: the service ends within
// its stop limit, nothing but the file is left in its folder, and the file
// holds its old text or the new one whole. Three times, each with a new
// service.
TEST_F(PlistWriteFaults, StopDuringA100MBWriteLeavesNoTemporaryFile)
{
    const std::string path = dir_ / "big.plist";
    const std::string text(kLargeText, 'x');
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        if (run > 0)
            startService();
        std::ofstream(path, std::ios::trunc) << "old";
        auto c = clients(1);
        Outcomes out;
        out.resize(1);
        c->call(0, kWrite, writeRequest(path, text), out.slot(0));

        const auto start = Clock::now();
        bool seen = false;
        while (!(seen = holdsNamelessFileIn(service_->pid(), dir_.path())) && Clock::now() - start < 60s)
            std::this_thread::sleep_for(200us);
        if (!seen) {
            out.waitFor(1, 1s);
            const auto o = out.all()[0];
            FAIL() << "the write opened no nameless file; its answer: " << (o ? o->text : "none yet");
        }
        const auto stopped = Clock::now();
        service_->signal(SIGTERM);
        EXPECT_NE(service_->waitForExit(5000ms), -1);
        EXPECT_LT(msSince(stopped), 3000);

        EXPECT_EQ(namesIn(dir_.path()), std::vector<std::string>{"big.plist"});
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_TRUE(st.st_size == 3 || static_cast<std::size_t>(st.st_size) == text.size()) << st.st_size;
        EXPECT_EQ(out.waitFor(1, 5s), 1u);
    }
}

int main(int argc, char** argv)
{
    if (const char* s = std::getenv("PH_SANDBOX"); s == nullptr || std::string(s) != "1") {
        std::fprintf(stderr, "run inside scripts/sandbox: the service is started on a private bus there\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
