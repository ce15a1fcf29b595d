#include "DepartureWatch.h"

#include <new>
#include <utility>

namespace {
constexpr const char* kDaemon = "org.freedesktop.DBus";
}

struct DepartureWatch::Watched {
    DepartureWatch* owner;
    std::string sender;
    sd_bus_slot* match = nullptr;
    sd_bus_slot* query = nullptr;
    ~Watched()
    {
        sd_bus_slot_unref(query);
        sd_bus_slot_unref(match);
    }
};

DepartureWatch::DepartureWatch(sd_bus* bus, Left left) : bus_(bus), left_(std::move(left)) {}

DepartureWatch::~DepartureWatch() = default;

void DepartureWatch::watch(const std::string& sender)
{
    auto [it, fresh] = watched_.try_emplace(sender, nullptr);
    if (!fresh)
        return;
    it->second.reset(new (std::nothrow) Watched{this, sender});
    const std::string rule = "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                             "member='NameOwnerChanged',arg0='" + sender + "'";
    if (!it->second || sd_bus_add_match_async(bus_, &it->second->match, rule.c_str(), onGone, onMatched,
                                              it->second.get()) < 0)
        watched_.erase(it);
}

void DepartureWatch::forget(const std::string& sender) { watched_.erase(sender); }

// The match is in place: is the sender still there? A failed match (too
// many, or the bus is going) leaves its calls to run.
int DepartureWatch::onMatched(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto* w = static_cast<Watched*>(userdata);
    if (!sd_bus_message_is_method_error(m, nullptr))
        sd_bus_call_method_async(w->owner->bus_, &w->query, kDaemon, "/org/freedesktop/DBus", kDaemon, "GetNameOwner",
                                 onGone, w, "s", w->sender.c_str());
    return 0;
}

// Its name has no owner any more, or had none when asked.
int DepartureWatch::onGone(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto* w = static_cast<Watched*>(userdata);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_is_method_error(m, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
        (sd_bus_message_is_signal(m, kDaemon, "NameOwnerChanged") &&
         sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) >= 0 && !*newOwner))
        w->owner->left_(w->sender);
    return 0;
}
