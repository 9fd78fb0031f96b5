// velkin_bridge end to end: the real kernel sequencer on one side, a real
// JACK server on the other.
#include "bridge_process.h"
#include "harness.h"
#include "jack_peer.h"
#include "seq_peer.h"

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <csignal>
#include <numeric>

using namespace e2e;
using peers::JackEvent;
using peers::JackPeer;
using peers::SeqAddress;
using peers::SeqPeer;
using Bytes = std::vector<unsigned char>;

namespace {

const std::vector<std::string> our_lines = {
    "Error opening ALSA sequencer.",
    "Error creating sequencer port.",
    "Error initializing ALSA MIDI decoder!",
    "Failed to create ringbuffer!",
    "Failed to connect to JACK server!",
    "Failed to create JACK MIDI port!",
    "Failed to activate JACK client!",
    "JACK shutdown notification received.",
    "ringbuffer overflow!",
    "???? short read from ringbuffer!",
    "ALSA sequencer input overrun, MIDI events lost!",
};

std::vector<std::string> velkin_with(std::vector<std::string> args) {
    args.insert(args.begin(), VELKIN_BRIDGE);
    return args;
}

class VelkinBridge : public ::testing::Test {
  protected:
    SeqPeer seq{"velkin_test_seq"};
    JackPeer jack{"velkin_test_jack"};
};

TEST_F(VelkinBridge, NamesItsClientsAndPortsAsAnotherClientSeesThem) {
    struct Case {
        std::vector<std::string> args;
        std::string name;
    };
    for (const Case& c :
         {Case{{}, "velkin_bridge"}, Case{{"studio_in"}, "studio_in"},
          Case{{"first", "second"}, "velkin_bridge"}, Case{{"a", "b", "c"}, "velkin_bridge"}}) {
        SCOPED_TRACE(c.name + " with " + std::to_string(c.args.size()) + " arguments");
        BridgeProcess v = start_velkin(seq, jack, velkin_with(c.args), c.name);
        EXPECT_EQ(seq.client_name(v.port.client), c.name);
        auto ports = seq.ports_of(v.port.client);
        ASSERT_EQ(ports.size(), 1u);
        EXPECT_EQ(ports[0].name, "playback");
        EXPECT_EQ(ports[0].capability, 0x42u);
        EXPECT_EQ(ports[0].type, 0x10000u);
        EXPECT_TRUE(seq.queues_of(v.port.client).empty());

        jack_port_t* port = jack_port_by_name(jack.client(), (c.name + ":capture").c_str());
        ASSERT_NE(port, nullptr);
        EXPECT_STREQ(jack_port_type(port), JACK_DEFAULT_MIDI_TYPE);
        EXPECT_EQ(jack_port_flags(port), JackPortIsOutput);
        const char** own = jack_get_ports(jack.client(), (c.name + ":.*").c_str(), nullptr, 0);
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(own[1], nullptr) << "more than one JACK port";
        jack_free(own);
        stop_quietly(*v.child);
    }
}

TEST_F(VelkinBridge, NoteOnComesOutAtFrameZeroOfALaterPeriod) {
    BridgeProcess v = start_velkin(seq, jack, {VELKIN_BRIDGE});
    seq.connect_to(v.port);
    for (int i = 0; i < 3; ++i) {
        std::uint64_t period_before = jack.periods();
        seq.send_midi({0x92, static_cast<unsigned char>(60 + i), 100}, v.port);
        auto events = jack.wait_events(i + 1, long_wait);
        ASSERT_EQ(events.size(), static_cast<std::size_t>(i + 1));
        EXPECT_EQ(events[i].bytes, (Bytes{0x92, static_cast<unsigned char>(60 + i), 100}));
        EXPECT_EQ(events[i].frame, 0u);
        EXPECT_GE(events[i].period, period_before);
    }
    stop_quietly(*v.child);
}

TEST_F(VelkinBridge, EventsBetweenTwoPeriodsComeOutInOnePeriodInOrder) {
    if (!held_server_holds_the_period()) GTEST_SKIP() << "a held PipeWire daemon holds no period";
    BridgeProcess v = start_velkin(seq, jack, {VELKIN_BRIDGE});
    const std::vector<Bytes> sent = {
        {0x90, 60, 100}, {0x90, 64, 90}, {0x80, 60, 0}, {0xb1, 7, 127}, {0xe0, 0x00, 0x40}};
    {
        // With the server held, the bridge takes all of them into its ring
        // before the next period starts.
        Stopped hold(suite_server().process().pid());
        for (const auto& bytes : sent)
            seq.send_midi(bytes, v.port);
        ASSERT_TRUE(wait_read_all(v));
    }
    auto events = jack.wait_events(sent.size(), long_wait);
    ASSERT_EQ(events.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(events[i].bytes, sent[i]) << "event " << i;
        EXPECT_EQ(events[i].frame, 0u);
        EXPECT_EQ(events[i].period, events[0].period);
    }
    stop_quietly(*v.child);
}

TEST_F(VelkinBridge, ForwardsShortSysexAndDropsLongSysexAndEventsWithoutMidiForm) {
    BridgeProcess v = start_velkin(seq, jack, {VELKIN_BRIDGE});
    auto sysex = [](std::size_t length) {
        Bytes bytes(length, 0x11);
        bytes.front() = 0xf0;
        bytes.back() = 0xf7;
        return bytes;
    };
    seq.send_midi(sysex(15), v.port);
    seq.send_midi(sysex(16), v.port);
    seq.send_midi(sysex(200), v.port);
    for (int type : {SND_SEQ_EVENT_PORT_SUBSCRIBED, SND_SEQ_EVENT_CLIENT_START, SND_SEQ_EVENT_ECHO,
                     SND_SEQ_EVENT_USR0}) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        event.type = type;
        seq.send(event, v.port);
    }
    seq.send_midi({0x91, 1, 2}, v.port); // the last one, so we know when all were handled

    auto events = jack.wait_events(2, long_wait);
    ASSERT_TRUE(jack.wait_periods(3, long_wait));
    events = jack.received();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].bytes, sysex(15));
    EXPECT_EQ(events[1].bytes, (Bytes{0x91, 1, 2}));
    stop_quietly(*v.child);
}

TEST_F(VelkinBridge, FullRingDropsRecordsWithALineEachAndKeepsTheRestIntact) {
    if (!held_server_holds_the_period()) GTEST_SKIP() << "a held PipeWire daemon holds no period";
    BridgeProcess v = start_velkin(seq, jack, {VELKIN_BRIDGE});
    // A 2048-byte ring holds 2047 bytes: 511 records of a note-on (4 bytes
    // each), with 3 bytes left over.
    constexpr int fitting = 511, sent_notes = 600;
    std::vector<Bytes> sent;
    for (int i = 0; i < sent_notes; ++i)
        sent.push_back({static_cast<unsigned char>(0x90 | (i % 16)),
                        static_cast<unsigned char>(i / 16), static_cast<unsigned char>(i % 128)});
    {
        Stopped hold(suite_server().process().pid());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            if (i % 25 == 0) {
                ASSERT_TRUE(wait_input_room(v));
            }
            seq.send_midi(sent[i], v.port);
        }
        ASSERT_TRUE(wait_read_all(v));
        ASSERT_TRUE(wait_until([&] { return v.child->err_lines().size() >= sent_notes - fitting; },
                               long_wait));
        // A program change is a 3-byte record: it fits the room left.
        seq.send_midi({0xc5, 42}, v.port);
        ASSERT_TRUE(wait_read_all(v));
    }
    auto events = jack.wait_events(fitting + 1, long_wait);
    ASSERT_TRUE(jack.wait_periods(3, long_wait));
    events = jack.received();
    ASSERT_EQ(events.size(), static_cast<std::size_t>(fitting + 1));
    for (int i = 0; i < fitting; ++i)
        ASSERT_EQ(events[i].bytes, sent[i]) << "event " << i;
    EXPECT_EQ(events[fitting].bytes, (Bytes{0xc5, 42}));
    EXPECT_EQ(v.child->err_lines(),
              std::vector<std::string>(sent_notes - fitting, "ringbuffer overflow!"));

    v.child->signal(SIGTERM);
    EXPECT_EQ(v.child->wait_exit(long_wait), 0);
    EXPECT_EQ(v.child->out(), "");
}

// Distinct note-ons, numbered: channel, key and velocity tell them apart.
Bytes numbered_note(int i) {
    return {static_cast<unsigned char>(0x90 | (i % 16)), static_cast<unsigned char>(i / 16 % 128),
            static_cast<unsigned char>(1 + i % 127)};
}

TEST_F(VelkinBridge, ABurstWhileItIsHeldPassesWholeUpToItsInputPoolAndAnOverrunIsReported) {
    BridgeProcess v = start_velkin(seq, jack, {VELKIN_BRIDGE});
    const Bytes marker{0xc3, 7};
    struct Case {
        int burst;
        bool overrun;
    };
    // The bridge held (a loaded machine) while a burst comes: the kernel
    // queues it in the bridge's input pool (2000 cells). 500 note-ons fit
    // there and in the ring (511). 2500 overflow the pool: the kernel refuses
    // what comes on top and drops all it holds when the bridge reads again.
    for (Case c : {Case{500, false}, Case{2500, true}}) {
        SCOPED_TRACE(std::to_string(c.burst) + " note-ons");
        jack.clear_received();
        int refused = 0;
        {
            Stopped bridge(v.child->pid());
            for (int i = 0; i < c.burst; ++i)
                if (!seq.try_send_midi(numbered_note(i), v.port)) ++refused;
        }
        ASSERT_TRUE(wait_read_all(v));
        EXPECT_EQ(refused > 0, c.overrun) << refused << " refused";
        // A later message still passes.
        seq.send_midi(marker, v.port);
        ASSERT_TRUE(wait_until(
            [&] {
                auto events = jack.received();
                return !events.empty() && events.back().bytes == marker;
            },
            long_wait));
        auto events = jack.received();
        events.pop_back();
        // What came out of the burst is whole and in order.
        int next = 0;
        for (const JackEvent& e : events) {
            while (next < c.burst && numbered_note(next) != e.bytes)
                ++next;
            ASSERT_LT(next, c.burst) << "an event that was not sent, or out of order";
            ++next;
        }
        if (!c.overrun) {
            EXPECT_EQ(events.size(), static_cast<std::size_t>(c.burst));
        }
        EXPECT_EQ(v.child->err_lines(),
                  std::vector<std::string>(c.overrun ? 1 : 0,
                                           "ALSA sequencer input overrun, MIDI events lost!"));
    }
    v.child->signal(SIGTERM);
    EXPECT_EQ(v.child->wait_exit(long_wait), 0);
    EXPECT_EQ(v.child->out(), "");
}

TEST_F(VelkinBridge, StopsOnSigintAndSigtermWithStatusZero) {
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal_number));
        BridgeProcess v = start_velkin(seq, jack, {VELKIN_BRIDGE});
        v.child->signal(signal_number);
        EXPECT_EQ(v.child->wait_exit(long_wait), 0);
        EXPECT_EQ(v.child->err(), "");
        EXPECT_EQ(v.child->out(), "");
        EXPECT_FALSE(seq.find_client("velkin_bridge"));
    }
}

TEST_F(VelkinBridge, StopsWhenTheJackServerShutsDown) {
    std::string server_name = "velkin_shutdown_" + std::to_string(getpid());
    JackServer server(server_name);
    Child bridge({VELKIN_BRIDGE, "velkin_shutdown"}, server.client_env());
    Child monitor({"jack_midi_dump"}, server.client_env());
    // The connection succeeds once the bridge's client is active.
    ASSERT_TRUE(wait_until(
        [&] {
            return !bridge.running() ||
                   jack_connect_on(server_name, "velkin_shutdown:capture", "midi-monitor:input");
        },
        long_wait))
        << "bridge: " << bridge.err() << describe_threads(bridge.pid())
        << "monitor: " << monitor.err() << "server: " << server.process().err();
    ASSERT_TRUE(bridge.running()) << bridge.err();
    server.stop();
    EXPECT_EQ(bridge.wait_exit(long_wait), 0);
    EXPECT_EQ(lines_among(bridge.err_lines(), our_lines),
              std::vector<std::string>{"JACK shutdown notification received."});
    EXPECT_EQ(bridge.out(), "");
}

TEST(VelkinBridgeSetup, FailsWithItsLineAndStatusOneWithoutSequencerOrJackServer) {
    expect_setup_failure(without_sequencer({VELKIN_BRIDGE}), {}, "Error opening ALSA sequencer.",
                         our_lines);
    expect_setup_failure({VELKIN_BRIDGE}, no_jack_server_env(), "Failed to connect to JACK server!",
                         our_lines);
}

} // namespace
