#include "BusClient.h"

#include "BusNames.h"

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <vector>

namespace {
// sd-bus reads a time-out of all ones as "none"; 0 would mean its 25 s default.
constexpr uint64_t kNoTimeout = UINT64_MAX;
}

struct BusClient::Impl {
    std::unique_ptr<sdbus::IConnection> connection;
    std::vector<std::unique_ptr<sdbus::IProxy>> proxies;
};

BusClient::BusClient() : impl_(std::make_unique<Impl>()) {}
BusClient::~BusClient() = default;

std::unique_ptr<BusClient> BusClient::connectSession(std::string& error)
{
    try {
        std::unique_ptr<BusClient> client(new BusClient());
        client->impl_->connection = sdbus::createSessionBusConnection();
        return client;
    } catch (const sdbus::Error& e) {
        error = "cannot connect to the session bus: " + e.getMessage();
        return nullptr;
    }
}

bool BusClient::callAsync(const std::string& busName, const std::string& interfaceName, const std::string& method,
                          const std::string& request, Handler handler, std::string& error)
{
    try {
        auto proxy = sdbus::createProxy(*impl_->connection, busName, kServiceObjectPath);
        auto call = proxy->createMethodCall(interfaceName, method);
        call << request;
        proxy->callMethod(
            call,
            [handler = std::move(handler)](sdbus::MethodReply& reply, const sdbus::Error* failure) {
                BusCallOutcome outcome;
                if (failure) {
                    outcome.error = failure->getName() + ": " + failure->getMessage();
                } else {
                    try {
                        reply >> outcome.reply;
                        outcome.ok = true;
                    } catch (const sdbus::Error& e) {
                        outcome.error = "unreadable reply: " + e.getMessage();
                    }
                }
                handler(outcome);
            },
            kNoTimeout);
        impl_->proxies.push_back(std::move(proxy));
        return true;
    } catch (const sdbus::Error& e) {
        error = "cannot send the call: " + e.getMessage();
        return false;
    }
}

bool BusClient::wait(std::string& error)
{
    try {
        impl_->connection->enterEventLoop();
        return true;
    } catch (const sdbus::Error& e) {
        error = "the bus connection failed: " + e.getMessage();
        return false;
    }
}

void BusClient::stop() { impl_->connection->leaveEventLoop(); }
