// A small ALSA sequencer client for end-to-end tests: one port, sends the
// events it is given and records every event it receives with all fields.
#pragma once

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace peers {

struct SeqAddress {
    int client = -1;
    int port = -1;
    bool operator==(const SeqAddress&) const = default;
};

// One received sequencer event, every field of snd_seq_event_t kept; the
// payload of a variable-length event (system exclusive) is copied into `ext`.
struct SeqEvent {
    int type = 0;
    unsigned flags = 0;
    unsigned tag = 0;
    unsigned queue = 0;
    snd_seq_timestamp_t time{};
    SeqAddress source;
    SeqAddress dest;
    snd_seq_event_t raw{};
    std::vector<unsigned char> ext;
};

struct SeqPortInfo {
    int port = -1;
    std::string name;
    unsigned capability = 0;
    unsigned type = 0;
};

class SeqPeer {
  public:
    // Opens "hw" for input and output and creates one port that others can
    // read from and write to.
    explicit SeqPeer(const std::string& name);
    ~SeqPeer();
    SeqPeer(const SeqPeer&) = delete;
    SeqPeer& operator=(const SeqPeer&) = delete;

    SeqAddress address() const;
    snd_seq_t* handle() const {
        return seq_;
    }

    // Subscriptions between our port and another.
    void connect_to(SeqAddress dest);
    void connect_from(SeqAddress source);

    // Sends an event from our port to `dest` directly (not through a queue).
    void send(snd_seq_event_t event, SeqAddress dest);
    // Likewise, once: false if the kernel refused it (the destination's
    // input pool is full).
    bool try_send(snd_seq_event_t event, SeqAddress dest);
    // Encodes MIDI bytes into one sequencer event and sends it.
    void send_midi(const std::vector<unsigned char>& bytes, SeqAddress dest);
    // Likewise, once: false if the kernel refused it (the destination's
    // input pool is full).
    bool try_send_midi(const std::vector<unsigned char>& bytes, SeqAddress dest);

    // Waits until `count` events have been received in all; returns all
    // received so far.
    const std::vector<SeqEvent>& wait_events(std::size_t count, std::chrono::milliseconds timeout);
    // Receives for the given time and returns everything received so far.
    const std::vector<SeqEvent>& collect_for(std::chrono::milliseconds time);
    const std::vector<SeqEvent>& received() const {
        return received_;
    }
    void clear_received() {
        received_.clear();
    }

    // Queries of the whole sequencer, as any client sees it.
    std::optional<int> find_client(const std::string& name) const;
    std::optional<std::string> client_name(int client) const;
    std::vector<SeqPortInfo> ports_of(int client) const;
    std::vector<int> queues_of(int client) const;

  private:
    void address(snd_seq_event_t& event, SeqAddress dest) const;
    snd_seq_event_t encode(const std::vector<unsigned char>& bytes);
    void receive_pending(int timeout_ms);
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
    snd_midi_event_t* encoder_ = nullptr;
    std::vector<SeqEvent> received_;
};

} // namespace peers
