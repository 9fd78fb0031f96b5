// Shared pieces of the end-to-end tests: child processes with captured
// output, waiting on conditions, and a private JACK server per test binary.
#pragma once

#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// Generous: the suite runs under software emulation.
inline constexpr auto long_wait = 30s;

// Frames per period of the suite's JACK server (at 48000 Hz).
inline constexpr int suite_period = 4096;

// Polls `condition` until it holds or `timeout` passes.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A child process whose stdout and stderr go to files of its own.
class Child {
  public:
    // `env` entries override or add variables of our environment; an empty
    // value removes one.
    Child(std::vector<std::string> argv, std::map<std::string, std::string> env = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const {
        return pid_;
    }
    void signal(int signal_number);
    bool running();
    // Exit status, or 128 + signal number if a signal ended it; nothing if it
    // is still running after `timeout`.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    std::string out();
    std::string err();
    std::vector<std::string> err_lines();

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string out_path_;
    std::string err_path_;
};

// The suite runs on jackd2's JACK, or with E2E_JACK=pipewire on PipeWire's:
// the test binary then runs under pw-jack, so that it and every child load
// PipeWire's JACK library, and each JackServer is a PipeWire daemon.
bool on_pipewire();

// Whether a JACK server held with SIGSTOP holds the boundary between two
// periods, so that what the bridges take in meanwhile goes out in the next
// period. jackd2 does; a PipeWire daemon, once let go, runs the periods it
// missed back to back, and MIDI that a client writes in one of them can miss
// its reader. Tests that gather events into one period so run on jackd2.
inline bool held_server_holds_the_period() {
    return !on_pipewire();
}

// A JACK server of our own, at 48000 Hz and `period` frames, once a client
// can connect to it: `jackd -n <name> --no-realtime -d dummy`, or on PipeWire
// a `pipewire` daemon whose core (and socket) is called <name>, driven by its
// dummy driver.
class JackServer {
  public:
    struct Options {
        bool pipewire = on_pipewire();
        // Options of jackd before its driver's, "-X alsarawmidi" say.
        std::vector<std::string> jackd_options = {};
    };
    explicit JackServer(std::string name, int period = 1024) : JackServer(name, period, {}) {}
    JackServer(std::string name, int period, Options options);
    ~JackServer();
    const std::string& name() const {
        return name_;
    }
    // What a child's environment needs to be a client of this server.
    std::map<std::string, std::string> client_env() const;
    // Ends the server with `signal_number` (SIGTERM: an orderly stop, SIGKILL:
    // a crash) and waits for it.
    void stop(int signal_number = SIGTERM);
    Child& process() {
        return *child_;
    }

  private:
    std::string name_;
    bool pipewire_;
    std::string config_; // the PipeWire daemon's configuration, made for it
    std::unique_ptr<Child> child_;
};

// The JACK server that all tests of this binary share.
JackServer& suite_server();

// Silences the JACK library's error lines in this process while it lives:
// for probes that are expected to fail until the thing probed is ready.
class QuietJack {
  public:
    QuietJack();
    ~QuietJack();
    // The last line it silenced.
    static std::string last_message();
};

// Connects two ports on the named server, from a child process (this process
// is a client of the suite's server only).
bool jack_connect_on(const std::string& server, const std::string& source,
                     const std::string& destination);

// Points every JACK client of this process and its children at the named
// server and forbids the JACK library to start a server of its own.
void use_jack_server(const std::string& name);

// A child's environment in which no JACK server can be reached.
std::map<std::string, std::string> no_jack_server_env();

bool has_sequencer();

// The command line that runs `argv` where no sequencer can be opened: as is
// where the machine has none, else in a mount namespace that hides /dev/snd.
std::vector<std::string> without_sequencer(std::vector<std::string> argv);

// The lines of `lines` that are among `ours`, in order.
std::vector<std::string> lines_among(const std::vector<std::string>& lines,
                                     const std::vector<std::string>& ours);

// Whether the process has handlers installed for every one of `signals`.
bool catches_signals(pid_t pid, std::initializer_list<int> signals);

// A figure of a sequencer client's kernel input pool, as the kernel shows it:
// "Pool size", or "Cells in use" (events sent to it that it has not read
// yet). Nothing if the client is not there.
std::optional<int> seq_input_pool(int client, const std::string& figure);

// One line per thread of a process: its id, name, state, system call and the
// kernel function it waits in, for messages about a process that does not do
// what was expected.
std::string describe_threads(pid_t pid);

// Whether the process's main thread is blocked in poll().
bool waiting_in_poll(pid_t pid);

// Keeps a process stopped (SIGSTOP) for as long as it lives; SIGCONT after.
class Stopped {
  public:
    explicit Stopped(pid_t pid);
    ~Stopped();
    Stopped(const Stopped&) = delete;
    Stopped& operator=(const Stopped&) = delete;

  private:
    pid_t pid_;
};

std::string read_file(const std::string& path);

} // namespace e2e
