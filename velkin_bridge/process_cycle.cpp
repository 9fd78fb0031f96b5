// The JACK side: empty the event ring into the output port, all at frame 0.
// Runs on the real-time thread: no allocation, no lock, no waiting.
#include "bridge.h"

#include <jack/midiport.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace {

std::array<unsigned char, max_record_size> record{};

// Only reached when the ring's contents are not whole records, which the
// main thread never writes; worth a line even from this thread.
void report_short_read() {
    std::fputs("???? short read from ringbuffer!\n", stderr);
}

} // namespace

int process_cycle(jack_nframes_t nframes, void*) {
    void* port_buffer = jack_port_get_buffer(output_port, nframes);
    jack_midi_clear_buffer(port_buffer);
    auto* bytes = reinterpret_cast<char*>(record.data());

    while (jack_ringbuffer_read_space(event_ring) != 0) {
        if (jack_ringbuffer_peek(event_ring, bytes, 1) == 0) continue;
        std::size_t size = record[0];
        if (size == 0 || size > max_midi_bytes) {
            // Not a length byte: the stream has lost its framing. Drop what
            // is readable now; the writer adds whole records only, so the
            // next byte it writes starts a record again.
            report_short_read();
            jack_ringbuffer_read_advance(event_ring, jack_ringbuffer_read_space(event_ring));
            continue;
        }
        if (jack_ringbuffer_read(event_ring, bytes, size + 1) != size + 1) {
            report_short_read();
            continue;
        }
        jack_midi_data_t* slot = jack_midi_event_reserve(port_buffer, 0, size);
        if (slot == nullptr) {
            overflow_count.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        std::memcpy(slot, record.data() + 1, size);
    }
    return 0;
}
