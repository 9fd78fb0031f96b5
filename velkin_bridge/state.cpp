#include "bridge.h"

snd_seq_t* seq = nullptr;
snd_midi_event_t* decoder = nullptr;
jack_ringbuffer_t* event_ring = nullptr;
jack_client_t* jack_client = nullptr;
jack_port_t* output_port = nullptr;
std::atomic<int> running{0};
std::atomic<std::int32_t> overflow_count{0};
