// Per-event cost of dornel_bridge's two halves, without a JACK server or a
// sequencer: the process cycle (copy a period's events into the ring) and the
// forwarding (read a record, encode it, send it).
//
//   dornel_event_cost [Google Benchmark options]   timings
//   dornel_event_cost --workload                   a fixed workload, for
//                                                  instruction counts under callgrind
#include "bridge.h"

#include <benchmark/benchmark.h>
#include <jack/midiport.h>

#include <array>
#include <cstring>

namespace {

// Events per period: 50 note-on records (11 bytes each) fit the ring.
constexpr int batch = 50;
constexpr int workload_events = 10'000;

std::array<jack_midi_data_t, 3> note{0x90, 60, 100};
int sent = 0;

void set_up() {
    event_ring = jack_ringbuffer_create(event_ring_size);
    snd_midi_event_new(max_message_size, &encoder);
}

void cycle() {
    process_cycle(1024, event_ring);
}

void forward_all() {
    while (jack_ringbuffer_read_space(event_ring) >= header_size)
        forward_record();
}

void BM_DornelProcessCycle(benchmark::State& state) {
    for (auto _ : state) {
        cycle();
        jack_ringbuffer_read_advance(event_ring, jack_ringbuffer_read_space(event_ring));
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_DornelProcessCycle);

void BM_DornelForward(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        cycle();
        state.ResumeTiming();
        forward_all();
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_DornelForward);

} // namespace

// The JACK input port, without a server: `batch` note-ons every period.
extern "C" void* jack_port_get_buffer(jack_port_t*, jack_nframes_t) {
    return note.data();
}

extern "C" std::uint32_t jack_midi_get_event_count(void*) {
    return batch;
}

extern "C" int jack_midi_event_get(jack_midi_event_t* event, void*, std::uint32_t index) {
    event->time = index;
    event->size = note.size();
    event->buffer = note.data();
    return 0;
}

// The sequencer output, without a sequencer.
extern "C" int snd_seq_event_output_direct(snd_seq_t*, snd_seq_event_t*) {
    ++sent;
    return 0;
}

int main(int argc, char** argv) {
    set_up();
    if (argc == 2 && std::strcmp(argv[1], "--workload") == 0) {
        for (int done = 0; done < workload_events; done += batch) {
            cycle();
            forward_all();
        }
        return sent == workload_events ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
