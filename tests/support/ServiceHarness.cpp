#include "ServiceHarness.h"

#include "BusNames.h"

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
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

sd_bus* connectToBus(const std::string& address)
{
    sd_bus* bus = nullptr;
    int r = 0;
    if (address.empty()) {
        r = sd_bus_open_user(&bus);
    } else {
        r = sd_bus_new(&bus);
        if (r >= 0)
            r = sd_bus_set_address(bus, address.c_str());
        if (r >= 0)
            r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0)
            r = sd_bus_start(bus);
    }
    if (r < 0) {
        sd_bus_unref(bus);
        throw std::runtime_error("cannot connect to the bus " + address + ": " + std::strerror(-r));
    }
    return bus;
}

namespace {

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using TestBus = std::unique_ptr<sd_bus, BusCloser>;

TestBus connectTo(const std::string& address) { return TestBus(connectToBus(address)); }

bool busNameHasOwner(const std::string& address, const std::string& name)
{
    TestBus bus = connectTo(address);
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int has = 0;
    const int r = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "NameHasOwner", &error, &reply, "s", name.c_str());
    if (r >= 0)
        sd_bus_message_read(reply, "b", &has);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (r < 0)
        throw std::runtime_error("NameHasOwner failed");
    return has != 0;
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

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& stderrPath)
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
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

PrivateBus::PrivateBus(const std::string& activationDir)
{
    // With an activation folder of the test's own, the session configuration
    // (and its limits) plus that folder.
    std::string config = "--session";
    if (!activationDir.empty()) {
        configPath_ = activationDir + "/bus.conf";
        std::ofstream out(configPath_);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n  <include>/usr/share/dbus-1/session.conf</include>\n"
            << "  <servicedir>" << activationDir << "</servicedir>\n</busconfig>\n";
        config = "--config-file=" + configPath_;
    }
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
        execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile", "--print-address=1",
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

PrivateBus::~PrivateBus()
{
    kill();
    if (!configPath_.empty())
        ::unlink(configPath_.c_str());
}

pid_t PrivateBus::ownerPid(const std::string& name) const
{
    TestBus bus = connectTo(address_);
    sd_bus_message* reply = nullptr;
    uint32_t pid = 0;
    if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetConnectionUnixProcessID", nullptr, &reply, "s", name.c_str()) >= 0)
        sd_bus_message_read(reply, "u", &pid);
    sd_bus_message_unref(reply);
    return static_cast<pid_t>(pid);
}

void PrivateBus::kill()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

bool PrivateBus::nameHasOwner(const std::string& name) const { return busNameHasOwner(address_, name); }


void connectAndLeave(const std::string& address) { connectTo(address); }

ServiceRun::ServiceRun(const std::string& exe, const PrivateBus& bus)
    : ServiceRun(std::vector<std::string>{exe}, bus)
{
}

ServiceRun::ServiceRun(const std::vector<std::string>& argv, const PrivateBus& bus, const std::vector<std::string>& env,
                       const std::string& stderrPath)
{
    std::vector<std::string> all = env;
    all.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus.address());
    pid_ = spawn(argv, all, stderrPath);
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

long cpuTicksOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos)
        return 0;
    // Fields after the command name, which may hold spaces: utime is the 14th
    // field of the line, stime the 15th.
    std::istringstream rest(text.substr(end + 2));
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

long ServiceRun::cpuTicks() const { return cpuTicksOf(pid_); }

int ServiceRun::threads() const { return std::atoi(statusField(pid_, "Threads").c_str()); }
long ServiceRun::rssKb() const { return std::atol(statusField(pid_, "VmRSS").c_str()); }
long ServiceRun::virtualKb() const { return std::atol(statusField(pid_, "VmSize").c_str()); }
long ServiceRun::busThreadWakeups() const
{
    return std::atol(statusField(pid_, "voluntary_ctxt_switches", "task/" + std::to_string(pid_) + "/status").c_str());
}
