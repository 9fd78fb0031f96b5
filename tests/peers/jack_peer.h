// A small JACK client for end-to-end tests: one MIDI input port "in" that
// records every event with its bytes, frame offset and period, and one MIDI
// output port "out" that sends given bytes at given frames of a coming period.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace peers {

struct JackEvent {
    std::vector<unsigned char> bytes;
    jack_nframes_t frame = 0;        // offset within its period
    jack_nframes_t period_start = 0; // frame time of the period's first frame
    std::uint64_t period = 0;        // number of the process cycle, from 0
};

struct JackOutgoing {
    jack_nframes_t frame = 0;
    std::vector<unsigned char> bytes;
};

class JackPeer {
  public:
    // Opens a client on the running server (never starts one) and activates
    // it. It records up to `capacity` events.
    explicit JackPeer(const std::string& name, std::size_t capacity = 1 << 17);
    ~JackPeer();
    JackPeer(const JackPeer&) = delete;
    JackPeer& operator=(const JackPeer&) = delete;

    std::string in_port() const;  // full name of "in"
    std::string out_port() const; // full name of "out"
    jack_client_t* client() const {
        return client_;
    }

    void connect(const std::string& source, const std::string& destination);

    // Sends the events in one coming period (all of them in the same one);
    // returns the number of that period once it has been sent.
    std::uint64_t send_in_one_period(const std::vector<JackOutgoing>& events,
                                     std::chrono::milliseconds timeout);

    // Everything received since the last clear_received().
    std::vector<JackEvent> received() const;
    std::vector<JackEvent> wait_events(std::size_t count, std::chrono::milliseconds timeout) const;
    void clear_received();
    // Process cycles run so far.
    std::uint64_t periods() const {
        return period_.load();
    }
    // Waits until `count` more process cycles have run.
    bool wait_periods(std::uint64_t count, std::chrono::milliseconds timeout) const;

  private:
    static int process(jack_nframes_t nframes, void* self);
    int process(jack_nframes_t nframes);

    // What the process callback records goes into storage made up front and
    // is published by a counter: the callback never waits for the test.
    struct Entry {
        std::size_t offset;
        std::size_t size;
        jack_nframes_t frame;
        jack_nframes_t period_start;
        std::uint64_t period;
    };
    std::size_t max_entries_;
    std::size_t max_bytes_;

    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    std::vector<Entry> entries_;
    std::vector<unsigned char> bytes_;
    std::size_t bytes_used_ = 0;
    std::atomic<std::size_t> entry_count_{0};
    std::size_t first_entry_ = 0; // clear_received() moves it
    std::atomic<std::uint64_t> period_{0};

    std::vector<JackOutgoing> outgoing_;
    std::atomic<bool> outgoing_pending_{false};
    std::atomic<std::uint64_t> sent_period_{0};
};

} // namespace peers
