// A service on the connection layer with test methods instead of the six
// operations, so that order, parallelism and answering can be checked alone.
//   bus_test_service BUS_NAME [MAX_WAITING_CALLS [STOP_LIMIT_MS [CLIENT_LINGER_MS [IDLE_EXIT_MS]]]]
// Methods of interface <BUS_NAME>.Test at "/":
//   sleep(ms) -> "<n>": sleeps, then answers the client's own call count; the
//                      one method that counts against MAX_WAITING_CALLS
//   fail      -> throws inside the handler
//   silent    -> returns without answering
//   stats     -> "clients=<n> workers=<n>"
//   pid       -> the service's process id

#include "BusService.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

BusService* gService = nullptr;

class TestObject : public BusExportedObject {
public:
    void dispatch(const std::string& method, const std::string& request, const BusReply& reply) override
    {
        ++calls_;
        if (method == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(request.c_str())));
            reply(std::to_string(calls_));
        } else if (method == "fail") {
            throw std::runtime_error("deliberate failure");
        } else if (method == "pid") {
            reply(std::to_string(getpid()));
        } else if (method == "stats") {
            reply("clients=" + std::to_string(gService->clientCount()) +
                  " workers=" + std::to_string(gService->workerCount()));
        }
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
};

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2)
        return 2;
    BusServiceLimits limits;
    if (argc > 2)
        limits.maxWaitingCalls = std::strtoul(argv[2], nullptr, 10);
    if (argc > 3)
        limits.stopLimit = std::chrono::milliseconds(std::atoi(argv[3]));
    if (argc > 4)
        limits.clientLinger = std::chrono::milliseconds(std::atoi(argv[4]));
    if (argc > 5)
        limits.idleExit = std::chrono::milliseconds(std::atoi(argv[5]));
    TestDelegate delegate;
    BusService service(argv[1], std::string(argv[1]) + ".Test", {{"sleep", true}, {"fail"}, {"silent"}, {"stats"}, {"pid"}}, limits);
    gService = &service;
    service.setDelegate(&delegate);
    return service.resume();
}
