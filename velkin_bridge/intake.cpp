// The sequencer side: decode incoming events and write them into the ring.
#include "bridge.h"

#include <array>
#include <cstdio>

namespace {

// One length byte followed by room for the decoder's output, so that a whole
// record lies contiguous and goes into the ring with one write.
constexpr std::size_t decode_buffer_size = 16;
std::array<unsigned char, 1 + decode_buffer_size> scratch{};

} // namespace

void read_sequencer_events(snd_seq_t* seq) {
    do {
        snd_seq_event_t* event = nullptr;
        // A failed input (an overrun of the kernel's queue, say) delivers no
        // event: go back to waiting.
        if (snd_seq_event_input(seq, &event) < 0 || event == nullptr) return;

        long size = snd_midi_event_decode(decoder, scratch.data() + 1, decode_buffer_size, event);
        // Events with no MIDI form and long system-exclusive messages are
        // not forwarded.
        if (size >= 1 && size <= static_cast<long>(max_midi_bytes)) {
            scratch[0] = static_cast<unsigned char>(size);
            std::size_t record_size = static_cast<std::size_t>(size) + 1;
            if (jack_ringbuffer_write_space(event_ring) >= record_size)
                jack_ringbuffer_write(event_ring, reinterpret_cast<const char*>(scratch.data()),
                                      record_size);
            else
                std::fputs("ringbuffer overflow!\n", stderr);
        }
        snd_seq_free_event(event);
    } while (snd_seq_event_input_pending(seq, 0) > 0);
}
