// A JACK client for the benchmark: its port "out" plays a stream of tagged
// note-ons scheduled on the server's frame clock, and its port "in" records
// the tag and period of every event it receives. Storage is made before the
// client is activated; the process callback only publishes through atomics.
#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A note-on that carries a number: key, velocity (never 0) and channel.
inline constexpr std::uint32_t max_tag = 128 * 127 * 16;
std::array<unsigned char, 3> tagged_note(std::uint32_t tag);
// The tag of a note-on, or -1 if the bytes are not one of ours.
long tag_of(const unsigned char* bytes, std::size_t size);

// CLOCK_MONOTONIC, in nanoseconds.
std::int64_t now_ns();

struct Arrival {
    std::uint32_t tag;
    jack_nframes_t period_start;    // frame time of the period that carried it
    jack_nframes_t frame;           // offset within that period
    std::int64_t cycle_ns;          // when this client's process cycle began
    std::int64_t previous_cycle_ns; // when its cycle before that one began
};

class StreamClient {
  public:
    StreamClient(const std::string& name, std::size_t capacity);
    ~StreamClient();
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    jack_client_t* client() const {
        return client_;
    }
    std::string in_port() const;
    std::string out_port() const;
    jack_nframes_t period() const;
    jack_nframes_t sample_rate() const;

    // Plays the note tagged i at `offsets[i]` frames after the start of the
    // first period that begins once this is called; waits until all are out.
    void play(const std::vector<jack_nframes_t>& offsets);
    // The frame time of the period that carried each note of the last play,
    // and when this client's process cycle for that period began.
    const std::vector<jack_nframes_t>& sent_period_starts() const {
        return sent_period_start_;
    }
    const std::vector<std::int64_t>& sent_cycle_ns() const {
        return sent_cycle_ns_;
    }
    // Notes of the last play that found no room in the port buffer.
    std::uint64_t refused() const {
        return refused_.load();
    }

    // Everything received on "in" since the last clear_arrivals().
    std::vector<Arrival> arrivals() const;
    void clear_arrivals();
    std::uint64_t cycles() const {
        return cycles_.load();
    }
    std::uint64_t xruns() const {
        return xruns_.load();
    }
    // Waits until `count` more process cycles have run.
    bool wait_cycles(std::uint64_t count) const;

  private:
    static int process(jack_nframes_t nframes, void* self);
    static int on_xrun(void* self);
    void play_due(void* buffer, jack_nframes_t start, jack_nframes_t nframes,
                  std::int64_t cycle_ns);

    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;

    std::vector<Arrival> arrivals_;
    std::atomic<std::size_t> arrival_count_{0};
    std::size_t first_arrival_ = 0;
    std::int64_t last_cycle_ns_ = 0; // process thread only

    std::vector<jack_nframes_t> offsets_;
    std::vector<jack_nframes_t> sent_period_start_;
    std::vector<std::int64_t> sent_cycle_ns_;
    std::atomic<bool> playing_{false};
    bool started_ = false; // process thread only, while playing
    jack_nframes_t start_ = 0;
    std::size_t next_ = 0;
    std::atomic<std::uint64_t> refused_{0};

    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> xruns_{0};
};

} // namespace bench
