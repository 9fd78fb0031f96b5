// Benchmark of both bridges against the real kernel sequencer and a real JACK
// server: latency at three event rates, the round trip measured by
// jack_midi_latency_test, the largest burst each passes in one period, the
// largest burst velkin_bridge passes while it is held, and CPU time idle and
// per 10,000 events. Prints tables and writes the raw latency samples (CSV)
// and a gnuplot script into the output directory.
//
//   bridges_bench <output-directory>
//
// BENCH_PERIODS (default "256 1024") chooses the JACK period sizes; bursts,
// idle CPU and the round trip use the last one. BENCH_VELKIN_BRIDGE and
// BENCH_DORNEL_BRIDGE name other builds of the bridges to measure.
#include "bridge_process.h"
#include "harness.h"
#include "seq_peer.h"
#include "stream_client.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

using namespace e2e;
using bench::StreamClient;
using peers::SeqAddress;
using peers::SeqPeer;

namespace {

constexpr int sample_rate = 48000;

struct Rate {
    int per_second;
    int events;
};
constexpr std::array rates{Rate{100, 1000}, Rate{1000, 3000}, Rate{10000, 10000}};

// One latency run: what went in, what came out, and when.
struct Run {
    std::string program;
    int period = 0;
    int rate = 0;
    std::vector<std::int64_t> latency;      // ns, one per arrived event
    std::vector<std::uint32_t> latency_tag; // the event each latency belongs to
    std::vector<std::int64_t> wake;         // ns, dornel_bridge: delivery to the listener's wake
    int first_period = 0; // velkin_bridge: events carried by the first cycle after their send
    int sent = 0;
    int lost = 0;
    int refused = 0;          // sends the sender could not make
    double cpu_ns = 0;        // the bridge's CPU time during the run
    double seconds = 0;       // wall time of the run
    double idle_ns_per_s = 0; // the bridge's CPU time per second when idle
    std::uint64_t xruns = 0;
};

struct Burst {
    std::string program;
    int size = 0;
    int passed = 0;
    int dropped = 0;
    int lines = 0; // the bridge's overflow lines about it
    bool intact = true;
    bool one_period = true;
};

// A burst sent to velkin_bridge while the bridge itself is held.
struct HeldBurst {
    int size = 0;
    int refused = 0;  // by the kernel, to the sender: the bridge's input pool was full
    int passed = 0;   // came out of "capture"
    int overruns = 0; // the bridge's input overrun lines
    int ring_lines = 0;
    bool intact = true;
};

std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// CPU time of one thread so far, in nanoseconds, from its task directory.
double task_cpu_ns(const std::string& task) {
    std::istringstream in(read_file(task + "/schedstat"));
    double ns = 0;
    in >> ns;
    return ns;
}

// CPU time of all threads of a process so far, in nanoseconds.
double cpu_ns(pid_t pid) {
    double total = 0;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks))
        total += task_cpu_ns(task.path().string());
    return total;
}

double ms(std::int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

double frames(std::int64_t ns) {
    return static_cast<double>(ns) * sample_rate / 1e9;
}

void fail(const std::string& why) {
    std::cerr << "bridges_bench: " << why << "\n";
    std::exit(1);
}

void sleep_until(timespec when) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

timespec plus_ns(timespec t, std::int64_t ns) {
    std::int64_t total = t.tv_nsec + ns;
    t.tv_sec += total / 1'000'000'000;
    t.tv_nsec = total % 1'000'000'000;
    return t;
}

// Waits until `count()` stops growing for `quiet` process cycles, or reaches
// `target`.
void wait_settled(const StreamClient& stream, const std::function<std::size_t()>& count,
                  std::size_t target, int quiet) {
    std::size_t last = count();
    int still = 0;
    while (last < target && still < quiet) {
        if (!stream.wait_cycles(1)) fail("the JACK server stopped running cycles");
        std::size_t now = count();
        still = now == last ? still + 1 : 0;
        last = now;
    }
}

snd_seq_event_t note_event(std::uint32_t tag, int source_port, SeqAddress dest) {
    auto bytes = bench::tagged_note(tag);
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_noteon(&event, bytes[0] & 0x0f, bytes[1], bytes[2]);
    snd_seq_ev_set_source(&event, source_port);
    snd_seq_ev_set_dest(&event, dest.client, dest.port);
    snd_seq_ev_set_direct(&event);
    return event;
}

// Starts the account of one latency run: what it costs the bridge in CPU
// time, how long it takes and how many xruns happen meanwhile.
class RunMeter {
  public:
    RunMeter(Run& run, const char* program, const StreamClient& stream, pid_t bridge, int rate,
             int count)
        : run_(run), stream_(stream), bridge_(bridge), xruns_(stream.xruns()), cpu_(cpu_ns(bridge)),
          start_(std::chrono::steady_clock::now()) {
        run.program = program;
        run.period = static_cast<int>(stream.period());
        run.rate = rate;
        run.sent = count;
    }
    // Ends the account once everything that will arrive has arrived.
    void finish() {
        run_.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        run_.cpu_ns = cpu_ns(bridge_) - cpu_;
        run_.xruns = stream_.xruns() - xruns_;
    }

  private:
    Run& run_;
    const StreamClient& stream_;
    pid_t bridge_;
    std::uint64_t xruns_;
    double cpu_;
    std::chrono::steady_clock::time_point start_;
};

// Sends `count` tagged notes to velkin_bridge at `rate` per second and
// measures from each send to the start of the process cycle that carries it
// out, both on CLOCK_MONOTONIC. The start of a cycle is taken where the
// receiving client's cycle begins, right after the bridge's in the same cycle.
Run velkin_latency(SeqPeer& sender, StreamClient& stream, BridgeProcess& velkin, int rate,
                   int count) {
    Run run;
    std::vector<std::int64_t> sent_at(count);
    stream.clear_arrivals();
    RunMeter meter(run, "velkin_bridge", stream, velkin.child->pid(), rate, count);

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 0; i < count; ++i) {
        sleep_until(plus_ns(start, static_cast<std::int64_t>(i) * 1'000'000'000 / rate));
        snd_seq_event_t event = note_event(i, sender.address().port, velkin.port);
        sent_at[i] = bench::now_ns();
        int result = snd_seq_event_output_direct(sender.handle(), &event);
        if (result < 0) ++run.refused;
    }
    wait_settled(
        stream, [&] { return stream.arrivals().size(); }, count, 8);
    meter.finish();

    std::vector<bool> seen(count);
    for (const auto& arrival : stream.arrivals()) {
        if (arrival.tag >= static_cast<std::uint32_t>(count) || seen[arrival.tag]) continue;
        seen[arrival.tag] = true;
        run.latency.push_back(arrival.cycle_ns - sent_at[arrival.tag]);
        // No cycle began between the send and the one that carried it.
        if (arrival.previous_cycle_ns < sent_at[arrival.tag]) ++run.first_period;
        run.latency_tag.push_back(arrival.tag);
    }
    run.lost = count - static_cast<int>(run.latency.size());
    return run;
}

// Receives the notes dornel_bridge sends. The subscription stamps each with
// the real time of the listener's queue when the kernel delivers it; the
// stamps are mapped onto CLOCK_MONOTONIC. The time the listener's thread woke
// to read it is kept too.
class Listener {
  public:
    Listener(SeqPeer& seq, StreamClient& stream, SeqAddress source) : seq_(seq), stream_(stream) {
        queue_ = snd_seq_alloc_queue(seq.handle());
        if (queue_ < 0) fail("cannot allocate a sequencer queue");
        snd_seq_start_queue(seq.handle(), queue_, nullptr);
        snd_seq_drain_output(seq.handle());
        snd_seq_port_subscribe_t* subscription;
        snd_seq_port_subscribe_alloca(&subscription);
        snd_seq_addr_t from{static_cast<unsigned char>(source.client),
                            static_cast<unsigned char>(source.port)};
        snd_seq_addr_t to{static_cast<unsigned char>(seq.address().client),
                          static_cast<unsigned char>(seq.address().port)};
        snd_seq_port_subscribe_set_sender(subscription, &from);
        snd_seq_port_subscribe_set_dest(subscription, &to);
        snd_seq_port_subscribe_set_queue(subscription, queue_);
        snd_seq_port_subscribe_set_time_update(subscription, 1);
        snd_seq_port_subscribe_set_time_real(subscription, 1);
        if (snd_seq_subscribe_port(seq.handle(), subscription) < 0)
            fail("cannot subscribe to dornel_bridge with time stamps");
    }
    ~Listener() {
        stop();
    }
    void start(int count) {
        calibrate();
        arrived_at_.assign(count, 0);
        woke_at_.assign(count, 0);
        arrived_.assign(count, false);
        count_ = 0;
        order_.clear();
        stop_ = false;
        thread_ = std::thread([this] { loop(); });
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::size_t count() const {
        return count_.load();
    }
    // When each note was delivered, and when the listener woke to read it.
    const std::vector<std::int64_t>& arrived_at() const {
        return arrived_at_;
    }
    const std::vector<std::int64_t>& woke_at() const {
        return woke_at_;
    }
    const std::vector<bool>& arrived() const {
        return arrived_;
    }
    // Tags in the order they came; max_tag for anything not one of ours.
    const std::vector<std::uint32_t>& order() const {
        return order_;
    }

  private:
    static std::int64_t queue_ns(const snd_seq_real_time_t& t) {
        return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    }

    // The offset between CLOCK_MONOTONIC and the queue's real time: of
    // several readings, the one taken in the shortest time.
    void calibrate() {
        snd_seq_queue_status_t* status;
        snd_seq_queue_status_alloca(&status);
        std::int64_t best = INT64_MAX;
        for (int i = 0; i < 50; ++i) {
            std::int64_t before = bench::now_ns();
            snd_seq_get_queue_status(seq_.handle(), queue_, status);
            std::int64_t after = bench::now_ns();
            if (after - before >= best) continue;
            best = after - before;
            offset_ = before + (after - before) / 2 -
                      queue_ns(*snd_seq_queue_status_get_real_time(status));
        }
    }

    void loop() {
        std::array<pollfd, 4> fds{};
        int n = snd_seq_poll_descriptors(seq_.handle(), fds.data(), fds.size(), POLLIN);
        while (!stop_) {
            if (snd_seq_event_input_pending(seq_.handle(), 1) == 0) poll(fds.data(), n, 10);
            for (;;) {
                snd_seq_event_t* event = nullptr;
                int result = snd_seq_event_input(seq_.handle(), &event);
                if (result == -ENOSPC) continue;
                if (result < 0 || !event) break;
                std::int64_t now = bench::now_ns();
                long tag = -1;
                if (event->type == SND_SEQ_EVENT_NOTEON) {
                    std::array<unsigned char, 3> bytes{
                        static_cast<unsigned char>(0x90 | event->data.note.channel),
                        event->data.note.note, event->data.note.velocity};
                    tag = bench::tag_of(bytes.data(), bytes.size());
                }
                if (tag >= 0 && static_cast<std::size_t>(tag) < arrived_.size() && !arrived_[tag]) {
                    arrived_[tag] = true;
                    arrived_at_[tag] = offset_ + queue_ns(event->time.time);
                    woke_at_[tag] = now;
                    order_.push_back(static_cast<std::uint32_t>(tag));
                } else {
                    order_.push_back(bench::max_tag);
                }
                count_.store(order_.size());
            }
        }
    }

    SeqPeer& seq_;
    StreamClient& stream_;
    int queue_ = -1;
    std::int64_t offset_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> count_{0};
    std::vector<std::int64_t> arrived_at_;
    std::vector<std::int64_t> woke_at_;
    std::vector<bool> arrived_;
    std::vector<std::uint32_t> order_;
};

// Plays `count` tagged notes into dornel_bridge at `rate` per second and
// measures from the start of the period that carried each to its arrival.
Run dornel_latency(Listener& listener, StreamClient& stream, BridgeProcess& dornel, int rate,
                   int count) {
    Run run;
    std::vector<jack_nframes_t> offsets(count);
    for (int i = 0; i < count; ++i)
        offsets[i] = static_cast<jack_nframes_t>(static_cast<std::int64_t>(i) * sample_rate / rate);
    listener.start(count);
    RunMeter meter(run, "dornel_bridge", stream, dornel.child->pid(), rate, count);
    stream.play(offsets);
    wait_settled(
        stream, [&] { return listener.count(); }, count, 8);
    listener.stop();
    meter.finish();
    run.refused = static_cast<int>(stream.refused());

    for (int i = 0; i < count; ++i) {
        if (!listener.arrived()[i]) continue;
        run.latency.push_back(listener.arrived_at()[i] - stream.sent_cycle_ns()[i]);
        run.wake.push_back(listener.woke_at()[i] - listener.arrived_at()[i]);
        run.latency_tag.push_back(i);
    }
    run.lost = count - static_cast<int>(run.latency.size());
    return run;
}

int count_lines(Child& child, const std::string& prefix) {
    int n = 0;
    for (const auto& line : child.err_lines())
        if (line.rfind(prefix, 0) == 0) ++n;
    return n;
}

// Whether `order` is an in-order run of distinct tags below `count`, with
// nothing that is not one of ours.
bool in_order(const std::vector<std::uint32_t>& order, std::uint32_t count) {
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i] >= count) return false;
        if (i > 0 && order[i] <= order[i - 1]) return false;
    }
    return true;
}

// velkin_bridge takes a burst of `size` note-ons while the JACK server is
// held, then passes what its ring held in the next period.
Burst velkin_burst(SeqPeer& sender, StreamClient& stream, BridgeProcess& velkin, Child& server,
                   int size) {
    Burst burst;
    burst.program = "velkin_bridge";
    burst.size = size;
    int lines_before = count_lines(*velkin.child, "ringbuffer overflow!");
    int port_lines_before = count_lines(*velkin.child, "JACK port write overflow");
    stream.clear_arrivals();
    {
        Stopped hold(server.pid());
        for (int i = 0; i < size; ++i) {
            if (i % 25 == 0 && !wait_input_room(velkin))
                fail("velkin_bridge does not read its sequencer input");
            sender.send(note_event(i, sender.address().port, velkin.port), velkin.port);
        }
        if (!wait_read_all(velkin)) fail("velkin_bridge did not take the burst");
    }
    wait_settled(
        stream, [&] { return stream.arrivals().size(); }, size, 4);
    auto arrivals = stream.arrivals();
    burst.passed = static_cast<int>(arrivals.size());
    burst.lines = count_lines(*velkin.child, "ringbuffer overflow!") - lines_before;
    burst.dropped = size - burst.passed;
    std::vector<std::uint32_t> order;
    for (const auto& a : arrivals) {
        order.push_back(a.tag);
        if (a.period_start != arrivals.front().period_start) burst.one_period = false;
    }
    // The ring keeps the first records and drops the later ones.
    burst.intact = in_order(order, size) && (order.empty() || order.back() + 1 == order.size()) &&
                   count_lines(*velkin.child, "JACK port write overflow") == port_lines_before;
    return burst;
}

// velkin_bridge is held (SIGSTOP, as a loaded machine holds it) while a
// burst of `size` note-ons is sent to it as fast as the kernel takes them,
// then let go; the JACK server runs on. What the kernel's input pool for the
// bridge holds decides what survives.
HeldBurst velkin_held_burst(SeqPeer& sender, StreamClient& stream, BridgeProcess& velkin,
                            int size) {
    HeldBurst burst;
    burst.size = size;
    int overruns_before = count_lines(*velkin.child, "ALSA sequencer input overrun");
    int ring_lines_before = count_lines(*velkin.child, "ringbuffer overflow!");
    stream.clear_arrivals();
    {
        Stopped hold(velkin.child->pid());
        for (int i = 0; i < size; ++i)
            if (!sender.try_send(note_event(i, sender.address().port, velkin.port), velkin.port))
                ++burst.refused;
    }
    if (!wait_read_all(velkin)) fail("velkin_bridge did not take the burst");
    wait_settled(
        stream, [&] { return stream.arrivals().size(); }, size, 4);
    auto arrivals = stream.arrivals();
    burst.passed = static_cast<int>(arrivals.size());
    burst.overruns = count_lines(*velkin.child, "ALSA sequencer input overrun") - overruns_before;
    burst.ring_lines = count_lines(*velkin.child, "ringbuffer overflow!") - ring_lines_before;
    std::vector<std::uint32_t> order;
    for (const auto& a : arrivals)
        order.push_back(a.tag);
    burst.intact = in_order(order, size);
    return burst;
}

// The largest held burst that passes whole, searched between a burst known
// to pass (`low`) and one that does not (`high`); every burst measured on the
// way, in order.
std::vector<HeldBurst> held_bursts(int low, int high,
                                   const std::function<HeldBurst(int)>& measure) {
    std::vector<HeldBurst> results{measure(high)};
    if (results[0].passed == high) return results;
    while (high - low > 1) {
        int middle = (low + high) / 2;
        results.push_back(measure(middle));
        (results.back().passed == middle ? low : high) = middle;
    }
    return results;
}

// dornel_bridge gets a burst of `size` note-ons in one period.
Burst dornel_burst(Listener& listener, StreamClient& stream, BridgeProcess& dornel, int size) {
    Burst burst;
    burst.program = "dornel_bridge";
    burst.size = size;
    int lines_before = count_lines(*dornel.child, "Overflow, MIDI events");
    std::vector<jack_nframes_t> offsets(size);
    for (int i = 0; i < size; ++i)
        offsets[i] =
            static_cast<jack_nframes_t>(static_cast<std::int64_t>(i) * stream.period() / size);
    listener.start(size);
    stream.play(offsets);
    wait_settled(
        stream, [&] { return listener.count(); }, size, 8);
    listener.stop();
    if (stream.refused() != 0) fail("the JACK port buffer did not take the whole burst");
    burst.passed = static_cast<int>(listener.count());
    burst.dropped = size - burst.passed;
    burst.lines = count_lines(*dornel.child, "Overflow, MIDI events") - lines_before;
    burst.intact = in_order(listener.order(), size);
    for (int i = 1; i < size; ++i)
        if (stream.sent_period_starts()[i] != stream.sent_period_starts()[0])
            burst.one_period = false;
    return burst;
}

// Runs a burst of `big` (beyond what fits), then bursts from the size that
// passed in it downwards until one passes whole, then one more than that.
// The reader of dornel_bridge's ring may take a record while the process
// cycle is still writing, so a burst can pass one record more than the ring
// holds, but not always.
template <typename Measure> std::vector<Burst> bursts(int big, const Measure& measure) {
    std::vector<Burst> results{measure(big)};
    int size = results[0].passed;
    for (int tries = 0; size > 0 && tries < 10; ++tries, --size) {
        results.push_back(measure(size));
        if (results.back().dropped == 0) break;
    }
    results.push_back(measure(size + 1));
    return results;
}

// The smallest sample with at least a share `p` of the samples at or below it.
std::int64_t percentile(const std::vector<std::int64_t>& sorted, double p) {
    if (sorted.empty()) return 0;
    auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

void print_latency(const std::vector<Run>& runs) {
    std::printf(
        "\nLatency in ms (x 48 for frames at 48000 Hz). velkin_bridge: from the send by a\n"
        "sequencer client to the start of the JACK cycle that carries the event.\n"
        "dornel_bridge: from the start of the cycle that carries the event into \"playback\"\n"
        "to its delivery to a sequencer subscriber. A cycle's start is taken where the\n"
        "benchmark's JACK client begins its part of it, next to the bridge's; all on\n"
        "CLOCK_MONOTONIC.\n\n");
    std::printf("%-14s %6s %7s %6s %5s %5s %9s %7s %7s %7s %7s %5s %11s\n", "program", "period",
                "rate/s", "sent", "lost", "busy", "1st per.%", "min", "median", "p99", "max",
                "xruns", "CPU ms/10k");
    for (const auto& run : runs) {
        std::vector<std::int64_t> sorted = run.latency;
        std::sort(sorted.begin(), sorted.end());
        std::string first = "-";
        if (run.program == "velkin_bridge") {
            char text[32];
            std::snprintf(text, sizeof text, "%.2f",
                          100.0 * static_cast<double>(run.first_period) / std::max(1, run.sent));
            first = text;
        }
        double net = run.cpu_ns - run.idle_ns_per_s * run.seconds;
        int arrived = run.sent - run.lost;
        std::printf("%-14s %6d %7d %6d %5d %5d %9s %7.2f %7.2f %7.2f %7.2f %5llu %11.1f\n",
                    run.program.c_str(), run.period, run.rate, run.sent, run.lost, run.refused,
                    first.c_str(), ms(percentile(sorted, 0.0)), ms(percentile(sorted, 0.5)),
                    ms(percentile(sorted, 0.99)), ms(sorted.empty() ? 0 : sorted.back()),
                    static_cast<unsigned long long>(run.xruns),
                    arrived > 0 ? net / 1e6 * 10000.0 / arrived : 0.0);
    }
    std::printf(
        "\nlost: sent but never arrived; busy: sends the sequencer or the JACK buffer "
        "refused;\n1st per.%%: events carried by the first cycle that starts after their send; "
        "xruns: JACK\ncycles that ran late during the run; CPU ms/10k: the bridge's CPU "
        "time per 10,000\nevents, less its idle CPU over the same time. dornel_bridge's "
        "arrival is the kernel's\ndelivery to the subscriber; the subscriber's own wake "
        "after it is not counted above:\n\n");
    std::printf("%-14s %6s %7s %14s %11s %11s\n", "program", "period", "rate/s", "wake median",
                "wake p99", "wake max");
    for (const auto& run : runs) {
        if (run.wake.empty()) continue;
        std::vector<std::int64_t> sorted = run.wake;
        std::sort(sorted.begin(), sorted.end());
        std::printf("%-14s %6d %7d %14.2f %11.2f %11.2f\n", run.program.c_str(), run.period,
                    run.rate, ms(percentile(sorted, 0.5)), ms(percentile(sorted, 0.99)),
                    ms(sorted.back()));
    }
}

void write_samples(const std::string& dir, const std::vector<Run>& runs) {
    std::ofstream csv(dir + "/latency.csv");
    csv << "program,period,rate,event,latency_frames,latency_ms\n";
    std::ofstream plot(dir + "/latency.gp");
    plot << "set terminal pngcairo noenhanced size 1200,520\n"
         << "set output 'latency.png'\n"
         << "set datafile separator ','\nset multiplot layout 1,2\n"
         << "set xlabel 'latency (ms)'\nset ylabel 'share of events'\nset key bottom right\n"
         << "set grid\nset yrange [0:1]\n";
    for (const std::string program : {"velkin_bridge", "dornel_bridge"}) {
        plot << "set title '" << program
             << (program == "velkin_bridge" ? ": send to period start"
                                            : ": period start to arrival")
             << "'\nplot ";
        bool first = true;
        for (const auto& run : runs) {
            if (run.program != program) continue;
            std::string name = program + "-" + std::to_string(run.period) + "-" +
                               std::to_string(run.rate) + ".csv";
            std::vector<std::int64_t> sorted = run.latency;
            std::sort(sorted.begin(), sorted.end());
            std::ofstream series(dir + "/" + name);
            for (std::size_t i = 0; i < sorted.size(); ++i)
                series << ms(sorted[i]) << "," << static_cast<double>(i + 1) / run.sent << "\n";
            plot << (first ? "" : ", ") << "'" << name << "' using 1:2 with steps title '"
                 << run.period << " frames, " << run.rate << "/s'";
            first = false;
            for (std::size_t i = 0; i < run.latency.size(); ++i)
                csv << program << "," << run.period << "," << run.rate << "," << run.latency_tag[i]
                    << "," << frames(run.latency[i]) << "," << ms(run.latency[i]) << "\n";
        }
        plot << "\n";
    }
    plot << "unset multiplot\n";
}

void print_bursts(const std::vector<Burst>& results) {
    // A 2048-byte ring holds 2047 bytes; a note-on record takes 1 + 3 bytes
    // in velkin_bridge and 8 + 3 in dornel_bridge.
    std::printf("\nBursts of note-ons in one period. Expected capacity from the 2047 usable ring "
                "bytes:\nvelkin_bridge 2047 / (1 + 3) = %d records, dornel_bridge 2047 / (8 + 3) "
                "= %d.\n\n",
                2047 / 4, 2047 / 11);
    std::printf("%-14s %6s %7s %8s %15s %7s %11s\n", "program", "burst", "passed", "dropped",
                "overflow lines", "intact", "one period");
    for (const auto& b : results)
        std::printf("%-14s %6d %7d %8d %15d %7s %11s\n", b.program.c_str(), b.size, b.passed,
                    b.dropped, b.lines, b.intact ? "yes" : "NO", b.one_period ? "yes" : "no");
    std::printf("\nintact: what passed is the burst's first events, whole and in order "
                "(velkin_bridge)\nor an in-order subset of it, whole (dornel_bridge). "
                "velkin_bridge writes one line per\ndropped record, dornel_bridge one line "
                "per pass of its loop that saw the count grow.\n");
}

void print_held_bursts(const std::vector<HeldBurst>& results, int pool) {
    std::printf("\nBursts of note-ons sent to velkin_bridge while it is held (SIGSTOP) and the "
                "JACK\nserver runs on; its kernel input pool: %d cells. The kernel refuses what "
                "comes on\ntop of a full pool and drops all the pool holds on the bridge's "
                "next read.\n\n",
                pool);
    std::printf("%-6s %8s %7s %9s %11s %7s\n", "burst", "refused", "passed", "overruns",
                "ring lines", "intact");
    for (const auto& b : results)
        std::printf("%-6d %8d %7d %9d %11d %7s\n", b.size, b.refused, b.passed, b.overruns,
                    b.ring_lines, b.intact ? "yes" : "NO");
    int largest = 0;
    for (const auto& b : results)
        if (b.passed == b.size) largest = std::max(largest, b.size);
    std::printf("\nLargest held burst that passed whole: %d note-ons.\n", largest);
}

// Connects jack_midi_latency_test through both bridges: its "out" into
// dornel_bridge's "playback", dornel_bridge's "capture" into velkin_bridge's
// "playback" (aconnect), velkin_bridge's "capture" into its "in".
std::string round_trip(StreamClient& stream, BridgeProcess& velkin, BridgeProcess& dornel,
                       int period, const std::string& dir) {
    jack_disconnect(stream.client(), "velkin_bridge:capture", stream.in_port().c_str());
    jack_disconnect(stream.client(), stream.out_port().c_str(), "dornel_bridge:playback");
    Child aconnect({"aconnect",
                    std::to_string(dornel.port.client) + ":" + std::to_string(dornel.port.port),
                    std::to_string(velkin.port.client) + ":" + std::to_string(velkin.port.port)});
    if (aconnect.wait_exit(long_wait) != 0) fail("aconnect failed: " + aconnect.err());
    std::string samples = env_or("BENCH_ROUND_TRIPS", "1024");
    Child test({"jack_midi_latency_test", "-s", samples, "-t", "30", "dornel_bridge:playback",
                "velkin_bridge:capture"});
    auto status = test.wait_exit(std::chrono::minutes(10));
    std::string text = "\nRound trip, period " + std::to_string(period) +
                       ", with jack_midi_latency_test -s " + samples +
                       ": its \"out\" -> dornel_bridge\n-> aconnect -> velkin_bridge -> its "
                       "\"in\". What it reports:\n\n";
    std::ofstream(dir + "/round_trip.txt") << test.out() << test.err();
    // Its summary lines; the histograms stay in the file.
    std::istringstream out(test.out());
    for (std::string line; std::getline(out, line);)
        if (line.find("latency:") != std::string::npos ||
            line.find("jitter:") != std::string::npos || line.rfind("Messages", 0) == 0)
            text += "  " + line + "\n";
    if (status != 0) text += "  (exit status " + std::to_string(status.value_or(-1)) + ")\n";
    return text;
}

constexpr double idle_seconds = 10;

struct Idle {
    double total = 0; // CPU ns per second, all threads
    double main = 0;  // CPU ns per second, the main thread
};

// CPU time of a process's main thread so far, in nanoseconds.
double main_thread_cpu_ns(pid_t pid) {
    std::string id = std::to_string(pid);
    return task_cpu_ns("/proc/" + id + "/task/" + id);
}

Idle measure_idle(pid_t pid) {
    double total = cpu_ns(pid), main = main_thread_cpu_ns(pid);
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(idle_seconds));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {(cpu_ns(pid) - total) / s, (main_thread_cpu_ns(pid) - main) / s};
}

// How long a 1 ms nanosleep really takes on this machine: the floor under
// dornel_bridge's polling pause.
std::string probe_timer() {
    constexpr int samples = 2000;
    std::vector<std::int64_t> taken(samples);
    constexpr timespec pause{0, 1'000'000};
    for (auto& t : taken) {
        timespec before, after;
        clock_gettime(CLOCK_MONOTONIC, &before);
        nanosleep(&pause, nullptr);
        clock_gettime(CLOCK_MONOTONIC, &after);
        t = (after.tv_sec - before.tv_sec) * 1'000'000'000 + (after.tv_nsec - before.tv_nsec);
    }
    std::sort(taken.begin(), taken.end());
    char text[200];
    std::snprintf(text, sizeof text,
                  "\nThis machine's 1 ms nanosleep (%d samples): median %.3f ms, p99 %.3f ms, "
                  "max %.3f ms.\n",
                  samples, percentile(taken, 0.5) / 1e6, percentile(taken, 0.99) / 1e6,
                  taken.back() / 1e6);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) fail("usage: bridges_bench <output-directory>");
    std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    if (!has_sequencer()) fail("no ALSA sequencer (/dev/snd/seq): run it in the sequencer VM");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Other builds of the bridges, to compare with.
    const std::string velkin_program = env_or("BENCH_VELKIN_BRIDGE", VELKIN_BRIDGE);
    const std::string dornel_program = env_or("BENCH_DORNEL_BRIDGE", DORNEL_BRIDGE);
    std::vector<int> periods;
    std::istringstream list(env_or("BENCH_PERIODS", "256 1024"));
    for (int p; list >> p;)
        periods.push_back(p);
    if (periods.empty()) fail("BENCH_PERIODS names no period size");

    std::vector<Run> runs;
    std::vector<Burst> burst_results;
    std::vector<HeldBurst> held_results;
    int held_pool = -1;
    std::string idle_table, round_trip_text, timer_text;
    for (int period : periods) {
        bool last = period == periods.back();
        std::string name = "bench_" + std::to_string(getpid()) + "_" + std::to_string(period);
        use_jack_server(name);
        JackServer server(name, period);
        StreamClient stream("bench", 1 << 16);
        SeqPeer sender("bench_sender");
        SeqPeer listener_seq("bench_listener");
        BridgeProcess velkin = start_bridge({velkin_program}, "velkin_bridge", sender, [&] {
            return jack_connect(stream.client(), "velkin_bridge:capture", stream.in_port().c_str());
        });
        wait_main_loop(velkin, "velkin_bridge");
        BridgeProcess dornel = start_bridge({dornel_program}, "dornel_bridge", sender, [&] {
            return jack_connect(stream.client(), stream.out_port().c_str(),
                                "dornel_bridge:playback");
        });
        Listener listener(listener_seq, stream, dornel.port);
        std::fprintf(stderr, "period %d: bridges up\n", period);

        Idle velkin_idle = measure_idle(velkin.child->pid());
        Idle dornel_idle = measure_idle(dornel.child->pid());
        char line[200];
        std::snprintf(line, sizeof line, "%-14s %6d %9.3f ms/s %6.3f%% %9.3f %9.3f\n",
                      "velkin_bridge", period, velkin_idle.total / 1e6, velkin_idle.total / 1e7,
                      velkin_idle.main / 1e6, (velkin_idle.total - velkin_idle.main) / 1e6);
        idle_table += line;
        std::snprintf(line, sizeof line, "%-14s %6d %9.3f ms/s %6.3f%% %9.3f %9.3f\n",
                      "dornel_bridge", period, dornel_idle.total / 1e6, dornel_idle.total / 1e7,
                      dornel_idle.main / 1e6, (dornel_idle.total - dornel_idle.main) / 1e6);
        idle_table += line;
        if (last) timer_text = probe_timer();

        for (const Rate& rate : rates) {
            runs.push_back(velkin_latency(sender, stream, velkin, rate.per_second, rate.events));
            runs.back().idle_ns_per_s = velkin_idle.total;
            std::fprintf(stderr, "period %d: velkin_bridge at %d/s done\n", period,
                         rate.per_second);
            runs.push_back(dornel_latency(listener, stream, dornel, rate.per_second, rate.events));
            runs.back().idle_ns_per_s = dornel_idle.total;
            std::fprintf(stderr, "period %d: dornel_bridge at %d/s done\n", period,
                         rate.per_second);
        }
        if (last) {
            auto v = bursts(1000, [&](int size) {
                return velkin_burst(sender, stream, velkin, server.process(), size);
            });
            auto d =
                bursts(400, [&](int size) { return dornel_burst(listener, stream, dornel, size); });
            burst_results.insert(burst_results.end(), v.begin(), v.end());
            burst_results.insert(burst_results.end(), d.begin(), d.end());
            held_results = held_bursts(
                0, 3000, [&](int size) { return velkin_held_burst(sender, stream, velkin, size); });
            held_pool = seq_input_pool(velkin.port.client, "Pool size").value_or(-1);
            std::fprintf(stderr, "period %d: bursts done\n", period);
            round_trip_text = round_trip(stream, velkin, dornel, period, dir);
        }
        for (Child* bridge : {velkin.child.get(), dornel.child.get()}) {
            bridge->signal(SIGTERM);
            if (bridge->wait_exit(long_wait) != 0) fail("a bridge did not stop cleanly");
        }
    }
    print_latency(runs);
    std::printf("\nIdle CPU time over %.0f s, both bridges up and connected, nothing to carry;\n"
                "main: the main thread, JACK: the threads the JACK library runs (ms/s).\n\n"
                "%-14s %6s %14s %7s %9s %9s\n%s%s",
                idle_seconds, "program", "period", "CPU", "share", "main", "JACK",
                idle_table.c_str(), timer_text.c_str());
    print_bursts(burst_results);
    print_held_bursts(held_results, held_pool);
    std::fputs(round_trip_text.c_str(), stdout);
    write_samples(dir, runs);
    std::printf("\nRaw samples: %s/latency.csv; plot script: %s/latency.gp\n", dir.c_str(),
                dir.c_str());
    return 0;
}
