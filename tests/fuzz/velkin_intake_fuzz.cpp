// Fuzz target: whatever sequencer events arrive, velkin_bridge's intake writes
// only whole records of 1 to 15 MIDI bytes into the ring, and stays inside
// its buffers.
#include "bridge.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const std::uint8_t* input = nullptr;
std::size_t input_left = 0;
snd_seq_event_t current{};

void require(bool condition) {
    if (!condition) __builtin_trap();
}

} // namespace

// The sequencer input, without a sequencer: each event is the next
// sizeof(snd_seq_event_t) bytes of the input; a variable-length one takes its
// data from the bytes after it.
extern "C" int snd_seq_event_input(snd_seq_t*, snd_seq_event_t** event) {
    if (input_left < sizeof current) return -EAGAIN;
    std::memcpy(&current, input, sizeof current);
    input += sizeof current;
    input_left -= sizeof current;
    if (current.type == SND_SEQ_EVENT_SYSEX) {
        current.flags =
            (current.flags & ~SND_SEQ_EVENT_LENGTH_MASK) | SND_SEQ_EVENT_LENGTH_VARIABLE;
    }
    if (snd_seq_ev_is_variable(&current)) {
        std::size_t length = std::min<std::size_t>(current.data.ext.len, input_left);
        current.data.ext.len = static_cast<unsigned>(length);
        current.data.ext.ptr = const_cast<std::uint8_t*>(input);
        input += length;
        input_left -= length;
    }
    *event = &current;
    return static_cast<int>(input_left);
}

extern "C" int snd_seq_event_input_pending(snd_seq_t*, int) {
    return input_left >= sizeof current ? 1 : 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    event_ring = jack_ringbuffer_create(1 << 20);
    snd_midi_event_new(16, &decoder);
    snd_midi_event_no_status(decoder, 1);
    // The program's own lines would flood the fuzzer's output; the fuzzer
    // keeps the standard error it had.
    stderr = std::fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    jack_ringbuffer_reset(event_ring);
    snd_midi_event_reset_decode(decoder);
    input = data;
    input_left = size;
    read_sequencer_events(nullptr);
    // Whole records, one after another.
    std::vector<char> ring(jack_ringbuffer_read_space(event_ring));
    jack_ringbuffer_read(event_ring, ring.data(), ring.size());
    for (std::size_t at = 0; at < ring.size();) {
        std::size_t length = static_cast<unsigned char>(ring[at]);
        require(length >= 1 && length <= max_midi_bytes && at + 1 + length <= ring.size());
        at += 1 + length;
    }
    return 0;
}
