// One lane of the stop stress (scripts/stress.sh runs several side by side):
// again and again, a private JACK server with both bridges streaming through
// it (a sequencer client into velkin_bridge, velkin_bridge's JACK port into
// dornel_bridge, dornel_bridge's port to a sequencer client) is ended under
// them, and the bridges must end:
//
//   term    the server stopped with SIGTERM: velkin_bridge ends by itself,
//           dornel_bridge on a stop signal sent a moment later
//   kill    the server killed with SIGKILL: likewise
//   freeze  the server held with SIGSTOP: both bridges get a stop signal
//
// A bridge still running `--hang-after` seconds after the server went (or
// after its stop signal) counts as hung: every thread's backtrace is printed
// (gdb), then it is killed. Each stop prints one line; the lane ends with a
// summary line that scripts/stress.sh adds up.
//
// `--widen-ms N` runs velkin_bridge with libslow_unmap.so, which holds the
// JACK library's notification thread N ms inside a lock that the library's
// jack_client_close takes after cancelling that thread: the race behind a
// close that never returns, made wide enough to meet at every server stop.
//
//   stop_stress --lane N --stops M --velkin PATH --dornel PATH
//               [--modes term,kill,freeze] [--hang-after SECONDS] [--widen-ms N]
#include "bridge_process.h"
#include "harness.h"
#include "seq_peer.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

using namespace e2e;
using peers::SeqAddress;
using peers::SeqPeer;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    int lane = 0;
    int stops = 100;
    std::string velkin;
    std::string dornel;
    std::vector<std::string> modes{"term", "kill", "freeze"};
    int hang_after_s = 10;
    int widen_ms = 0;
};

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> items;
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');)
        items.push_back(item);
    return items;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i], value = argv[i + 1];
        if (key == "--lane")
            o.lane = std::stoi(value);
        else if (key == "--stops")
            o.stops = std::stoi(value);
        else if (key == "--velkin")
            o.velkin = value;
        else if (key == "--dornel")
            o.dornel = value;
        else if (key == "--modes")
            o.modes = split(value);
        else if (key == "--hang-after")
            o.hang_after_s = std::stoi(value);
        else if (key == "--widen-ms")
            o.widen_ms = std::stoi(value);
        else
            throw std::runtime_error("unknown option " + key);
    }
    if (o.velkin.empty() || o.dornel.empty())
        throw std::runtime_error("--velkin and --dornel are needed");
    return o;
}

// Every thread's backtrace, from gdb attached to the process.
std::string backtraces(pid_t pid) {
    Child gdb({"gdb", "-p", std::to_string(pid), "-batch", "-nx", "-ex", "set pagination off",
               "-ex", "info threads", "-ex", "thread apply all bt"});
    gdb.wait_exit(120s);
    return gdb.out();
}

// Note-ons into a sequencer port, one a millisecond, until stopped or until
// the port is gone.
class Stream {
  public:
    explicit Stream(SeqAddress dest)
        : thread_([this, dest] {
              try {
                  SeqPeer tx("stress_tx");
                  for (unsigned i = 0; !stop_; ++i) {
                      tx.send_midi({static_cast<unsigned char>(0x90 | (i % 16)),
                                    static_cast<unsigned char>(i % 128), 100},
                                   dest);
                      std::this_thread::sleep_for(1ms);
                  }
              } catch (const std::exception&) {
                  // The bridge is gone.
              }
          }) {}
    ~Stream() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Outcome {
    long ms = -1;      // from the server's end or the stop signal to the exit
    long stop_ms = -1; // from the stop request (signal, shutdown line) to the exit
    int status = -1;
    bool hung = false;
};

// A bridge on its way out: when its end began (the server's end, or its stop
// signal) and how it went.
struct Ending {
    Child& bridge;
    const char* name;
    Clock::time_point from;
    // The line with which the bridge says that its stop begins, if it is not
    // the stop signal at `from`; when it was seen.
    const char* request_line = nullptr;
    std::optional<Clock::time_point> requested{};
    Outcome outcome{};
};

// Watches the bridges until each has ended; one still running `hang_after`
// seconds after its end began hung: its threads' backtraces are printed and
// it is killed.
void watch(std::vector<Ending*> endings, const Options& o, const std::string& where) {
    for (;;) {
        bool all_done = true;
        for (Ending* e : endings) {
            if (e->outcome.status >= 0 || e->outcome.hung) continue;
            auto now = Clock::now();
            if (!e->requested &&
                (!e->request_line || e->bridge.err().find(e->request_line) != std::string::npos))
                e->requested = e->request_line ? now : e->from;
            if (!e->bridge.running()) {
                auto since = [&](Clock::time_point t) {
                    return std::chrono::duration_cast<std::chrono::milliseconds>(now - t).count();
                };
                e->outcome.status = *e->bridge.wait_exit(0ms);
                e->outcome.ms = since(e->from);
                if (e->requested) e->outcome.stop_ms = since(*e->requested);
                // A sanitizer report, say: what the bridge wrote tells.
                if (e->outcome.status != 0)
                    std::cout << "STATUS " << e->outcome.status << " " << where << ": " << e->name
                              << " wrote:\n"
                              << e->bridge.err() << "END STATUS\n"
                              << std::flush;
            } else if (now - e->from > std::chrono::seconds(o.hang_after_s)) {
                e->outcome.hung = true;
                pid_t pid = e->bridge.pid();
                std::cout << "HANG " << where << ": " << e->name << " (pid " << pid
                          << ") still running after " << o.hang_after_s << " s\n"
                          << describe_threads(pid) << backtraces(pid) << "END HANG\n"
                          << std::flush;
                e->bridge.signal(SIGKILL);
                e->bridge.wait_exit(long_wait);
            } else {
                all_done = false;
            }
        }
        if (all_done) return;
        std::this_thread::sleep_for(2ms);
    }
}

std::string describe(const Outcome& r) {
    return r.hung ? "HUNG"
                  : "status " + std::to_string(r.status) + " in " + std::to_string(r.ms) +
                        " ms, stop " + std::to_string(r.stop_ms) + " ms";
}

struct Tally {
    int stops = 0, hangs = 0, bad_status = 0, failed_starts = 0;
    long max_ms = 0;
    std::vector<long> times;
    void add(const Outcome& r) {
        ++stops;
        if (r.hung) {
            ++hangs;
            return;
        }
        if (r.status != 0) ++bad_status;
        max_ms = std::max(max_ms, r.stop_ms);
        times.push_back(r.stop_ms);
    }
    long median() {
        if (times.empty()) return -1;
        std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
        return times[times.size() / 2];
    }
};

} // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    std::mt19937 random(static_cast<unsigned>(o.lane * 7919 + getpid()));
    std::map<std::string, Tally> tallies; // "<bridge> <mode>"
    int failed_starts = 0;
    const std::string velkin_name = "sv" + std::to_string(o.lane);
    const std::string dornel_name = "sd" + std::to_string(o.lane);
    SeqPeer rx("stress_rx" + std::to_string(o.lane));

    for (int stop = 0; stop < o.stops; ++stop) {
        const std::string mode = o.modes[stop % o.modes.size()];
        const std::string where =
            "lane " + std::to_string(o.lane) + " stop " + std::to_string(stop) + " " + mode;
        const std::string server_name =
            "stress_" + std::to_string(o.lane) + "_" + std::to_string(getpid());
        const int dornel_signal = stop % 2 ? SIGINT : SIGTERM;
        try {
            JackServer server(server_name);
            std::map<std::string, std::string> env = server.client_env();
            BridgeProcess d = start_bridge(
                {o.dornel, dornel_name}, dornel_name, rx, [] { return 0; }, env);
            rx.connect_from(d.port);
            std::map<std::string, std::string> velkin_env = env;
            if (o.widen_ms > 0) {
                velkin_env["LD_PRELOAD"] = SLOW_UNMAP_LIBRARY;
                velkin_env["SLOW_UNMAP_MS"] = std::to_string(o.widen_ms);
                // The sanitizer runtime need not come first for this.
                velkin_env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
            }
            BridgeProcess v = start_bridge(
                {o.velkin, velkin_name}, velkin_name, rx,
                [&] {
                    return jack_connect_on(server_name, velkin_name + ":capture",
                                           dornel_name + ":playback")
                               ? 0
                               : 1;
                },
                velkin_env);
            wait_main_loop(v, velkin_name);
            Stream stream(v.port);
            rx.clear_received();
            if (rx.wait_events(20, long_wait).size() < 20)
                throw std::runtime_error("no stream came through both bridges");
            // The bridges meet the end at different moments of their work.
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 50));

            Ending velkin{*v.child, "velkin_bridge", {}};
            Ending dornel{*d.child, "dornel_bridge", {}};
            if (mode == "freeze") {
                Stopped hold(server.process().pid());
                velkin.from = dornel.from = Clock::now();
                v.child->signal(stop % 2 ? SIGTERM : SIGINT);
                d.child->signal(dornel_signal);
                watch({&velkin, &dornel}, o, where);
                server.stop(SIGKILL);
            } else {
                velkin.from = Clock::now();
                velkin.request_line = "JACK shutdown notification received.";
                server.process().signal(mode == "kill" ? SIGKILL : SIGTERM);
                // dornel_bridge runs on after its server; its stop signal
                // comes at a moment of the server's end that varies, while
                // the server still shuts down or after it has gone.
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
                dornel.from = Clock::now();
                d.child->signal(dornel_signal);
                watch({&velkin, &dornel}, o, where);
                server.stop();
            }
            tallies["velkin_bridge " + mode].add(velkin.outcome);
            tallies["dornel_bridge " + mode].add(dornel.outcome);
            std::cout << where << ": velkin_bridge " << describe(velkin.outcome)
                      << ", dornel_bridge " << describe(dornel.outcome) << "\n"
                      << std::flush;
        } catch (const std::exception& e) {
            // A start that failed is no stop: say so, count it, go on.
            ++failed_starts;
            std::cout << where << ": not started: " << e.what() << "\n" << std::flush;
        }
    }

    for (auto& [what, t] : tallies)
        std::cout << "SUMMARY lane " << o.lane << " " << what << " stops " << t.stops << " hangs "
                  << t.hangs << " nonzero " << t.bad_status << " median_stop_ms " << t.median()
                  << " max_stop_ms " << t.max_ms << "\n";
    std::cout << "SUMMARY lane " << o.lane << " failed_starts " << failed_starts << "\n";
    return 0;
}
