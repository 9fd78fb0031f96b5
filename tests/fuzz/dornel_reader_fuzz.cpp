// Fuzz target: whatever dornel_bridge's event ring holds (wrong lengths,
// truncated records, huge headers), the reader stays inside `message`, sends
// at most one event per record, and never more than 1024 bytes of one.
#include "bridge.h"

#include <cstdint>

namespace {

int sent = 0;

void require(bool condition) {
    if (!condition) __builtin_trap();
}

} // namespace

// The sequencer output, without a sequencer.
extern "C" int snd_seq_event_output_direct(snd_seq_t*, snd_seq_event_t* event) {
    ++sent;
    if (snd_seq_ev_is_variable(event)) require(event->data.ext.len <= max_message_size);
    require(event->dest.client == SND_SEQ_ADDRESS_SUBSCRIBERS);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    event_ring = jack_ringbuffer_create(event_ring_size);
    snd_midi_event_new(max_message_size, &encoder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    jack_ringbuffer_reset(event_ring);
    snd_midi_event_reset_encode(encoder);
    // As after a stop: a record whose bytes are missing is not waited for.
    running = 0;
    std::size_t at = 0;
    while (at < size) {
        std::size_t piece = data[at++] * std::size_t{8};
        piece = std::min(piece, size - at);
        std::size_t room = jack_ringbuffer_write_space(event_ring);
        jack_ringbuffer_write(event_ring, reinterpret_cast<const char*>(data + at),
                              std::min(piece, room));
        at += piece;
        while (jack_ringbuffer_read_space(event_ring) >= header_size) {
            int before = sent;
            forward_record();
            require(sent - before <= 1);
        }
    }
    return 0;
}
