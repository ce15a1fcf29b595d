// printer-helper-service: started by the bus when a client calls the
// family's name; serves every client until its bus connection closes.

#include "BusNames.h"
#include "BusService.h"
#include "CancelWatcher.h"
#include "DescriptorBudget.h"
#include "FamilyConfig.h"
#include "FenwaXPCServiceDelegate.h"

#include <malloc.h>
#include <signal.h>
#include <sysexits.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>

int main()
{
    // The stop signals belong to the bus thread's event loop, which reads
    // them from a descriptor; blocked here, before any thread starts, no
    // other thread can take them first.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    // Every call runs on a short-lived thread; without a cap each would be
    // given a malloc arena of its own, 64 MiB of address space apiece.
    mallopt(M_ARENA_MAX, 4);

    // The one watcher of every cancel file; it outlives the bus service,
    // whose destructor answers and joins every call first. Without its
    // thread (a user at its process limit) the service cannot run: one line
    // and EX_OSERR, never an abort.
    std::optional<CancelWatcher> watcher;
    try {
        watcher.emplace();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "printer-helper-service: cannot start the cancel watcher: %s\n", e.what());
        return EX_OSERR;
    }
    // A busy service holds two descriptors for each running read or echo;
    // it takes all the room it is allowed, and keeps some of it for the rest.
    DescriptorBudget descriptors(DescriptorBudget::raiseProcessLimit());
    FenwaXPCServiceDelegate delegate(kFamily.stringForm, *watcher, descriptors);
    // Tests shorten the idle time, which is otherwise the bus's usual 30 s.
    BusServiceLimits limits;
    if (const char* idle = std::getenv("PH_IDLE_EXIT_MS"); idle && std::atol(idle) > 0)
        limits.idleExit = std::chrono::milliseconds(std::atol(idle));
    BusService listener(kFamily.serviceName, protocolInterfaceName(kFamily.serviceName, kFamily.protocolUuid),
                        limits);
    listener.setDelegate(&delegate);
    return listener.resume();
}
