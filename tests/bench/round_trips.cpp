// The round trip a user measures first, side by side with what else a Linux
// machine offers: jack_midi_latency_test's "out" back to its "in" through
//
//   bridges on jackd2     dornel_bridge, the sequencer, velkin_bridge
//   jackd2 raw MIDI       jackd's own raw MIDI driver (-X alsarawmidi) out to
//                         a virtual raw MIDI device, through the sequencer to
//                         another, and back in: what jackd2 users run instead
//   bridges on PipeWire   both bridges on PipeWire's JACK
//
// at each JACK period of BENCH_PERIODS (default "256 1024"), in one boot of
// the sequencer VM, with the kernel's virtual MIDI card loaded. Prints a
// table with the ratio of each to the bridges on jackd2, and writes each
// run's latency distribution (jack_midi_latency_test's 0.1 ms plot) to
// round_trips.csv and a gnuplot script for round_trips.png.
//
//   round_trip_bench <output-directory>
//
// BENCH_ROUND_TRIPS: messages per run (default 1024).
#include "bridge_process.h"
#include "harness.h"
#include "seq_peer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

using namespace e2e;
using peers::SeqAddress;
using peers::SeqPeer;

namespace {

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "round_trip_bench: " << message << "\n";
    std::exit(1);
}

std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

struct Result {
    std::string path;
    int period = 0;
    bool measured = false;
    double average_ms = 0, lowest_ms = 0, highest_ms = 0, peak_jitter_ms = 0, average_jitter_ms = 0;
    int sent = 0, received = 0;
    std::vector<std::pair<double, int>> plot; // lower bound of each 0.1 ms bin, messages
    std::string problem;
};

// The figure behind `label` in jack_midi_latency_test's report, in ms.
double figure(const std::string& report, const std::string& label) {
    auto at = report.find(label);
    return at == std::string::npos ? 0 : std::atof(report.c_str() + at + label.size());
}

// Runs jack_midi_latency_test from `out` back to `in`, as a client of the
// server that `env` names.
Result latency_test(const std::string& path, int period, const std::string& out,
                    const std::string& in, const std::map<std::string, std::string>& env,
                    const std::string& dir) {
    Result r;
    r.path = path;
    r.period = period;
    std::string samples = env_or("BENCH_ROUND_TRIPS", "1024");
    Child test({"jack_midi_latency_test", "-s", samples, "-t", "30", out, in}, env);
    auto status = test.wait_exit(std::chrono::minutes(15));
    std::string report = test.out();
    std::string file = path;
    for (char& c : file)
        if (c == ' ') c = '_';
    std::ofstream(dir + "/round_trip_" + file + "_" + std::to_string(period) + ".txt")
        << report << test.err();
    r.sent = static_cast<int>(figure(report, "Messages sent: "));
    r.received = static_cast<int>(figure(report, "Messages received: "));
    r.measured = status == 0 && report.find("Average latency: ") != std::string::npos;
    if (!r.measured) {
        // jack_midi_latency_test gives up on the first message that does
        // not come back, as one lost in an xrun does.
        r.problem = "no figures (exit status " + std::to_string(status.value_or(-1)) + ", " +
                    std::to_string(static_cast<int>(figure(report, "Xruns: "))) + " xruns)";
        return r;
    }
    r.average_ms = figure(report, "Average latency: ");
    r.lowest_ms = figure(report, "Lowest latency: ");
    r.highest_ms = figure(report, "Highest latency: ");
    r.peak_jitter_ms = figure(report, "Peak MIDI jitter: ");
    r.average_jitter_ms = figure(report, "Average MIDI jitter: ");
    std::istringstream lines(report.substr(report.find("Latency Plot:")));
    for (std::string line; std::getline(lines, line);) {
        double low, high;
        int count;
        if (std::sscanf(line.c_str(), "%lf - %lf ms: %d", &low, &high, &count) == 3)
            r.plot.emplace_back(low, count);
    }
    return r;
}

std::string address(SeqAddress a) {
    return std::to_string(a.client) + ":" + std::to_string(a.port);
}

void aconnect(SeqAddress from, SeqAddress to) {
    Child connect({"aconnect", address(from), address(to)});
    if (connect.wait_exit(long_wait) != 0) fail("aconnect failed: " + connect.err());
}

// dornel_bridge's "capture" into velkin_bridge's "playback" on the
// sequencer; the test's "out" into dornel_bridge, velkin_bridge into its
// "in".
Result through_the_bridges(const std::string& path, int period, bool pipewire, SeqPeer& seq,
                           const std::string& dir) {
    std::string name = "round_trip_" + std::to_string(getpid()) + "_" + std::to_string(period);
    JackServer server(name, period, {pipewire});
    auto env = server.client_env();
    BridgeProcess dornel = start_bridge(
        {DORNEL_BRIDGE, "rt_dornel"}, "rt_dornel", seq, [] { return 0; }, env);
    BridgeProcess velkin = start_bridge(
        {VELKIN_BRIDGE, "rt_velkin"}, "rt_velkin", seq, [] { return 0; }, env);
    wait_main_loop(velkin, "rt_velkin");
    aconnect(dornel.port, velkin.port);
    Result r = latency_test(path, period, "rt_dornel:playback", "rt_velkin:capture", env, dir);
    for (Child* bridge : {velkin.child.get(), dornel.child.get()}) {
        bridge->signal(SIGTERM);
        if (bridge->wait_exit(long_wait) != 0) r.problem += " a bridge did not stop cleanly";
    }
    return r;
}

// The JACK port whose alias `jack_lsp -A` shows as `alias`.
std::string port_with_alias(const std::map<std::string, std::string>& env,
                            const std::string& alias) {
    Child lsp({"jack_lsp", "-A"}, env);
    lsp.wait_exit(long_wait);
    std::istringstream lines(lsp.out());
    std::string port;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != ' ')
            port = line;
        else if (line.find(alias) != std::string::npos)
            return port;
    }
    fail("no JACK port has the alias \"" + alias + "\"");
}

// jackd's raw MIDI driver opens every virtual raw MIDI device; the test's
// "out" goes to the first device, whose sequencer port is connected to the
// second device's, and comes back in from the second.
Result through_the_raw_midi_driver(int period, SeqPeer& seq, const std::string& dir) {
    auto first = seq.find_client("Virtual Raw MIDI 0-0");
    auto second = seq.find_client("Virtual Raw MIDI 0-1");
    if (!first || !second) fail("no virtual raw MIDI card 0: load snd-virmidi");
    aconnect({*first, 0}, {*second, 0});
    std::string name = "raw_midi_" + std::to_string(getpid()) + "_" + std::to_string(period);
    // No sound card to reserve through D-Bus: the dummy driver has none.
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    JackServer server(name, period, {false, {"-X", "alsarawmidi"}});
    auto env = server.client_env();
    // The driver names its ports after the card and device, counted from 1.
    Result r =
        latency_test("jackd2 raw MIDI", period, port_with_alias(env, "1-1 Virtual Raw MIDI 1 out"),
                     port_with_alias(env, "1-2 Virtual Raw MIDI 1 in"), env, dir);
    Child disconnect({"aconnect", "-d", address({*first, 0}), address({*second, 0})});
    disconnect.wait_exit(long_wait);
    return r;
}

void print(const std::vector<Result>& results) {
    std::printf("\nRound trip with jack_midi_latency_test (%s messages a run), ms; ratio: the "
                "average\nto that of the bridges on jackd2 at the same period.\n\n",
                env_or("BENCH_ROUND_TRIPS", "1024").c_str());
    std::printf("%-20s %6s %8s %8s %8s %11s %11s %5s %6s\n", "path", "period", "average", "lowest",
                "highest", "peak jitter", "avg. jitter", "lost", "ratio");
    for (const Result& r : results) {
        double ours = 0;
        for (const Result& o : results)
            if (o.period == r.period && o.path == "bridges on jackd2" && o.measured)
                ours = o.average_ms;
        if (!r.measured) {
            std::printf("%-20s %6d %s %s\n", r.path.c_str(), r.period, r.problem.c_str(),
                        ("(sent " + std::to_string(r.sent) + ", received " +
                         std::to_string(r.received) + ")")
                            .c_str());
            continue;
        }
        std::printf("%-20s %6d %8.2f %8.2f %8.2f %11.2f %11.2f %5d %6.2f%s\n", r.path.c_str(),
                    r.period, r.average_ms, r.lowest_ms, r.highest_ms, r.peak_jitter_ms,
                    r.average_jitter_ms, r.sent - r.received, ours > 0 ? r.average_ms / ours : 0,
                    r.problem.c_str());
    }
    std::printf("\nWhat the others do that the bridges do not: jackd2's raw MIDI driver carries a\n"
                "system-exclusive message of any length (velkin_bridge drops those over 15 bytes,\n"
                "dornel_bridge those over 1024) and keeps each message's time within the period\n"
                "(velkin_bridge puts every message at the period's first frame, dornel_bridge\n"
                "sends each about a millisecond after its period, whatever its frame). It needs\n"
                "a raw MIDI device: it cannot reach sequencer clients such as programs. The\n"
                "bridges on PipeWire do what they do on jackd2.\n");
}

void write_plot(const std::string& dir, const std::vector<Result>& results) {
    std::ofstream csv(dir + "/round_trips.csv");
    csv << "path,period,latency_ms,messages\n";
    for (const Result& r : results)
        for (const auto& [low, count] : r.plot)
            csv << r.path << "," << r.period << "," << low << "," << count << "\n";
    // One panel per period: each path's share of messages at or below a
    // latency.
    std::ofstream plot(dir + "/round_trips.gp");
    // Periods with something to draw: gnuplot takes no empty plot.
    std::vector<int> periods;
    for (const Result& r : results)
        if (!r.plot.empty() && std::find(periods.begin(), periods.end(), r.period) == periods.end())
            periods.push_back(r.period);
    plot << "set terminal pngcairo size 1100," << 420 * periods.size()
         << "\nset output 'round_trips.png'\nset datafile separator ','\n"
            "set multiplot layout "
         << periods.size()
         << ",1\nset xlabel 'round-trip latency, ms'\nset ylabel 'share of messages'\n"
            "set key bottom right\nset grid\n";
    for (int period : periods) {
        plot << "set title 'jack_midi_latency_test round trip, period " << period
             << " frames at 48000 Hz'\nplot ";
        bool first = true;
        for (const Result& r : results) {
            if (r.period != period || r.plot.empty()) continue;
            std::string file = r.path;
            for (char& c : file)
                if (c == ' ') c = '_';
            std::string data = "round_trip_" + file + "_" + std::to_string(period) + ".dat";
            std::ofstream points(dir + "/" + data);
            int total = 0, seen = 0;
            for (const auto& bin : r.plot)
                total += bin.second;
            for (const auto& [low, count] : r.plot) {
                seen += count;
                points << low + 0.1 << " " << static_cast<double>(seen) / total << "\n";
            }
            plot << (first ? "" : ", ") << "'" << data << "' using 1:2 with steps lw 2 title '"
                 << r.path << "'";
            first = false;
        }
        plot << "\n";
    }
    plot << "unset multiplot\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) fail("usage: round_trip_bench <output-directory>");
    std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    if (!has_sequencer()) fail("no ALSA sequencer (/dev/snd/seq): run it in the sequencer VM");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    SeqPeer seq("round_trip_seq");
    std::vector<Result> results;
    std::istringstream list(env_or("BENCH_PERIODS", "256 1024"));
    for (int period; list >> period;) {
        results.push_back(through_the_bridges("bridges on jackd2", period, false, seq, dir));
        std::cerr << "period " << period << ": bridges on jackd2 done\n";
        results.push_back(through_the_raw_midi_driver(period, seq, dir));
        std::cerr << "period " << period << ": jackd2 raw MIDI done\n";
        results.push_back(through_the_bridges("bridges on PipeWire", period, true, seq, dir));
        std::cerr << "period " << period << ": bridges on PipeWire done\n";
    }
    print(results);
    write_plot(dir, results);
    std::printf("\nPlot script: %s/round_trips.gp (round_trips.png)\n", dir.c_str());
    return 0;
}
