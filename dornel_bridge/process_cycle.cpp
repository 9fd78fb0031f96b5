// The JACK side: copy the period's MIDI events into the event ring.
// Runs on the real-time thread: no allocation, no lock, no waiting.
#include "bridge.h"

#include <jack/midiport.h>

int process_cycle(jack_nframes_t nframes, void* argument) {
    auto* ring = static_cast<jack_ringbuffer_t*>(argument);
    void* port_buffer = jack_port_get_buffer(input_port, nframes);
    std::uint32_t event_count = jack_midi_get_event_count(port_buffer);

    for (std::uint32_t index = 0; index < event_count; ++index) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, port_buffer, index) != 0) continue;
        // Room for the whole record first: this thread is the only writer,
        // so the room can only grow before both writes are done.
        if (jack_ringbuffer_write_space(ring) < event.size + header_size) {
            overflow_count.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        std::uint64_t size = event.size;
        jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&size), header_size);
        jack_ringbuffer_write(ring, reinterpret_cast<const char*>(event.buffer), event.size);
    }
    return 0;
}
