// Shows that the bench is real: the kernel sequencer passes events between
// clients, and the JACK server passes MIDI between ports at the frame sent.
#include "harness.h"
#include "jack_peer.h"
#include "seq_peer.h"

#include <gtest/gtest.h>

using namespace e2e;
using peers::JackPeer;
using peers::SeqPeer;

TEST(Bench, NoteGoesThroughTheKernelsMidiThroughPort) {
    SeqPeer peer("bench_seq_peer");
    auto through = peer.find_client("Midi Through");
    ASSERT_TRUE(through) << "the kernel's Midi Through client is missing";
    peers::SeqAddress through_port{*through, 0};
    peer.connect_from(through_port);

    peer.send_midi({0x93, 60, 100}, through_port);
    const auto& events = peer.wait_events(1, long_wait);
    ASSERT_EQ(events.size(), 1u);
    const auto& e = events[0];
    EXPECT_EQ(e.type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(e.source, through_port);
    EXPECT_EQ(e.dest, peer.address());
    EXPECT_EQ(e.raw.data.note.channel, 3);
    EXPECT_EQ(e.raw.data.note.note, 60);
    EXPECT_EQ(e.raw.data.note.velocity, 100);
}

TEST(Bench, MidiGoesThroughAJackConnectionAtTheFrameSent) {
    JackPeer sender("bench_jack_sender");
    JackPeer receiver("bench_jack_receiver");
    sender.connect(sender.out_port(), receiver.in_port());
    ASSERT_TRUE(sender.wait_periods(2, long_wait));

    sender.send_in_one_period({{100, {0x90, 64, 1}}, {700, {0xf0, 1, 2, 3, 0xf7}}}, long_wait);
    auto events = receiver.wait_events(2, long_wait);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].bytes, (std::vector<unsigned char>{0x90, 64, 1}));
    EXPECT_EQ(events[0].frame, 100u);
    EXPECT_EQ(events[1].bytes, (std::vector<unsigned char>{0xf0, 1, 2, 3, 0xf7}));
    EXPECT_EQ(events[1].frame, 700u);
    EXPECT_EQ(events[0].period, events[1].period);
}
