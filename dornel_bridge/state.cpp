#include "bridge.h"

snd_seq_t* seq = nullptr;
int port_id = -1;
int queue_id = -1;
snd_midi_event_t* encoder = nullptr;
jack_ringbuffer_t* event_ring = nullptr;
jack_client_t* jack_client = nullptr;
jack_port_t* input_port = nullptr;
std::array<unsigned char, max_message_size> message{};
std::atomic<std::int32_t> running{1};
std::atomic<std::uint64_t> overflow_count{0};
