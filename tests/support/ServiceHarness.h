#pragma once
// One family's service started by hand on a private session bus of the test's
// own (the system's session configuration: its limits admit thousands of
// clients), and what /proc tells about the service process.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct FamilyNames {
    std::string service;    // bus name
    std::string interface;  // <bus name>.XPC_Protocol<UUID_>
    std::string serviceExe;
    std::string toolExe;
};

// Reads <familyDir>/family.env of a built family.
FamilyNames familyFrom(const std::string& familyDir);

// Runs argv with env additions; the child's stderr goes to stderrPath if set.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& stderrPath = "");

struct sd_bus;

// A new client connection to the bus at address (the session bus when
// empty); throws when there is none.
sd_bus* connectToBus(const std::string& address);

// A client that connects to the bus at address and leaves again at once.
void connectAndLeave(const std::string& address);

class PrivateBus {
public:
    // activationDir: a folder of activation files the bus starts services
    // from (its bus.conf is written there).
    explicit PrivateBus(const std::string& activationDir = "");
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    pid_t pid() const { return pid_; }
    bool nameHasOwner(const std::string& name) const;
    // The process that owns name now; 0 when none does.
    pid_t ownerPid(const std::string& name) const;
    void kill();  // the bus dies

private:
    pid_t pid_ = -1;
    std::string address_;
    std::string configPath_;
};

class ServiceRun {
public:
    ServiceRun(const std::string& exe, const PrivateBus& bus);
    // argv[0] may be a wrapper such as prlimit that runs the service; env
    // entries ("NAME=value") are added to its environment.
    ServiceRun(const std::vector<std::string>& argv, const PrivateBus& bus, const std::vector<std::string>& env = {},
               const std::string& stderrPath = "");
    ~ServiceRun();  // SIGKILL if still running
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    bool waitForName(const PrivateBus& bus, const std::string& name);
    // The exit status, or -1 when the process has not ended within limit.
    int waitForExit(std::chrono::milliseconds limit);
    void signal(int sig);
    pid_t pid() const { return pid_; }

    // User plus system CPU time in clock ticks, threads, resident and virtual KiB.
    long cpuTicks() const;
    int threads() const;
    long rssKb() const;
    long virtualKb() const;
    // How often the main (bus) thread has slept and woken.
    long busThreadWakeups() const;

private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

long msSince(std::chrono::steady_clock::time_point start);

// User plus system CPU time of process pid, in clock ticks.
long cpuTicksOf(pid_t pid);
