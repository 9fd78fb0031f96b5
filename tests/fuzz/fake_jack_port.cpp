#include "fake_jack_port.h"

#include <jack/jack.h>

namespace fake_jack {

PortBuffer& port_buffer() {
    static PortBuffer buffer;
    return buffer;
}

} // namespace fake_jack

extern "C" {

void* jack_port_get_buffer(jack_port_t*, jack_nframes_t) {
    return &fake_jack::port_buffer();
}

void jack_midi_clear_buffer(void* buffer) {
    auto* b = static_cast<fake_jack::PortBuffer*>(buffer);
    b->event_count = 0;
    b->bytes_used = 0;
}

jack_midi_data_t* jack_midi_event_reserve(void* buffer, jack_nframes_t time, size_t size) {
    auto* b = static_cast<fake_jack::PortBuffer*>(buffer);
    if (b->event_count == b->max_events || b->bytes_used + size > b->max_bytes) return nullptr;
    b->events[b->event_count++] = {time, size, b->bytes_used};
    jack_midi_data_t* slot = b->bytes.data() + b->bytes_used;
    b->bytes_used += size;
    return slot;
}

} // extern "C"
