// A service on the connection layer whose six methods run test actions
// instead of the operations, so that answering, bounds and life can be
// checked alone. Every method takes one of these requests:
//   "<ms>"  sleeps, then answers the client's own call count
//   "fail"  throws inside the handler
//   "silent" returns without answering
//   "pid"   the service's process id
// pdeSnmpGet_XPC is the one method whose calls count against MAX_WAITING_CALLS.
//   bus_test_service BUS_NAME INTERFACE [MAX_WAITING_CALLS [STOP_LIMIT_MS [CLIENT_LINGER_MS [IDLE_EXIT_MS]]]]

#include "BusService.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

class TestObject : public BusExportedObject {
public:
    void dispatch(Operation, const std::string& request, const BusReply& reply) override
    {
        ++calls_;
        if (request == "fail")
            throw std::runtime_error("deliberate failure");
        if (request == "pid")
            reply(std::to_string(getpid()));
        if (request == "silent" || request == "pid")
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(request.c_str())));
        reply(std::to_string(calls_));
    }

private:
    int calls_ = 0;  // per client: each client has its own object
};

class TestDelegate : public BusListenerDelegate {
public:
    bool shouldAcceptNewConnection(BusPeer& peer) override
    {
        peer.exportedObject = std::make_shared<TestObject>();
        return true;
    }
    // A sleep cannot be cut short: stopping lets it run out within the limit.
    void serviceStopping() override {}
    bool mayWait(Operation operation) const override { return operation == Operation::PdeSnmpGet; }
};

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 3)
        return 2;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    BusServiceLimits limits;
    if (argc > 3)
        limits.queue.maxWaitingCalls = std::strtoul(argv[3], nullptr, 10);
    if (argc > 4)
        limits.stopLimit = std::chrono::milliseconds(std::atoi(argv[4]));
    if (argc > 5)
        limits.queue.linger = std::chrono::milliseconds(std::atoi(argv[5]));
    if (argc > 6)
        limits.idleExit = std::chrono::milliseconds(std::atoi(argv[6]));
    TestDelegate delegate;
    BusService service(argv[1], argv[2], limits);
    service.setDelegate(&delegate);
    return service.resume();
}
