// Both bridges against a raw MIDI device, as a hardware MIDI interface brings
// one: the kernel's virtual raw MIDI cards (snd-virmidi), whose sequencer
// ports behave like an interface's. Bytes are written into a device as a
// keyboard sends them (amidi) and read back from one as a synthesizer would
// (a small rawmidi reader of our own, for exact bytes).
#include "bridge_process.h"
#include "harness.h"
#include "jack_peer.h"
#include "seq_peer.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <csignal>

using namespace e2e;
using peers::JackPeer;
using peers::SeqAddress;
using peers::SeqPeer;
using Bytes = std::vector<unsigned char>;

namespace {

// A raw MIDI device of a virtual card: "hw:C,D", and the sequencer port of
// the client "Virtual Raw MIDI C-D" that the kernel gives it.
struct RawDevice {
    std::string name;
    SeqAddress port;
};

std::optional<RawDevice> virtual_device(const SeqPeer& seq, int device) {
    for (int card = 0; card < 8; ++card) {
        std::string id = std::to_string(card) + "-" + std::to_string(device);
        if (auto client = seq.find_client("Virtual Raw MIDI " + id))
            return RawDevice{"hw:" + std::to_string(card) + "," + std::to_string(device),
                             {*client, 0}};
    }
    return std::nullopt;
}

void aconnect(SeqAddress from, SeqAddress to) {
    auto address = [](SeqAddress a) {
        return std::to_string(a.client) + ":" + std::to_string(a.port);
    };
    Child connect({"aconnect", address(from), address(to)});
    ASSERT_EQ(connect.wait_exit(long_wait), 0) << connect.err();
}

// Reads what the sequencer sends to a raw MIDI device, as its own reader.
class RawReader {
  public:
    explicit RawReader(const std::string& device) {
        if (snd_rawmidi_open(&in_, nullptr, device.c_str(), SND_RAWMIDI_NONBLOCK) < 0)
            throw std::runtime_error("cannot open " + device + " for reading");
        // The device takes input from the sequencer once it has been read
        // from: before that a virtual device drops what is sent to it.
        read_pending();
    }
    ~RawReader() {
        snd_rawmidi_close(in_);
    }
    RawReader(const RawReader&) = delete;
    RawReader& operator=(const RawReader&) = delete;

    // Everything read so far, once there are at least `count` bytes or the
    // suite's long wait has passed.
    const Bytes& wait_bytes(std::size_t count) {
        wait_until(
            [&] {
                read_pending();
                return bytes_.size() >= count;
            },
            long_wait);
        return bytes_;
    }

  private:
    void read_pending() {
        unsigned char buffer[256];
        for (ssize_t n; (n = snd_rawmidi_read(in_, buffer, sizeof buffer)) > 0;)
            bytes_.insert(bytes_.end(), buffer, buffer + n);
    }

    snd_rawmidi_t* in_ = nullptr;
    Bytes bytes_;
};

class RawMidi : public ::testing::Test {
  protected:
    SeqPeer seq{"rawmidi_test_seq"};
    JackPeer jack{"rawmidi_test_jack"};

    void SetUp() override {
        if (!virtual_device(seq, 0) || !virtual_device(seq, 1))
            GTEST_SKIP() << "no virtual raw MIDI card: load snd-virmidi";
    }
};

TEST_F(RawMidi, WhatAKeyboardSendsReachesJackThroughVelkinAsWholeMessages) {
    RawDevice keyboard = *virtual_device(seq, 0);
    BridgeProcess v = start_velkin(seq, jack, {VELKIN_BRIDGE});
    aconnect(keyboard.port, v.port);
    // As a keyboard sends them: running status (the second note-on has no
    // status byte), a clock and an active sensing byte in the middle of a
    // message, and a system-exclusive message.
    Child amidi({"amidi", "-p", keyboard.name, "-S",
                 "90 3C 64 3E 64 90 40 F8 64 80 3C FE 00 F0 7D 01 02 03 F7"});
    ASSERT_EQ(amidi.wait_exit(long_wait), 0) << amidi.err();
    // Each a whole message with its status byte, a realtime byte before the
    // message it interrupted.
    const std::vector<Bytes> expected = {{0x90, 0x3c, 0x64},
                                         {0x90, 0x3e, 0x64},
                                         {0xf8},
                                         {0x90, 0x40, 0x64},
                                         {0xfe},
                                         {0x80, 0x3c, 0x00},
                                         {0xf0, 0x7d, 0x01, 0x02, 0x03, 0xf7}};
    jack.wait_events(expected.size(), long_wait);
    ASSERT_TRUE(jack.wait_periods(3, long_wait));
    std::vector<Bytes> received;
    for (const auto& e : jack.received())
        received.push_back(e.bytes);
    EXPECT_EQ(received, expected);
    stop_quietly(*v.child);
}

TEST_F(RawMidi, WhatDornelSendsToADeviceReadsBackAsTheBytesSent) {
    RawDevice synth = *virtual_device(seq, 1);
    BridgeProcess d = start_dornel(seq, jack, {DORNEL_BRIDGE});
    aconnect(d.port, synth.port);
    RawReader reader(synth.name);
    // Each with a status of its own: the kernel writes a repeated status
    // byte as running status, as MIDI allows.
    const std::vector<Bytes> messages = {{0x90, 0x3c, 0x64}, {0x80, 0x3c, 0x40},
                                         {0xc2, 0x05},       {0xb1, 0x07, 0x7f},
                                         {0xe0, 0x00, 0x40}, {0xf0, 0x7d, 0x10, 0x20, 0xf7}};
    std::vector<peers::JackOutgoing> events;
    Bytes sent;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        events.push_back({static_cast<jack_nframes_t>(i * 100), messages[i]});
        sent.insert(sent.end(), messages[i].begin(), messages[i].end());
    }
    jack.send_in_one_period(events, long_wait);
    EXPECT_EQ(reader.wait_bytes(sent.size()), sent);
    stop_quietly(*d.child);
}

} // namespace
