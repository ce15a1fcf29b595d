// The property-list write of the family's service under faults, on a private
// bus inside scripts/sandbox: two clients writing one hard-linked file at the
// same moment, and a stop that comes while a 100 MB write is under way. The
// texts are far longer than a command-line argument, so the clients are
// direct bus connections (ManyClients), not tool runs.

#include "ManyClients.h"
#include "ServiceHarness.h"
#include "ServiceRequests.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

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

std::string readWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names in dir that begin with prefix: the temporary files ".name.XXXXXX".
std::vector<std::string> namesStartingWith(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator(dir, ignored)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) == 0)
            found.push_back(name);
    }
    return found;
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

// Each round, one client writes a 200,000-byte text and another a 10-byte
// text through the other name, at the same moment. The file must end as one
// whole text, and a TRUE must be true: a write that alone answered TRUE is
// the text there, and two FALSEs would leave the text before.
TEST_F(PlistWriteFaults, TwoClientsWritingOneHardLinkedFileLeaveOneWholeTextEveryRound)
{
    const std::string first = dir_ / "prefs.plist";
    const std::string second = dir_ / "link.plist";
    std::ofstream(first) << "start";
    ASSERT_EQ(::link(first.c_str(), second.c_str()), 0);
    const std::array<std::string, 2> texts = {std::string(200000, 'L'), "ten bytes!"};
    const std::array<std::string, 2> paths = {first, second};

    auto c = clients(2);
    int torn = 0, untrue = 0, refused = 0;
    std::string before = "start";
    for (int round = 0; round < 150; ++round) {
        Outcomes out;
        out.resize(2);
        for (std::size_t k = 0; k < 2; ++k)
            c->call(k, kWrite, writeRequest(paths[k], texts[k]), out.slot(k));
        ASSERT_EQ(out.waitFor(2, 30s), 2u);
        std::array<bool, 2> answered{};
        const auto outcomes = out.all();
        for (std::size_t k = 0; k < 2; ++k) {
            const auto& o = outcomes[k];
            ASSERT_TRUE(o && o->ok) << (o ? o->text : "no outcome");
            answered[k] = o->text == "TRUE";
        }
        const std::string after = readWhole(first);
        if (after != texts[0] && after != texts[1]) {
            ++torn;
            ADD_FAILURE() << "round " << round << ": " << after.size() << " bytes, beginning "
                          << after.substr(0, 12) << ", ending with byte " << int(after.empty() ? -1 : after.back());
        }
        refused += !answered[0] + !answered[1];
        if (answered[0] != answered[1])
            untrue += after != texts[answered[0] ? 0 : 1];
        else if (!answered[0])
            untrue += after != before;
        before = after;
    }
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(untrue, 0);
    EXPECT_EQ(refused, 0);
    struct stat st {};
    ASSERT_EQ(::stat(first.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);
    EXPECT_TRUE(namesStartingWith(dir_.path(), ".").empty());
}

// SIGTERM as soon as the write's temporary file appears: the service ends
// within its stop limit, the temporary file is gone, and the file holds its
// old text or the new one whole. Three times, each with a new service.
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
        while (!(seen = !namesStartingWith(dir_.path(), ".big.plist.").empty()) && Clock::now() - start < 60s)
            std::this_thread::sleep_for(200us);
        if (!seen) {
            out.waitFor(1, 1s);
            const auto o = out.all()[0];
            FAIL() << "the write made no temporary file; its answer: " << (o ? o->text : "none yet");
        }
        const auto stopped = Clock::now();
        service_->signal(SIGTERM);
        EXPECT_NE(service_->waitForExit(5000ms), -1);
        EXPECT_LT(msSince(stopped), 3000);

        EXPECT_EQ(namesStartingWith(dir_.path(), ".big.plist."), std::vector<std::string>{});
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_TRUE(st.st_size == 3 || static_cast<std::size_t>(st.st_size) == text.size()) << st.st_size;
        EXPECT_EQ(out.waitFor(1, 5s), 1u);
        for (const auto& name : namesStartingWith(dir_.path(), ".big.plist."))
            std::filesystem::remove(dir_ / name);
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
