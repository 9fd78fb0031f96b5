// The sequencer side: turn one ring record into a sequencer event and send it.
#include "bridge.h"

#include <ctime>

namespace {

// The data bytes of a record may still be on their way behind its header.
constexpr timespec data_wait{0, 10'000};

} // namespace

void forward_record() {
    std::uint64_t size = 0;
    jack_ringbuffer_read(event_ring, reinterpret_cast<char*>(&size), header_size);
    while (jack_ringbuffer_read_space(event_ring) < size) {
        if (running.load() == 0) break;
        nanosleep(&data_wait, nullptr);
    }
    // Cut short by a stop: the record is incomplete, send nothing for it.
    if (jack_ringbuffer_read_space(event_ring) < size) return;
    // Longer than any message we send on: take its bytes out and drop it.
    if (size > message.size()) {
        jack_ringbuffer_read_advance(event_ring, size);
        return;
    }
    jack_ringbuffer_read(event_ring, reinterpret_cast<char*>(message.data()), size);

    snd_seq_event_t event{};
    if (snd_midi_event_encode(encoder, message.data(), static_cast<long>(size), &event) == 0)
        return;
    snd_seq_ev_set_source(&event, port_id);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_schedule_tick(&event, queue_id, 1, 0);
    snd_seq_event_output_direct(seq, &event);
}
