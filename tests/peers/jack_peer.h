// A small JACK client for end-to-end tests: one MIDI input port "in" that
// records every event with its bytes, frame offset and period, and one MIDI
// output port "out" that sends given bytes at given frames of a coming period.
#pragma once

#include <jack/jack.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
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
    // Opens a client on the running server (never starts one) and activates it.
    explicit JackPeer(const std::string& name);
    ~JackPeer();
    JackPeer(const JackPeer&) = delete;
    JackPeer& operator=(const JackPeer&) = delete;

    std::string in_port() const;  // full name of "in"
    std::string out_port() const; // full name of "out"
    jack_client_t* client() const {
        return client_;
    }
    jack_nframes_t period_size() const {
        return jack_get_buffer_size(client_);
    }

    void connect(const std::string& source, const std::string& destination);

    // Queues events for one coming period (all of them in the same one);
    // returns the number of that period once it has been sent.
    std::uint64_t send_in_one_period(const std::vector<JackOutgoing>& events,
                                     std::chrono::milliseconds timeout);

    std::vector<JackEvent> wait_events(std::size_t count, std::chrono::milliseconds timeout);
    std::vector<JackEvent> collect_for(std::chrono::milliseconds time);
    std::vector<JackEvent> received();
    void clear_received();
    std::uint64_t periods();
    // Waits until `count` more process cycles have run.
    bool wait_periods(std::uint64_t count, std::chrono::milliseconds timeout);

  private:
    static int process(jack_nframes_t nframes, void* self);
    int process(jack_nframes_t nframes);

    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<JackEvent> received_;
    std::vector<JackOutgoing> outgoing_;
    bool outgoing_pending_ = false;
    std::uint64_t sent_period_ = 0;
    std::uint64_t period_ = 0;
};

} // namespace peers
