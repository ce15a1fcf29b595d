#include "ServiceHarness.h"

#include "BusNames.h"

#include <sdbus-c++/sdbus-c++.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::string statusField(pid_t pid, const std::string& key, const std::string& file = "status")
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return line.substr(key.size() + 1);
    return "";
}

}  // namespace

long msSince(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

FamilyNames familyFrom(const std::string& familyDir)
{
    std::ifstream in(familyDir + "/family.env");
    std::string line, name, uuid;
    while (std::getline(in, line)) {
        auto value = [&](const std::string& key) -> std::optional<std::string> {
            if (line.rfind(key + "=", 0) != 0)
                return std::nullopt;
            std::string v = line.substr(key.size() + 1);
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            return v;
        };
        if (auto v = value("SERVICE_NAME"))
            name = *v;
        if (auto v = value("PROTOCOL_UUID"))
            uuid = *v;
    }
    if (name.empty() || uuid.empty())
        throw std::runtime_error("no family.env in " + familyDir);
    return {name, protocolInterfaceName(name, uuid), familyDir + "/printer-helper-service",
            familyDir + "/printer-helper-tool"};
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::optional<uid_t> asUser,
            const std::string& stderrPath)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (const std::string& e : env)
        putenv(const_cast<char*>(e.c_str()));
    if (!stderrPath.empty()) {
        const int fd = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0)
            dup2(fd, 2);
    }
    if (asUser) {
        if (setgroups(0, nullptr) != 0 || setgid(*asUser) != 0 || setuid(*asUser) != 0)
            _exit(126);
    }
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

PrivateBus::PrivateBus(std::optional<uid_t> asUser)
{
    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        ::close(out[0]);
        // Only the daemon's complaint about the descriptor limit goes.
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 2);
        if (asUser && (setgroups(0, nullptr) != 0 || setgid(*asUser) != 0 || setuid(*asUser) != 0))
            _exit(126);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(out[1]);
    char buffer[512] = {};
    const ssize_t n = read(out[0], buffer, sizeof buffer - 1);
    ::close(out[0]);
    if (n <= 0)
        throw std::runtime_error("dbus-daemon did not start");
    address_.assign(buffer, static_cast<std::size_t>(n));
    address_.erase(address_.find_last_not_of('\n') + 1);
}

PrivateBus::~PrivateBus() { kill(); }

void PrivateBus::kill()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

bool PrivateBus::nameHasOwner(const std::string& name) const
{
    auto connection = sdbus::createSessionBusConnectionWithAddress(address_);
    auto bus = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    bool has = false;
    bus->callMethod("NameHasOwner").onInterface("org.freedesktop.DBus").withArguments(name).storeResultsTo(has);
    return has;
}

ServiceRun::ServiceRun(const std::string& exe, const PrivateBus& bus, std::optional<uid_t> asUser)
{
    pid_ = spawn({exe}, {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()}, asUser);
}

ServiceRun::~ServiceRun()
{
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ServiceRun::waitForName(const PrivateBus& bus, const std::string& name)
{
    for (int i = 0; i < 500; ++i) {
        if (bus.nameHasOwner(name))
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

int ServiceRun::waitForExit(std::chrono::milliseconds limit)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() - start >= limit)
            return -1;
        std::this_thread::sleep_for(2ms);
    }
}

void ServiceRun::signal(int sig) { ::kill(pid_, sig); }

long ServiceRun::cpuTicks() const
{
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which may hold spaces: utime is the 14th
    // field of the line, stime the 15th.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

int ServiceRun::threads() const { return std::atoi(statusField(pid_, "Threads").c_str()); }
long ServiceRun::rssKb() const { return std::atol(statusField(pid_, "VmRSS").c_str()); }
long ServiceRun::virtualKb() const { return std::atol(statusField(pid_, "VmSize").c_str()); }
long ServiceRun::busThreadWakeups() const
{
    return std::atol(statusField(pid_, "voluntary_ctxt_switches", "task/" + std::to_string(pid_) + "/status").c_str());
}
