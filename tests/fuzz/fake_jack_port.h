// A stand-in for a JACK MIDI port buffer, for fuzz targets that drive a
// process callback without a JACK server: the program's calls of
// jack_port_get_buffer, jack_midi_clear_buffer and jack_midi_event_reserve
// land here (the executable's definitions come before libjack's).
#pragma once

#include <jack/midiport.h>

#include <array>
#include <cstddef>

namespace fake_jack {

struct Event {
    jack_nframes_t time;
    std::size_t size;
    std::size_t offset;
};

// Room like a small real buffer: reservations beyond it fail.
struct PortBuffer {
    static constexpr std::size_t max_events = 64;
    static constexpr std::size_t max_bytes = 512;
    std::array<Event, max_events> events{};
    std::array<jack_midi_data_t, max_bytes> bytes{};
    std::size_t event_count = 0;
    std::size_t bytes_used = 0;
};

PortBuffer& port_buffer();

} // namespace fake_jack
