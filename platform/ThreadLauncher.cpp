#include "ThreadLauncher.h"

#include <pthread.h>
#include <signal.h>

#include <cstddef>
#include <memory>
#include <new>

namespace {

// A call's code keeps its buffers on the heap; 256 KiB leaves ample room for
// libc (syslog, getaddrinfo). Sanitizers make frames several times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStackBytes = 2u << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::size_t kStackBytes = 2u << 20;
#else
constexpr std::size_t kStackBytes = 256u << 10;
#endif
#else
constexpr std::size_t kStackBytes = 256u << 10;
#endif

extern "C" void* runBody(void* arg)
{
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    // Nothing may leave a detached thread: an escaping exception would end
    // the whole process with std::terminate.
    try {
        (*body)();
    } catch (...) {
    }
    return nullptr;
}

}  // namespace

bool startSmallThread(std::function<void()> body) noexcept
{
    std::unique_ptr<std::function<void()>> owned(new (std::nothrow) std::function<void()>());
    if (!owned)
        return false;
    owned->swap(body);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    pthread_attr_setstacksize(&attr, kStackBytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, runBody, owned.get());
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0)
        return false;
    owned.release();  // the thread owns it now
    return true;
}
