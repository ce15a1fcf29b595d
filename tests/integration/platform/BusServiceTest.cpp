// The connection layer against the sandbox's real dbus-daemon, with the test
// service of BusTestService.cpp started by hand for each test.

#include "ManyClients.h"
#include "ServiceHarness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kName = "com.fenwa.PrinterHelper.BusTest";
const std::string kInterface = kName + ".Test";

bool nameHasOwner(const std::string& name) { return busNameHasOwner(std::getenv("DBUS_SESSION_BUS_ADDRESS"), name); }

// A service process started by the test; stderr goes to a file.
class ServiceProcess {
public:
    explicit ServiceProcess(std::vector<std::string> args, const char* busAddress = nullptr)
    {
        stderrPath_ = "/tmp/bus_test_service." + std::to_string(getpid()) + "." + std::to_string(counter_++);
        pid_ = fork();
        if (pid_ == 0) {
            if (busAddress)
                setenv("DBUS_SESSION_BUS_ADDRESS", busAddress, 1);
            if (!freopen(stderrPath_.c_str(), "w", stderr))
                _exit(127);
            std::vector<char*> argv;
            std::string exe = PH_BUS_TEST_SERVICE;
            argv.push_back(exe.data());
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
    }
    ~ServiceProcess()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(stderrPath_.c_str());
    }
    bool waitForName()
    {
        for (int i = 0; i < 200; ++i) {
            if (nameHasOwner(kName))
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    // The exit status, or -1 when the process has not ended within the limit.
    int waitForExit(std::chrono::milliseconds limit)
    {
        auto start = Clock::now();
        while (Clock::now() - start < limit) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }
    void signal(int sig) { kill(pid_, sig); }
    std::string stderrText() const
    {
        std::ifstream in(stderrPath_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    static inline int counter_ = 0;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string stderrPath_;
};

// One client: its own connection, so its own unique name.
class Client {
public:
    explicit Client(const std::string& address = "") : connection_(1, kName, kInterface, address) {}

    // Sends method asynchronously; the outcome ("ok:<reply>" or "error:<name>")
    // is appended to the client's outcomes in the order the replies come.
    void send(const std::string& method, const std::string& request = "")
    {
        connection_.call(0, method, request, [this](const CallOutcome& o) {
            std::lock_guard lock(mutex_);
            outcomes_.push_back((o.ok ? "ok:" : "error:") + o.text);
            arrived_.notify_all();
        });
    }
    std::vector<std::string> waitFor(std::size_t count, std::chrono::milliseconds limit = 10s)
    {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, limit, [&] { return outcomes_.size() >= count; });
        return outcomes_;
    }
    std::string stats() { return ask("stats"); }
    std::string ask(const std::string& method)
    {
        const auto outcome = connection_.callAndWait(0, method, "");
        if (!outcome)
            return "no answer";
        return outcome->ok ? outcome->text : "error:" + outcome->text;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> outcomes_;
    ManyClients connection_;  // last: its thread may still deliver while the rest is alive
};

TEST(BusService, AnswersTheCallsOfOneClientInArrivalOrder)
{
    ServiceProcess service({kName});
    ASSERT_TRUE(service.waitForName());
    Client client;
    client.send("sleep", "300");
    client.send("sleep", "0");
    client.send("sleep", "0");
    EXPECT_EQ(client.waitFor(3), (std::vector<std::string>{"ok:1", "ok:2", "ok:3"}));
}

TEST(BusService, GivesEachClientItsOwnObject)
{
    ServiceProcess service({kName});
    ASSERT_TRUE(service.waitForName());
    Client first, second;
    first.send("sleep", "0");
    first.send("sleep", "0");
    ASSERT_EQ(first.waitFor(2).size(), 2u);
    second.send("sleep", "0");
    EXPECT_EQ(second.waitFor(1), (std::vector<std::string>{"ok:1"}));
}

TEST(BusService, RunsTheCallsOfDifferentClientsInParallel)
{
    ServiceProcess service({kName});
    ASSERT_TRUE(service.waitForName());
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(std::make_unique<Client>());
    auto start = Clock::now();
    for (auto& c : clients)
        c->send("sleep", "600");
    for (auto& c : clients)
        EXPECT_EQ(c->waitFor(1), (std::vector<std::string>{"ok:1"}));
    EXPECT_LT(msSince(start), 1500) << "four 600 ms calls of four clients took as long as in a row";
}

TEST(BusService, LetsClientsWaitWhenAllWorkersAreBusy)
{
    ServiceProcess service({kName, "2"});
    ASSERT_TRUE(service.waitForName());
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(std::make_unique<Client>());
    auto start = Clock::now();
    for (auto& c : clients)
        c->send("sleep", "400");
    for (auto& c : clients)
        EXPECT_EQ(c->waitFor(1), (std::vector<std::string>{"ok:1"}));
    EXPECT_GE(msSince(start), 750) << "more than two calls ran at once with two workers";
}

TEST(BusService, AnswersAHandlerThatThrowsOrStaysSilentWithAnErrorAndGoesOn)
{
    ServiceProcess service({kName});
    ASSERT_TRUE(service.waitForName());
    Client client;
    client.send("fail");
    client.send("silent");
    client.send("sleep", "0");
    EXPECT_EQ(client.waitFor(3), (std::vector<std::string>{"error:org.freedesktop.DBus.Error.Failed",
                                                            "error:org.freedesktop.DBus.Error.Failed", "ok:3"}));
}

TEST(BusService, DropsAClientsStateWhenItLeavesAndEndsIdleWorkers)
{
    ServiceProcess service({kName, "256", "200"});
    ASSERT_TRUE(service.waitForName());
    Client stayer;
    {
        Client leaver;
        leaver.send("sleep", "0");
        ASSERT_EQ(leaver.waitFor(1).size(), 1u);
    }
    std::this_thread::sleep_for(500ms);
    // The stats call itself is the one live client and runs on the one worker.
    EXPECT_EQ(stayer.stats(), "clients=1 workers=1");
}

TEST(BusService, DropsTheStateOfAnIdleClient)
{
    ServiceProcess service({kName, "256", "2000", "100"});
    ASSERT_TRUE(service.waitForName());
    Client idle, active;
    idle.send("sleep", "0");
    ASSERT_EQ(idle.waitFor(1).size(), 1u);
    std::this_thread::sleep_for(1200ms);  // past the idle limit and the once-a-second sweep
    EXPECT_EQ(active.stats(), "clients=1 workers=1");
}

TEST(BusService, AnswersEveryQueuedCallWhenStopped)
{
    ServiceProcess service({kName});
    ASSERT_TRUE(service.waitForName());
    Client client;
    client.send("sleep", "500");
    client.send("sleep", "0");
    client.send("sleep", "0");
    std::this_thread::sleep_for(150ms);
    service.signal(SIGTERM);
    EXPECT_EQ(client.waitFor(3), (std::vector<std::string>{"ok:1", "error:org.freedesktop.DBus.Error.Failed",
                                                            "error:org.freedesktop.DBus.Error.Failed"}));
    EXPECT_EQ(service.waitForExit(5s), 0);
}

TEST(BusService, ExitsWithStatus1WhenTheNameIsAlreadyOwned)
{
    ServiceProcess first({kName});
    ASSERT_TRUE(first.waitForName());
    ServiceProcess second({kName});
    EXPECT_EQ(second.waitForExit(5s), 1);
    EXPECT_NE(second.stderrText().find("already owned"), std::string::npos) << second.stderrText();
}

TEST(BusService, ExitsWhenItsBusConnectionCloses)
{
    // A bus of the test's own, so that closing it leaves the sandbox's bus alone.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t daemon = fork();
    if (daemon == 0) {
        dup2(out[1], 1);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char buffer[512] = {};
    ssize_t n = read(out[0], buffer, sizeof buffer - 1);
    close(out[0]);
    ASSERT_GT(n, 0);
    std::string address(buffer, static_cast<std::size_t>(n));
    address.erase(address.find_last_not_of("\n") + 1);

    ServiceProcess service({kName}, address.c_str());
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(service.waitForExit(0ms), -1) << "the service ended before its bus did: " << service.stderrText();
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    EXPECT_EQ(service.waitForExit(5s), 0);
}

TEST(BusService, ExitsWithStatus0WhenIdleAndGivesItsNameBackFirst)
{
    // idle exit 300 ms, linger 50 ms
    ServiceProcess service({kName, "4096", "800", "50", "300"});
    ASSERT_TRUE(service.waitForName());
    Client client;
    EXPECT_EQ(client.ask("pid").empty(), false);
    const auto start = Clock::now();
    EXPECT_EQ(service.waitForExit(5s), 0) << service.stderrText();
    EXPECT_GE(msSince(start), 300) << "it left before its idle time";
    EXPECT_FALSE(nameHasOwner(kName));
}

TEST(BusService, StaysWhileACallRunsLongerThanItsIdleTime)
{
    ServiceProcess service({kName, "4096", "800", "50", "300"});
    ASSERT_TRUE(service.waitForName());
    Client client;
    client.send("sleep", "1000");
    EXPECT_EQ(client.waitFor(1, 5s), std::vector<std::string>{"ok:1"});
    EXPECT_EQ(service.waitForExit(5s), 0);
}

// Calls come with gaps around the idle deadline (linger plus idle time after
// the last call), so that many land while the name is being given back. Each
// must be answered: by the instance that is leaving, or by a new one that the
// bus starts. PH_IDLE_RACE_SECONDS (60) sets how long.
TEST(BusService, IdleExitLosesNoCallThatComesWhileTheNameIsGivenBack)
{
    char pattern[] = "/tmp/ph-idle-race.XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    {
        std::ofstream activation(dir + "/" + kName + ".service");
        activation << "[D-BUS Service]\nName=" << kName << "\nExec=" << PH_BUS_TEST_SERVICE << " " << kName
                   << " 4096 800 10 40\n";
    }
    const char* secondsText = std::getenv("PH_IDLE_RACE_SECONDS");
    const auto length = std::chrono::seconds(secondsText ? std::atoi(secondsText) : 60);
    {
        PrivateBus bus(std::nullopt, dir);
        ManyClients clients(2, kName, kInterface, bus.address());
        std::set<std::string> instances;
        std::size_t calls = 0, failed = 0;
        std::string firstFailure;
        unsigned seed = 7;
        const auto start = Clock::now();
        while (Clock::now() - start < length) {
            const std::size_t who = calls % 2;
            const auto outcome = clients.callAndWait(who, "pid", "", 10s);
            ++calls;
            if (!outcome || !outcome->ok) {
                if (failed++ == 0)
                    firstFailure = outcome ? outcome->text : "no answer within 10 s";
            } else {
                instances.insert(outcome->text);
            }
            // 35 to 65 ms: the deadline is 50 ms after a call's end.
            seed = seed * 1103515245u + 12345u;
            std::this_thread::sleep_for(std::chrono::milliseconds(35 + (seed >> 16) % 31));
        }
        EXPECT_EQ(failed, 0u) << "of " << calls << " calls; the first: " << firstFailure;
        EXPECT_GT(instances.size(), 5u) << "the service hardly ever left: the race was not run";
        std::printf("%zu calls, %zu instances\n", calls, instances.size());
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
