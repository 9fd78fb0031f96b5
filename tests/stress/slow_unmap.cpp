// Preload library for the stop stress: makes every munmap of less than a page
// take SLOW_UNMAP_MS milliseconds first. In a JACK2 client such unmaps are
// the shared futexes of other clients, which the library's notification
// thread drops under a lock when the server reports a client gone, as it does
// for its own "system" client while it shuts down. The pause widens the
// moment in which a closing client cancels that thread while it holds the
// lock: a moment that lasts microseconds otherwise.
#include <dlfcn.h>
#include <sys/mman.h>

#include <cstdlib>
#include <ctime>

namespace {

using munmap_function = int (*)(void*, std::size_t);

munmap_function real_munmap() {
    static auto real = reinterpret_cast<munmap_function>(dlsym(RTLD_NEXT, "munmap"));
    return real;
}

} // namespace

extern "C" int munmap(void* address, std::size_t length) {
    static const long pause_ms = [] {
        const char* value = std::getenv("SLOW_UNMAP_MS");
        return value ? std::atol(value) : 0L;
    }();
    if (length < 4096 && pause_ms > 0) {
        timespec pause{pause_ms / 1000, pause_ms % 1000 * 1'000'000};
        nanosleep(&pause, nullptr);
    }
    return real_munmap()(address, length);
}
