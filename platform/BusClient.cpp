#include "BusClient.h"

#include "BusNames.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {
// sd-bus reads a time-out of all ones as "none"; 0 would mean its 25 s default.
constexpr uint64_t kNoTimeout = UINT64_MAX;

std::string errnoText(int negativeErrno) { return std::strerror(-negativeErrno); }
}  // namespace

struct BusClient::Impl {
    sd_bus* bus = nullptr;
    sd_bus_slot* call = nullptr;
    Handler handler;
    bool stopped = false;

    ~Impl()
    {
        sd_bus_slot_unref(call);
        sd_bus_flush_close_unref(bus);
    }
};

BusClient::BusClient() : impl_(std::make_unique<Impl>()) {}
BusClient::~BusClient() = default;

std::unique_ptr<BusClient> BusClient::connectSession(std::string& error)
{
    std::unique_ptr<BusClient> client(new BusClient());
    if (const int r = sd_bus_open_user(&client->impl_->bus); r < 0) {
        error = "cannot connect to the session bus: " + errnoText(r);
        return nullptr;
    }
    return client;
}

bool BusClient::callAsync(const std::string& busName, const std::string& interfaceName, const std::string& method,
                          const std::string& request, Handler handler, std::string& error)
{
    auto onReply = [](sd_bus_message* reply, void* userdata, sd_bus_error*) -> int {
        auto* impl = static_cast<Impl*>(userdata);
        BusCallOutcome outcome;
        if (const sd_bus_error* failure = sd_bus_message_get_error(reply)) {
            outcome.error = std::string(failure->name ? failure->name : "") + ": " + (failure->message ? failure->message : "");
        } else {
            const char* text = nullptr;
            if (const int r = sd_bus_message_read(reply, "s", &text); r < 0)
                outcome.error = "unreadable reply: " + errnoText(r);
            else {
                outcome.reply = text;
                outcome.ok = true;
            }
        }
        impl->handler(outcome);
        return 0;
    };

    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(impl_->bus, &m, busName.c_str(), kServiceObjectPath,
                                           interfaceName.c_str(), method.c_str());
    if (r >= 0)
        r = sd_bus_message_append(m, "s", request.c_str());
    if (r >= 0) {
        impl_->handler = std::move(handler);
        r = sd_bus_call_async(impl_->bus, &impl_->call, m, onReply, impl_.get(), kNoTimeout);
    }
    sd_bus_message_unref(m);
    if (r < 0) {
        error = "cannot send the call: " + errnoText(r);
        return false;
    }
    return true;
}

bool BusClient::wait(std::string& error)
{
    while (!impl_->stopped) {
        int r = sd_bus_process(impl_->bus, nullptr);
        if (r > 0)
            continue;
        if (r == 0)
            r = sd_bus_wait(impl_->bus, UINT64_MAX);
        if (r < 0 && r != -EINTR) {
            error = "the bus connection failed: " + errnoText(r);
            return false;
        }
    }
    return true;
}

void BusClient::stop() { impl_->stopped = true; }
