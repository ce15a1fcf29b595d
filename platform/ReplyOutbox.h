#pragma once
// What the connection layer's workers hand the bus thread: replies, errors
// and calls to drop, each named by its call's token, plus clients whose
// departure watch can go. A post wakes the bus thread through one descriptor
// that its event loop watches beside the bus; nothing here touches the bus.

#include "UniqueFd.h"

#include <systemd/sd-bus-protocol.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class ReplyOutbox {
public:
    struct Entry {
        enum class Kind { Reply, Error, Drop, Forget } kind;
        std::uint64_t token = 0;
        std::string text;  // the reply, the error's message, or (Forget) the sender
        const char* errorName = SD_BUS_ERROR_FAILED;
    };

    ReplyOutbox();
    bool valid() const { return wake_.valid(); }
    // Readable while something waits for the bus thread.
    int fd() const { return wake_.get(); }

    // Any thread: queues entry and wakes the bus thread.
    void post(Entry entry);
    // Any thread: wakes the bus thread.
    static void wake(int fd);
    // The bus thread: everything posted so far, in the order posted.
    void take(std::vector<Entry>& into);

private:
    UniqueFd wake_;
    std::mutex mutex_;
    std::vector<Entry> entries_;
};
