// velkin_bridge: MIDI from the ALSA sequencer port "playback" to the JACK MIDI
// port "capture". State shared by the main thread, which reads the sequencer
// and fills the event ring, and the JACK process thread, which empties it.
#pragma once

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Event ring records: one length byte N (1 to 15), then the N MIDI bytes that
// one sequencer event decodes to. A record enters the ring whole, with a
// single publication (publish_record), or not at all.
inline constexpr std::size_t max_midi_bytes = 15;
inline constexpr std::size_t max_record_size = 1 + max_midi_bytes;
inline constexpr std::size_t event_ring_size = 2048;

extern snd_seq_t* seq;
extern snd_midi_event_t* decoder;
extern jack_ringbuffer_t* event_ring;
extern jack_client_t* jack_client;
extern jack_port_t* output_port;

// Cleared asynchronously (signal handler, JACK shutdown notification).
extern std::atomic<int> running;
// Records the JACK port buffer had no room for; written only by the process
// thread, wraps around like the count it is.
extern std::atomic<std::int32_t> overflow_count;

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::int32_t>::is_always_lock_free);

// Copies a whole record into the event ring and makes it readable in one
// step: jack_ringbuffer_write publishes a write that wraps around the end of
// the ring in two steps, and the reader could take the first part for a
// record cut short. The caller has made sure there is room.
void publish_record(const unsigned char* record, std::size_t size);

// Clears `running` and gives the stop stop_bound_seconds: past that, SIGALRM
// ends the process with status 0 wherever it waits. Safe in a signal handler
// and on any thread.
void request_stop();
// Makes SIGALRM end the process with status 0; before any stop request.
void install_stop_bound();

// Reads every event the sequencer has for us and writes a record of each one
// that has a MIDI form of 1 to 15 bytes into the event ring.
void read_sequencer_events(snd_seq_t* seq);

// JACK process callback: moves every record of the event ring into the
// period's buffer of "capture", at frame 0, in order.
int process_cycle(jack_nframes_t nframes, void* argument);
