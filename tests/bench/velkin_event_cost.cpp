// Per-event cost of velkin_bridge's two halves, without a sequencer or a JACK
// server: the intake (decode a note-on, test the room, write its record) and
// the process cycle (read records out of the ring into the port buffer).
//
//   velkin_event_cost [Google Benchmark options]   timings
//   velkin_event_cost --workload                   a fixed workload, for
//                                                  instruction counts under callgrind
#include "bridge.h"
#include "fake_jack_port.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

// Records per process cycle: what the stand-in port buffer holds.
constexpr int batch = 50;
constexpr int workload_events = 10'000;

snd_seq_event_t note{};

void set_up() {
    event_ring = jack_ringbuffer_create(event_ring_size);
    snd_midi_event_new(16, &decoder);
    snd_midi_event_no_status(decoder, 1);
    snd_seq_ev_clear(&note);
    snd_seq_ev_set_noteon(&note, 0, 60, 100);
}

void intake_batch() {
    for (int i = 0; i < batch; ++i)
        read_sequencer_events(nullptr);
}

void drain() {
    jack_ringbuffer_read_advance(event_ring, jack_ringbuffer_read_space(event_ring));
}

void fill() {
    const unsigned char record[] = {3, 0x90, 60, 100};
    for (int i = 0; i < batch; ++i)
        publish_record(record, sizeof record);
}

void BM_VelkinIntake(benchmark::State& state) {
    for (auto _ : state) {
        intake_batch();
        drain();
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_VelkinIntake);

void BM_VelkinProcessCycle(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        fill();
        state.ResumeTiming();
        process_cycle(1024, nullptr);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_VelkinProcessCycle);

} // namespace

// The sequencer input, without a sequencer: one note-on per call.
extern "C" int snd_seq_event_input(snd_seq_t*, snd_seq_event_t** event) {
    *event = &note;
    return 0;
}

extern "C" int snd_seq_event_input_pending(snd_seq_t*, int) {
    return 0;
}

int main(int argc, char** argv) {
    set_up();
    if (argc == 2 && std::strcmp(argv[1], "--workload") == 0) {
        for (int done = 0; done < workload_events; done += batch) {
            intake_batch();
            drain();
            fill();
            process_cycle(1024, nullptr);
        }
        return fake_jack::port_buffer().event_count == batch ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
