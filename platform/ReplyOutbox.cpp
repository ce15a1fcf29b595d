#include "ReplyOutbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>

ReplyOutbox::ReplyOutbox() : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void ReplyOutbox::post(Entry entry)
{
    std::unique_lock lock(mutex_);
    const bool wasEmpty = entries_.empty();
    entries_.push_back(std::move(entry));
    lock.unlock();
    // The bus thread takes everything at once, so one wake-up per batch.
    if (wasEmpty)
        wake(wake_.get());
}

void ReplyOutbox::wake(int fd)
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

void ReplyOutbox::take(std::vector<Entry>& into)
{
    uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &count, sizeof count);
    into.clear();
    std::lock_guard lock(mutex_);
    into.swap(entries_);
}
