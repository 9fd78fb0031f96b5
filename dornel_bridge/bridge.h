// dornel_bridge: MIDI from the JACK MIDI port "playback" to the ALSA sequencer
// port "capture". State shared by the JACK process thread, which fills the
// event ring, and the main thread, which empties it into the sequencer.
#pragma once

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

// Event ring records: an 8-byte header holding the number L of data bytes
// (unsigned 64-bit, host byte order), then the L bytes of one JACK MIDI
// event. The header and the data go in with two writes, so a reader may find
// the header before the data.
inline constexpr std::size_t header_size = sizeof(std::uint64_t);
inline constexpr std::size_t event_ring_size = 2048;
// The longest message sent on; longer records are dropped by the reader.
inline constexpr std::size_t max_message_size = 1024;

extern snd_seq_t* seq;
extern int port_id;
extern int queue_id;
extern snd_midi_event_t* encoder;
extern jack_ringbuffer_t* event_ring;
extern jack_client_t* jack_client;
extern jack_port_t* input_port;
extern std::array<unsigned char, max_message_size> message;

// Cleared by the signal handler.
extern std::atomic<std::int32_t> running;
// JACK events the ring had no room for; written only by the process thread.
extern std::atomic<std::uint64_t> overflow_count;

static_assert(std::atomic<std::int32_t>::is_always_lock_free);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// Clears `running` and gives the stop stop_bound_seconds: past that, SIGALRM
// ends the process with status 0 wherever it waits. Safe in a signal handler
// and on any thread.
void request_stop();
// Makes SIGALRM end the process with status 0; before any stop request.
void install_stop_bound();

// JACK process callback: writes a record of every MIDI event of the period
// into `ring` (the event ring), or counts it when the ring has no room.
int process_cycle(jack_nframes_t nframes, void* ring);

// Takes one record out of the event ring and sends it as at most one
// sequencer event; called when at least a header is readable.
void forward_record();
