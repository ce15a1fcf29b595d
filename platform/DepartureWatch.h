#pragma once
// Hears that clients leave the bus. Each watched sender gets a match on its
// NameOwnerChanged; once that is in place, the bus is asked for its owner,
// since it may have left before. Both are asynchronous, so that the bus
// thread never waits for the bus while calls stream in: sd_bus_track asks
// synchronously, and meanwhile reads every message that arrives into memory.
// Bus thread only.

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

class DepartureWatch {
public:
    using Left = std::function<void(const std::string& sender)>;

    DepartureWatch(sd_bus* bus, Left left);
    ~DepartureWatch();
    DepartureWatch(const DepartureWatch&) = delete;
    DepartureWatch& operator=(const DepartureWatch&) = delete;

    // From now on left(sender) is called once the sender has gone. When the
    // match cannot be made (no memory, too many matches) nothing is heard.
    void watch(const std::string& sender);
    // The sender is of no more interest: its match goes, on the bus too.
    void forget(const std::string& sender);

private:
    struct Watched;
    static int onGone(sd_bus_message* m, void* userdata, sd_bus_error*);
    static int onMatched(sd_bus_message* m, void* userdata, sd_bus_error*);

    sd_bus* bus_;
    Left left_;
    std::unordered_map<std::string, std::unique_ptr<Watched>> watched_;
};
