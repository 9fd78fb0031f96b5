// Both bridges when things go wrong around them: the JACK server dies in the
// middle of a stream, a stop signal comes in a flood, the sending client
// vanishes, and floods far beyond what they hold go on for a minute.
#include "bridge_process.h"
#include "harness.h"
#include "jack_peer.h"
#include "seq_peer.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

using namespace e2e;
using peers::JackOutgoing;
using peers::JackPeer;
using peers::SeqAddress;
using peers::SeqEvent;
using peers::SeqPeer;
using Bytes = std::vector<unsigned char>;

namespace {

// Numbered system-exclusive messages of 10 bytes: F0 7D, the number in five
// 7-bit bytes, two check bytes, F7. A message that was cut, joined or altered
// on its way does not read back.
Bytes numbered_message(long number) {
    Bytes m{0xf0, 0x7d};
    for (int i = 0; i < 5; ++i)
        m.push_back(static_cast<unsigned char>(number >> (7 * i) & 0x7f));
    m.push_back(static_cast<unsigned char>((m[2] + m[3] + m[4] + m[5] + m[6]) * 31 & 0x7f));
    m.push_back(static_cast<unsigned char>((m[2] ^ m[4] ^ m[6] ^ 0x55) & 0x7f));
    m.push_back(0xf7);
    return m;
}

// The number of a message made by numbered_message, or -1.
long number_of(const Bytes& m) {
    if (m.size() != 10 || m[0] != 0xf0 || m[1] != 0x7d || m[9] != 0xf7) return -1;
    long number = 0;
    for (int i = 0; i < 5; ++i)
        number |= static_cast<long>(m[2 + i]) << (7 * i);
    return numbered_message(number) == m ? number : -1;
}

// Whether every message of `received` is a numbered message that was sent
// (numbers 0 to sent - 1), each once, in the order sent.
::testing::AssertionResult in_order_part_of_sent(const std::vector<Bytes>& received, long sent) {
    long last = -1;
    for (std::size_t i = 0; i < received.size(); ++i) {
        long number = number_of(received[i]);
        if (number < 0 || number >= sent)
            return ::testing::AssertionFailure()
                   << "message " << i << " of " << received.size() << " was not sent whole";
        if (number <= last)
            return ::testing::AssertionFailure()
                   << "message " << i << " (" << number << ") came after " << last;
        last = number;
    }
    return ::testing::AssertionSuccess();
}

// Sends numbered messages from a thread of its own until stopped, or until the
// destination is gone.
class SeqFlood {
  public:
    // `burst` messages at a time, then a millisecond's pause: 200 makes some
    // 100,000 messages a second at most, far beyond what a bridge passes.
    SeqFlood(SeqPeer& seq, SeqAddress dest, int burst = 200)
        : thread_([this, &seq, dest, burst] {
              try {
                  for (; !stop_; ++sent_) {
                      seq.send_midi(numbered_message(sent_), dest);
                      if (sent_ % burst == burst - 1) std::this_thread::sleep_for(1ms);
                  }
              } catch (const std::exception&) {
                  // The bridge is gone: the flood ends.
              }
          }) {}
    ~SeqFlood() {
        stop();
    }
    long stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return sent_;
    }
    long sent() const {
        return sent_;
    }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<long> sent_{0};
    std::thread thread_;
};

// A flood beyond what velkin_bridge passes overflows its ring, and may
// overflow the JACK port buffer and the kernel's input pool for it: each is
// reported, and nothing else.
std::vector<std::string> velkin_lines_other_than_overflow(const std::vector<std::string>& lines) {
    std::vector<std::string> other;
    for (const auto& line : lines)
        if (line != "ringbuffer overflow!" &&
            line != "ALSA sequencer input overrun, MIDI events lost!" &&
            line.rfind("JACK port write overflow count now ", 0) != 0)
            other.push_back(line);
    return other;
}

// One period of a JACK flood: 500 numbered messages, far more than the ring
// holds (113 of them).
std::vector<JackOutgoing> flood_period(long& sent) {
    std::vector<JackOutgoing> events;
    for (int i = 0; i < 500; ++i)
        events.push_back({static_cast<jack_nframes_t>(i), numbered_message(sent++)});
    return events;
}

class Faults : public ::testing::Test {
  protected:
    SeqPeer seq{"faults_test_seq"};
};

TEST_F(Faults, VelkinStopsInOrderWhenTheJackServerEndsOrDiesMidStream) {
    for (int signal_number : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal_number));
        std::string server_name = "faults_" + std::to_string(getpid());
        JackServer server(server_name);
        std::map<std::string, std::string> env = server.client_env();
        Child monitor({"jack_midi_dump"}, env);
        BridgeProcess b = start_bridge(
            {VELKIN_BRIDGE}, "velkin_bridge", seq,
            [&] {
                return jack_connect_on(server_name, "velkin_bridge:capture", "midi-monitor:input")
                           ? 0
                           : 1;
            },
            env);
        SeqFlood flood(seq, b.port, 1);
        ASSERT_TRUE(wait_until([&] { return flood.sent() > 50; }, long_wait));
        server.stop(signal_number);
        // Where each of its threads waits, should it not end.
        EXPECT_EQ(b.child->wait_exit(long_wait), 0) << describe_threads(b.child->pid());
        flood.stop();
        auto lines = lines_among(b.child->err_lines(), {"JACK shutdown notification received."});
        EXPECT_EQ(lines.size(), 1u) << b.child->err();
        EXPECT_EQ(b.child->out(), "");
    }
}

// A bridge on the private server `server`, up and running, under the client
// name `name`.
BridgeProcess start_on_server(const std::string& program, const std::string& name,
                              const JackServer& server, SeqPeer& seq) {
    BridgeProcess b = start_bridge(
        {program, name}, name, seq, [] { return 0; }, server.client_env());
    // velkin_bridge handles stop signals before it activates its JACK client:
    // wait until it is past that, in its main loop.
    if (program == VELKIN_BRIDGE) wait_main_loop(b, name);
    return b;
}

// The bound on a stop is 2 s; this leaves room for a loaded machine.
constexpr auto stop_limit = 6s;

const std::vector<std::string> our_lines = {"JACK shutdown notification received.",
                                            "Overflow, MIDI events are coming in too fast!",
                                            "ringbuffer overflow!"};

TEST_F(Faults, BothBridgesStopWithStatusZeroWithinTheBoundWhileTheJackServerIsFrozen) {
    std::string server_name = "frozen_" + std::to_string(getpid());
    JackServer server(server_name);
    for (const std::string program : {VELKIN_BRIDGE, DORNEL_BRIDGE}) {
        for (int signal_number : {SIGINT, SIGTERM}) {
            std::string name = (program == VELKIN_BRIDGE ? "frozen_velkin_" : "frozen_dornel_") +
                               std::to_string(signal_number);
            SCOPED_TRACE(name);
            BridgeProcess b = start_on_server(program, name, server, seq);
            // A frozen server never answers the bridge's close.
            Stopped frozen(server.process().pid());
            b.child->signal(signal_number);
            EXPECT_EQ(b.child->wait_exit(stop_limit), 0) << describe_threads(b.child->pid());
            EXPECT_EQ(lines_among(b.child->err_lines(), our_lines), std::vector<std::string>{});
            EXPECT_EQ(b.child->out(), "");
        }
    }
}

TEST_F(Faults, ASecondStopSignalEndsABridgeAtOnce) {
    std::string server_name = "frozen_" + std::to_string(getpid());
    JackServer server(server_name);
    for (const std::string program : {VELKIN_BRIDGE, DORNEL_BRIDGE}) {
        for (auto [first, second] :
             {std::pair{SIGINT, SIGINT}, std::pair{SIGTERM, SIGINT}, std::pair{SIGINT, SIGTERM}}) {
            std::string name = (program == VELKIN_BRIDGE ? "second_velkin_" : "second_dornel_") +
                               std::to_string(first) + "_" + std::to_string(second);
            SCOPED_TRACE(name);
            BridgeProcess b = start_on_server(program, name, server, seq);
            Stopped frozen(server.process().pid());
            b.child->signal(first);
            // The first signal has been handled once the bridge no longer
            // catches either: it waits for its close, for at most the bound.
            ASSERT_TRUE(wait_until(
                [&] {
                    return !catches_signals(b.child->pid(), {SIGINT}) &&
                           !catches_signals(b.child->pid(), {SIGTERM});
                },
                long_wait));
            b.child->signal(second);
            // Ended by the second signal itself, not by the bound (status 0).
            EXPECT_EQ(b.child->wait_exit(long_wait), 128 + second);
        }
    }
}

TEST_F(Faults, VelkinEndsWithinTheBoundWhenTheJackLibraryHangsInItsClose) {
    if (on_pipewire()) GTEST_SKIP() << "a race of jackd2's library";
    // As jackd shuts down, it tells its clients that its own clients are
    // gone; JACK2's library drops their futexes under a lock, on its
    // notification thread, which jack_client_close cancels at any point and
    // then waits for that lock. libslow_unmap makes the drop take 1.5 s, so
    // that the bridge's close always meets the lock held, and never returns.
    std::string server_name = "deadlock_" + std::to_string(getpid());
    JackServer server(server_name);
    std::map<std::string, std::string> env = server.client_env();
    env["LD_PRELOAD"] = SLOW_UNMAP_LIBRARY;
    env["SLOW_UNMAP_MS"] = "1500";
    env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    BridgeProcess b = start_bridge(
        {VELKIN_BRIDGE, "deadlock_velkin"}, "deadlock_velkin", seq, [] { return 0; }, env);
    wait_main_loop(b, "deadlock_velkin");
    SeqFlood flood(seq, b.port, 1);
    ASSERT_TRUE(wait_until([&] { return flood.sent() > 50; }, long_wait));
    server.process().signal(SIGTERM);
    ASSERT_TRUE(wait_until(
        [&] {
            return !b.child->running() ||
                   b.child->err().find("JACK shutdown notification received.") != std::string::npos;
        },
        long_wait));
    EXPECT_EQ(b.child->wait_exit(stop_limit), 0) << describe_threads(b.child->pid());
    flood.stop();
    EXPECT_EQ(lines_among(b.child->err_lines(), our_lines),
              std::vector<std::string>{"JACK shutdown notification received."});
}

TEST_F(Faults, DornelKeepsRunningWhenTheJackServerDiesMidStream) {
    std::string server_name = "faults_" + std::to_string(getpid());
    JackServer server(server_name);
    std::map<std::string, std::string> env = server.client_env();
    Child feeder({"jack_midiseq", "feeder", "2400", "0", "60", "1200"}, env);
    BridgeProcess b = start_bridge(
        {DORNEL_BRIDGE}, "dornel_bridge", seq,
        [&] {
            return jack_connect_on(server_name, "feeder:out", "dornel_bridge:playback") ? 0 : 1;
        },
        env);
    seq.connect_from(b.port);
    ASSERT_GE(seq.wait_events(20, long_wait).size(), 20u) << "the stream did not come through";
    server.stop(SIGKILL);
    EXPECT_FALSE(wait_until([&] { return !b.child->running(); }, 2s))
        << "it stopped with the server";
    b.child->signal(SIGTERM);
    EXPECT_EQ(b.child->wait_exit(long_wait), 0);
    // The JACK library says that the server went away; the bridge says nothing.
    EXPECT_EQ(lines_among(b.child->err_lines(), {"Overflow, MIDI events are coming in too fast!",
                                                 "JACK shutdown notification received."}),
              std::vector<std::string>{});
    EXPECT_EQ(b.child->out(), "");
}

TEST_F(Faults, VelkinStopsOnSigintAndSigtermInAFlood) {
    JackPeer jack("faults_test_jack");
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal_number));
        BridgeProcess b = start_velkin(seq, jack, {VELKIN_BRIDGE});
        SeqFlood flood(seq, b.port);
        ASSERT_TRUE(wait_until([&] { return flood.sent() > 2000; }, long_wait));
        b.child->signal(signal_number);
        EXPECT_EQ(b.child->wait_exit(long_wait), 0);
        flood.stop();
        EXPECT_EQ(velkin_lines_other_than_overflow(b.child->err_lines()),
                  std::vector<std::string>{});
        EXPECT_EQ(b.child->out(), "");
    }
}

TEST_F(Faults, DornelStopsOnSigintAndSigtermInAFlood) {
    JackPeer jack("faults_test_jack");
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal_number));
        BridgeProcess b = start_dornel(seq, jack, {DORNEL_BRIDGE});
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            for (long sent = 0; !stop;)
                jack.send_in_one_period(flood_period(sent), long_wait);
        });
        EXPECT_TRUE(wait_until([&] { return !b.child->err_lines().empty(); }, long_wait))
            << "no overflow reported";
        b.child->signal(signal_number);
        EXPECT_EQ(b.child->wait_exit(long_wait), 0);
        stop = true;
        flood.join();
        auto lines = b.child->err_lines();
        EXPECT_EQ(lines, std::vector<std::string>(lines.size(),
                                                  "Overflow, MIDI events are coming in too fast!"));
        EXPECT_EQ(b.child->out(), "");
        seq.clear_received();
    }
}

TEST_F(Faults, BridgesGoOnWhenTheirSenderVanishesMidStream) {
    JackPeer jack("faults_test_jack");
    {
        SCOPED_TRACE("velkin_bridge, aplaymidi killed");
        BridgeProcess b = start_velkin(seq, jack, {VELKIN_BRIDGE});
        Child player({"aplaymidi", "-p", "velkin_bridge:0", DEMO_TUNE});
        ASSERT_GE(jack.wait_events(3, long_wait).size(), 3u);
        player.signal(SIGKILL);
        player.wait_exit(long_wait);
        jack.clear_received();
        seq.send_midi({0x9f, 1, 2}, b.port);
        ASSERT_TRUE(wait_until(
            [&] {
                for (const auto& e : jack.received())
                    if (e.bytes == Bytes{0x9f, 1, 2}) return true;
                return false;
            },
            long_wait));
        stop_quietly(*b.child);
    }
    {
        SCOPED_TRACE("dornel_bridge, jack_midiseq killed");
        BridgeProcess b = start_dornel(seq, jack, {DORNEL_BRIDGE});
        Child feeder({"jack_midiseq", "feeder", "2400", "0", "60", "1200"});
        ASSERT_TRUE(wait_until(
            [&] {
                return jack_connect(jack.client(), "feeder:out", "dornel_bridge:playback") == 0;
            },
            long_wait));
        ASSERT_GE(seq.wait_events(4, long_wait).size(), 4u);
        feeder.signal(SIGKILL);
        feeder.wait_exit(long_wait);
        seq.clear_received();
        jack.send_in_one_period({{0, {0x9e, 3, 4}}}, long_wait);
        ASSERT_TRUE(wait_until(
            [&] {
                seq.collect_for(10ms);
                for (const auto& e : seq.received())
                    if (e.type == SND_SEQ_EVENT_NOTEON && e.raw.data.note.channel == 14 &&
                        e.raw.data.note.note == 3 && e.raw.data.note.velocity == 4)
                        return true;
                return false;
            },
            long_wait));
        stop_quietly(*b.child);
    }
}

const auto flood_time = std::chrono::seconds(
    std::getenv("FLOOD_SECONDS") ? std::atoi(std::getenv("FLOOD_SECONDS")) : 60);

TEST_F(Faults, VelkinThroughAMinuteOfFloodHandsOnOnlyWhatWasSentInOrder) {
    JackPeer jack("faults_test_jack", 1 << 20);
    BridgeProcess b = start_velkin(seq, jack, {VELKIN_BRIDGE});
    SeqFlood flood(seq, b.port);
    std::this_thread::sleep_for(flood_time); // the length of the flood, not a wait for anything
    long sent = flood.stop();
    ASSERT_TRUE(wait_read_all(b));
    ASSERT_TRUE(jack.wait_periods(3, long_wait));
    std::vector<Bytes> received;
    for (const auto& e : jack.received())
        received.push_back(e.bytes);
    std::cout << "velkin_bridge flood: " << sent << " sent, " << received.size() << " came out\n";
    EXPECT_GT(received.size(), 0u);
    EXPECT_TRUE(in_order_part_of_sent(received, sent));
    EXPECT_EQ(velkin_lines_other_than_overflow(b.child->err_lines()), std::vector<std::string>{});
    b.child->signal(SIGTERM);
    EXPECT_EQ(b.child->wait_exit(long_wait), 0);
    EXPECT_EQ(b.child->out(), "");
}

TEST_F(Faults, DornelThroughAMinuteOfFloodHandsOnOnlyWhatWasSentInOrder) {
    JackPeer jack("faults_test_jack");
    BridgeProcess b = start_dornel(seq, jack, {DORNEL_BRIDGE});
    long sent = 0;
    auto end = std::chrono::steady_clock::now() + flood_time;
    while (std::chrono::steady_clock::now() < end) {
        jack.send_in_one_period(flood_period(sent), long_wait);
        seq.collect_for(1ms); // read as we go: a full input pool loses all it holds
    }
    ASSERT_TRUE(jack.wait_periods(3, long_wait));
    seq.collect_for(1s);
    std::vector<Bytes> received;
    for (const auto& e : seq.received())
        received.push_back(e.ext);
    std::cout << "dornel_bridge flood: " << sent << " sent, " << received.size() << " came out\n";
    EXPECT_GT(received.size(), 0u)
        << describe_threads(b.child->pid()) << read_file("/proc/asound/seq/clients")
        << read_file("/proc/asound/seq/queues");
    EXPECT_TRUE(in_order_part_of_sent(received, sent));
    auto lines = b.child->err_lines();
    EXPECT_GE(lines.size(), 1u);
    EXPECT_EQ(lines, std::vector<std::string>(lines.size(),
                                              "Overflow, MIDI events are coming in too fast!"));
    b.child->signal(SIGTERM);
    EXPECT_EQ(b.child->wait_exit(long_wait), 0);
    EXPECT_EQ(b.child->out(), "");
}

} // namespace
