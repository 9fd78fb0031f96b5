// The sequencer side: decode incoming events and write them into the ring.
#include "bridge.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// One length byte followed by room for the decoder's output, so that a whole
// record lies contiguous and goes into the ring in one piece.
constexpr std::size_t decode_buffer_size = 16;
std::array<unsigned char, 1 + decode_buffer_size> scratch{};

} // namespace

void publish_record(const unsigned char* record, std::size_t size) {
    std::array<jack_ringbuffer_data_t, 2> parts;
    jack_ringbuffer_get_write_vector(event_ring, parts.data());
    std::size_t first = std::min(size, parts[0].len);
    std::memcpy(parts[0].buf, record, first);
    if (first < size) std::memcpy(parts[1].buf, record + first, size - first);
    // The bytes are in place before the reader can see them.
    std::atomic_thread_fence(std::memory_order_release);
    jack_ringbuffer_write_advance(event_ring, size);
}

void read_sequencer_events(snd_seq_t* seq) {
    do {
        snd_seq_event_t* event = nullptr;
        int result = snd_seq_event_input(seq, &event);
        // The kernel's input queue for us overflowed: it refused what came
        // on top and has dropped everything it held. Say so; what arrives
        // from now on is read as usual.
        if (result == -ENOSPC) {
            std::fputs("ALSA sequencer input overrun, MIDI events lost!\n", stderr);
            return;
        }
        // Any other failure delivers no event either: go back to waiting.
        if (result < 0 || event == nullptr) return;

        long size = snd_midi_event_decode(decoder, scratch.data() + 1, decode_buffer_size, event);
        // Events with no MIDI form and long system-exclusive messages are
        // not forwarded.
        if (size >= 1 && size <= static_cast<long>(max_midi_bytes)) {
            scratch[0] = static_cast<unsigned char>(size);
            std::size_t record_size = static_cast<std::size_t>(size) + 1;
            if (jack_ringbuffer_write_space(event_ring) >= record_size)
                publish_record(scratch.data(), record_size);
            else
                std::fputs("ringbuffer overflow!\n", stderr);
        }
        snd_seq_free_event(event);
    } while (snd_seq_event_input_pending(seq, 0) > 0);
}
