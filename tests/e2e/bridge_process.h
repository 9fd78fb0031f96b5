// A bridge program run as a child process by the end-to-end tests.
#pragma once

#include "harness.h"
#include "jack_peer.h"
#include "seq_peer.h"

#include <functional>

namespace e2e {

struct BridgeProcess {
    std::unique_ptr<Child> child;
    peers::SeqAddress port; // its one sequencer port
};

// Starts `argv` and waits until the bridge runs: a sequencer client named
// `name` has its port, `connect` has made its JACK connection (returning 0,
// or EEXIST once an earlier attempt made it), which needs an active JACK
// client, and SIGINT and SIGTERM are handled.
BridgeProcess start_bridge(const std::vector<std::string>& argv, const std::string& name,
                           peers::SeqPeer& seq, const std::function<int()>& connect,
                           const std::map<std::string, std::string>& env = {});

// Waits until velkin_bridge, started by start_bridge, runs its main loop. Its
// JACK port can be connected while jack_activate has yet to return, and a
// JACK server held (SIGSTOP) then would hold the bridge's main thread too.
void wait_main_loop(const BridgeProcess& velkin, const std::string& name);

// Starts velkin_bridge, `argv` being the program and its arguments (behind a
// wrapper such as valgrind, if any), under the client name `name`, with its
// JACK port "capture" connected to the JACK peer's input, and waits until it
// runs its main loop.
BridgeProcess start_velkin(peers::SeqPeer& seq, peers::JackPeer& jack,
                           const std::vector<std::string>& argv,
                           const std::string& name = "velkin_bridge",
                           const std::map<std::string, std::string>& env = {});

// Starts dornel_bridge likewise, fed from the JACK peer's output, with the
// sequencer peer subscribed to its port "capture".
BridgeProcess start_dornel(peers::SeqPeer& seq, peers::JackPeer& jack,
                           const std::vector<std::string>& argv,
                           const std::string& name = "dornel_bridge",
                           const std::map<std::string, std::string>& env = {});

// Whether velkin_bridge has handled everything sent to it within the suite's
// long wait: nothing left in its kernel input pool, and its main thread back
// in poll.
bool wait_read_all(const BridgeProcess& velkin);

// Whether fewer than 100 cells of the bridge's kernel input pool are in use
// within the suite's long wait, far below its 2000. Senders of long bursts
// call it every 25 events so that the kernel never drops any.
bool wait_input_room(const BridgeProcess& velkin);

// Stops the bridge with SIGTERM: it must end with status 0 and have written
// nothing.
void stop_quietly(Child& bridge);

// Runs `argv`, which must fail setup: exit status 1, `line` the last line on
// standard error and the only one of `ours` there, nothing on standard output.
void expect_setup_failure(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env, const std::string& line,
                          const std::vector<std::string>& ours);

} // namespace e2e
