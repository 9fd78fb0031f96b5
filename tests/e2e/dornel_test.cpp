// dornel_bridge end to end: a real JACK server on one side, the real kernel
// sequencer on the other.
#include "bridge_process.h"
#include "harness.h"
#include "jack_peer.h"
#include "seq_peer.h"

#include <gtest/gtest.h>
#include <jack/jack.h>

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

const std::vector<std::string> our_lines = {
    "Error opening ALSA sequencer.",         "Error creating sequencer port.",
    "Error initializing ALSA MIDI encoder!", "Failed to connect to JACK server!",
    "Failed to create JACK MIDI port!",      "Failed to create ringbuffer!",
    "Failed to activate JACK client!",       "Overflow, MIDI events are coming in too fast!",
};

std::vector<std::string> dornel_with(std::vector<std::string> args) {
    args.insert(args.begin(), DORNEL_BRIDGE);
    return args;
}

Bytes sysex(std::size_t length, unsigned char fill = 0x35) {
    Bytes bytes(length, fill);
    bytes.front() = 0xf0;
    bytes.back() = 0xf7;
    return bytes;
}

// Distinct note-ons, numbered.
Bytes numbered_note(int i) {
    return {static_cast<unsigned char>(0x90 | (i % 16)), static_cast<unsigned char>(i / 16 % 128),
            static_cast<unsigned char>(1 + i % 127)};
}

Bytes note_of(const SeqEvent& e) {
    return {static_cast<unsigned char>((e.type == SND_SEQ_EVENT_NOTEON ? 0x90 : 0x80) |
                                       e.raw.data.note.channel),
            e.raw.data.note.note, e.raw.data.note.velocity};
}

class DornelBridge : public ::testing::Test {
  protected:
    SeqPeer seq{"dornel_test_seq"};
    JackPeer jack{"dornel_test_jack"};
};

TEST_F(DornelBridge, NamesItsClientsPortsAndQueueAsAnotherClientSeesThem) {
    struct Case {
        std::vector<std::string> args;
        std::string name;
    };
    for (const Case& c : {Case{{}, "dornel_bridge"}, Case{{"studio_out"}, "studio_out"},
                          Case{{"first", "second"}, "dornel_bridge"}}) {
        SCOPED_TRACE(c.name + " with " + std::to_string(c.args.size()) + " arguments");
        BridgeProcess d = start_dornel(seq, jack, dornel_with(c.args), c.name);
        EXPECT_EQ(seq.client_name(d.port.client), c.name);
        auto ports = seq.ports_of(d.port.client);
        ASSERT_EQ(ports.size(), 1u);
        EXPECT_EQ(ports[0].name, "capture");
        EXPECT_EQ(ports[0].capability, 0x21u);
        EXPECT_EQ(ports[0].type, 0x10000u);
        EXPECT_EQ(seq.queues_of(d.port.client).size(), 1u);

        jack_port_t* port = jack_port_by_name(jack.client(), (c.name + ":playback").c_str());
        ASSERT_NE(port, nullptr);
        EXPECT_STREQ(jack_port_type(port), JACK_DEFAULT_MIDI_TYPE);
        EXPECT_EQ(jack_port_flags(port), JackPortIsInput);
        const char** own = jack_get_ports(jack.client(), (c.name + ":.*").c_str(), nullptr, 0);
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(own[1], nullptr) << "more than one JACK port";
        jack_free(own);
        stop_quietly(*d.child);
    }
}

TEST_F(DornelBridge, NoteOnReachesSubscribersFromItsPortOnItsQueueAtRelativeTickZero) {
    BridgeProcess d = start_dornel(seq, jack, {DORNEL_BRIDGE});
    auto queues = seq.queues_of(d.port.client);
    ASSERT_EQ(queues.size(), 1u);

    jack.send_in_one_period({{17, {0x93, 60, 100}}}, long_wait);
    const auto& events = seq.wait_events(1, long_wait);
    ASSERT_EQ(events.size(), 1u);
    const SeqEvent& e = events[0];
    EXPECT_EQ(e.type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(e.source, d.port);
    EXPECT_EQ(e.dest, seq.address());
    EXPECT_EQ(e.queue, static_cast<unsigned>(queues[0]));
    // Sent at relative tick 0; the kernel delivers it stamped with the
    // queue's tick at that moment, which stays 0: the queue's start request
    // waits in the output buffer, which the bridge never drains.
    EXPECT_EQ(e.flags & SND_SEQ_TIME_STAMP_MASK, SND_SEQ_TIME_STAMP_TICK);
    EXPECT_EQ(e.time.tick, 0u);
    EXPECT_EQ(e.tag, 0u);
    EXPECT_EQ(e.raw.data.note.channel, 3);
    EXPECT_EQ(e.raw.data.note.note, 60);
    EXPECT_EQ(e.raw.data.note.velocity, 100);
    stop_quietly(*d.child);
}

TEST_F(DornelBridge, KeepsTheOrderOfEventsWithinAndAcrossPeriods) {
    BridgeProcess d = start_dornel(seq, jack, {DORNEL_BRIDGE});
    std::vector<Bytes> sent;
    for (int period = 0; period < 4; ++period) {
        std::vector<JackOutgoing> events;
        for (int i = 0; i < 20; ++i) {
            sent.push_back(numbered_note(period * 20 + i));
            events.push_back({static_cast<jack_nframes_t>(i * 50), sent.back()});
        }
        jack.send_in_one_period(events, long_wait);
    }
    const auto& events = seq.wait_events(sent.size(), long_wait);
    ASSERT_EQ(events.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(note_of(events[i]), sent[i]) << "event " << i;
    stop_quietly(*d.child);
}

TEST_F(DornelBridge, SendsOnlyWhatOneJackEventStartsWithUpTo1024Bytes) {
    BridgeProcess d = start_dornel(seq, jack, {DORNEL_BRIDGE});
    const Bytes marker{0xc2, 9};
    // Each in a period of its own, the next one once the bridge has sent what
    // it will send, so the ring has room for each. A marker follows those
    // that send nothing.
    const std::vector<std::pair<Bytes, bool>> cases = {
        {{}, false},                          // 0 bytes: nothing
        {{0x90, 60, 100, 0x80, 60, 0}, true}, // two messages: the first
        {sysex(1024), true},                  // the longest sent on
        {sysex(1025, 0x44), false},           // longer: dropped whole
        {sysex(2000, 0x55), false},           // about what the ring holds
        {{0x80, 60, 0}, true},                // and the bridge goes on
    };
    std::size_t expected = 0;
    for (const auto& [bytes, sends] : cases) {
        jack.send_in_one_period({{0, bytes}}, long_wait);
        if (!sends) jack.send_in_one_period({{0, marker}}, long_wait);
        expected += 1;
        ASSERT_EQ(seq.wait_events(expected, long_wait).size(), expected);
    }
    const auto& events = seq.collect_for(200ms);
    ASSERT_EQ(events.size(), cases.size());
    auto is_marker = [&](const SeqEvent& e) {
        return e.type == SND_SEQ_EVENT_PGMCHANGE && e.raw.data.control.channel == 2 &&
               e.raw.data.control.value == 9;
    };
    EXPECT_TRUE(is_marker(events[0]));
    EXPECT_EQ(events[1].type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(note_of(events[1]), (Bytes{0x90, 60, 100}));
    EXPECT_EQ(events[2].type, SND_SEQ_EVENT_SYSEX);
    EXPECT_EQ(events[2].ext, sysex(1024));
    EXPECT_TRUE(is_marker(events[3]));
    EXPECT_TRUE(is_marker(events[4]));
    EXPECT_EQ(events[5].type, SND_SEQ_EVENT_NOTEOFF);
    stop_quietly(*d.child);
}

TEST_F(DornelBridge, APeriodBeyondTheRingDropsEventsReportsThemAndCorruptsNone) {
    BridgeProcess d = start_dornel(seq, jack, {DORNEL_BRIDGE});
    // A note-on is an 11-byte record: the 2047 bytes of the ring hold 186.
    constexpr int burst = 1000;
    std::vector<JackOutgoing> events;
    for (int i = 0; i < burst; ++i)
        events.push_back({static_cast<jack_nframes_t>(i), numbered_note(i)});
    jack.send_in_one_period(events, long_wait);

    ASSERT_TRUE(wait_until([&] { return !d.child->err_lines().empty(); }, long_wait));
    seq.wait_events(186, long_wait);
    const auto& received = seq.collect_for(1s);
    EXPECT_GE(received.size(), 186u);
    EXPECT_LT(received.size(), static_cast<std::size_t>(burst));
    // What arrives is a part of what was sent, in order, every event whole.
    int next = 0;
    for (const SeqEvent& e : received) {
        ASSERT_EQ(e.type, SND_SEQ_EVENT_NOTEON);
        while (next < burst && numbered_note(next) != note_of(e))
            ++next;
        ASSERT_LT(next, burst) << "an event that was not sent, or out of order";
        ++next;
    }
    auto lines = d.child->err_lines();
    EXPECT_GE(lines.size(), 1u);
    EXPECT_EQ(lines, std::vector<std::string>(lines.size(),
                                              "Overflow, MIDI events are coming in too fast!"));

    // The bridge goes on.
    seq.clear_received();
    jack.send_in_one_period({{0, {0x91, 2, 3}}}, long_wait);
    ASSERT_EQ(seq.wait_events(1, long_wait).size(), 1u);
    EXPECT_EQ(note_of(seq.received()[0]), (Bytes{0x91, 2, 3}));

    d.child->signal(SIGTERM);
    EXPECT_EQ(d.child->wait_exit(long_wait), 0);
    EXPECT_EQ(d.child->out(), "");
}

TEST_F(DornelBridge, StopsOnSigintAndSigtermPromptlyAlsoDuringAStream) {
    for (bool streaming : {false, true}) {
        for (int signal_number : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(std::string(strsignal(signal_number)) +
                         (streaming ? " during a stream" : " while idle"));
            BridgeProcess d = start_dornel(seq, jack, {DORNEL_BRIDGE});
            std::atomic<bool> stop{false};
            std::thread stream([&] {
                for (int i = 0; streaming && !stop; ++i)
                    jack.send_in_one_period(
                        {{0, numbered_note(i % 2000)}, {100, numbered_note((i + 1) % 2000)}},
                        long_wait);
            });
            if (streaming) seq.wait_events(10, long_wait);
            d.child->signal(signal_number);
            EXPECT_EQ(d.child->wait_exit(long_wait), 0);
            stop = true;
            stream.join();
            EXPECT_EQ(d.child->err(), "");
            EXPECT_EQ(d.child->out(), "");
            seq.clear_received();
        }
    }
}

TEST_F(DornelBridge, KeepsRunningWhenTheJackServerStopsUntilASignal) {
    std::string server_name = "dornel_shutdown_" + std::to_string(getpid());
    JackServer server(server_name);
    Child bridge({DORNEL_BRIDGE, "dornel_shutdown"}, server.client_env());
    // A note every half second into the bridge, also while the server stops.
    Child sequencer({"jack_midiseq", "feeder", "24000", "0", "60", "12000"}, server.client_env());
    // The connection succeeds once the bridge's client is active.
    ASSERT_TRUE(wait_until(
        [&] {
            return !bridge.running() ||
                   (jack_connect_on(server_name, "feeder:out", "dornel_shutdown:playback") &&
                    catches_signals(bridge.pid(), {SIGINT, SIGTERM}));
        },
        long_wait));
    ASSERT_TRUE(bridge.running()) << bridge.err();

    server.stop();
    EXPECT_FALSE(wait_until([&] { return !bridge.running(); }, 2s)) << "it stopped with the server";
    bridge.signal(SIGTERM);
    EXPECT_EQ(bridge.wait_exit(long_wait), 0);
    EXPECT_EQ(lines_among(bridge.err_lines(), our_lines), std::vector<std::string>{});
    EXPECT_EQ(bridge.out(), "");
}

TEST(DornelBridgeSetup, FailsWithItsLineAndStatusOneWithoutSequencerOrJackServer) {
    expect_setup_failure(without_sequencer({DORNEL_BRIDGE}), {}, "Error opening ALSA sequencer.",
                         our_lines);
    expect_setup_failure({DORNEL_BRIDGE}, no_jack_server_env(), "Failed to connect to JACK server!",
                         our_lines);
}

} // namespace
