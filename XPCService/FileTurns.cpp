#include "FileTurns.h"

FileTurns::Turn::~Turn()
{
    if (owner_ != nullptr)
        owner_->release(key_);
}

std::optional<FileTurns::Turn> FileTurns::take(const Key& key)
{
    // The turn's own copy is made before a ticket is drawn: nothing may
    // throw between being served and holding the turn that releases it.
    Key own = key;
    std::unique_lock lock(mutex_);
    if (stopped_)
        return std::nullopt;
    Queue& queue = queues_[key];
    const uint64_t ticket = queue.nextTicket++;
    ++queue.writers;
    changed_.wait(lock, [&] { return stopped_ || queue.serving == ticket; });
    if (!stopped_)
        return Turn(*this, std::move(own));

    // Stopped while waiting: leave the queue without a turn (passing it on if
    // it had just come). A holder still releases its own, and the queue goes
    // with its last writer.
    if (queue.serving == ticket)
        ++queue.serving;
    if (--queue.writers == 0)
        queues_.erase(key);
    return std::nullopt;
}

void FileTurns::release(const Key& key)
{
    {
        std::lock_guard lock(mutex_);
        const auto found = queues_.find(key);
        if (found == queues_.end())
            return;
        ++found->second.serving;
        if (--found->second.writers == 0)
            queues_.erase(found);
    }
    changed_.notify_all();
}

void FileTurns::stop()
{
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

std::size_t FileTurns::writers(const Key& key) const
{
    std::lock_guard lock(mutex_);
    const auto found = queues_.find(key);
    return found == queues_.end() ? 0 : found->second.writers;
}
