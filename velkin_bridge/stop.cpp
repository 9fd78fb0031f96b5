// The stop: once asked for, the process ends within stop_bound_seconds,
// whatever the JACK library does on the way out. jack_client_close can wait
// for good: on a JACK server that froze (a hung driver, a debugger, a paused
// container) and never answers, and in JACK2, as the server shuts down, on a
// lock that the library's notification thread held when the close cancelled
// that thread.
#include "bridge.h"

#include <unistd.h>

#include <csignal>

namespace {

// A healthy close takes a few JACK periods, well under a second even at the
// longest periods and under emulation; the main loop may first need up to
// its 1000 ms poll to see a JACK shutdown. Past 2 s the close is not coming
// back, and a service manager's stop should not wait for it.
constexpr unsigned stop_bound_seconds = 2;

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The bound has passed: end now. The JACK client may still run its process
// callback, so nothing is released by hand; the kernel closes the sequencer
// client and the server connection with the process.
void on_stop_bound(int) {
    _exit(0);
}

} // namespace

void install_stop_bound() {
    std::signal(SIGALRM, on_stop_bound);
}

void request_stop() {
    running.store(0);
    // The first request starts the clock; later ones leave it running.
    if (!stop_requested.exchange(true)) alarm(stop_bound_seconds);
}
