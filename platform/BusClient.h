#pragma once
// The client side of the connection layer: one session-bus connection, one
// call of a method that takes one string and answers one string, and the
// connection's own wait for the answer.

#include <functional>
#include <memory>
#include <string>

struct BusCallOutcome {
    bool ok = false;
    std::string reply;  // the answer when ok
    std::string error;  // what the bus or the service said otherwise
};

class BusClient {
public:
    using Handler = std::function<void(const BusCallOutcome&)>;

    // Connects to the session bus (DBUS_SESSION_BUS_ADDRESS); none when
    // there is no bus, with the reason in error.
    static std::unique_ptr<BusClient> connectSession(std::string& error);
    ~BusClient();

    // Sends the call to object "/" of busName, starting the service if need
    // be, with no time-out of its own. handler runs inside wait(), once.
    // False, with the reason in error, when the call could not be sent.
    bool callAsync(const std::string& busName, const std::string& interfaceName, const std::string& method,
                   const std::string& request, Handler handler, std::string& error);

    // Serves the connection until stop() (from a handler) or until the
    // connection fails; false in the latter case, with the reason in error.
    bool wait(std::string& error);
    void stop();

private:
    BusClient();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
