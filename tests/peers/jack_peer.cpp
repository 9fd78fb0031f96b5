#include "jack_peer.h"

#include <jack/midiport.h>

#include <cstring>
#include <stdexcept>

namespace peers {

JackPeer::JackPeer(const std::string& name) {
    jack_status_t status;
    client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (!client_) throw std::runtime_error("JACK peer: cannot connect to the JACK server");
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!in_ || !out_) throw std::runtime_error("JACK peer: cannot register ports");
    jack_set_process_callback(client_, &JackPeer::process, this);
    if (jack_activate(client_) != 0) throw std::runtime_error("JACK peer: cannot activate");
}

JackPeer::~JackPeer() {
    if (client_) jack_client_close(client_);
}

std::string JackPeer::in_port() const {
    return jack_port_name(in_);
}

std::string JackPeer::out_port() const {
    return jack_port_name(out_);
}

void JackPeer::connect(const std::string& source, const std::string& destination) {
    int result = jack_connect(client_, source.c_str(), destination.c_str());
    if (result != 0 && result != EEXIST)
        throw std::runtime_error("JACK peer: cannot connect " + source + " to " + destination);
}

int JackPeer::process(jack_nframes_t nframes, void* self) {
    return static_cast<JackPeer*>(self)->process(nframes);
}

// Test code: taking a lock here is acceptable, the test threads hold it only
// briefly.
int JackPeer::process(jack_nframes_t nframes) {
    jack_nframes_t start = jack_last_frame_time(client_);
    void* in = jack_port_get_buffer(in_, nframes);
    void* out = jack_port_get_buffer(out_, nframes);
    jack_midi_clear_buffer(out);
    std::lock_guard lock(mutex_);
    std::uint32_t count = jack_midi_get_event_count(in);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, in, i) != 0) continue;
        received_.push_back({std::vector<unsigned char>(event.buffer, event.buffer + event.size),
                             event.time, start, period_});
    }
    if (outgoing_pending_) {
        for (const auto& event : outgoing_) {
            auto* slot = jack_midi_event_reserve(out, event.frame, event.bytes.size());
            if (slot && !event.bytes.empty())
                std::memcpy(slot, event.bytes.data(), event.bytes.size());
        }
        outgoing_pending_ = false;
        sent_period_ = period_;
    }
    ++period_;
    changed_.notify_all();
    return 0;
}

std::uint64_t JackPeer::send_in_one_period(const std::vector<JackOutgoing>& events,
                                           std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    outgoing_ = events;
    outgoing_pending_ = true;
    if (!changed_.wait_for(lock, timeout, [&] { return !outgoing_pending_; }))
        throw std::runtime_error("JACK peer: no process cycle ran to send the events");
    return sent_period_;
}

std::vector<JackEvent> JackPeer::wait_events(std::size_t count,
                                             std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
    return received_;
}

std::vector<JackEvent> JackPeer::collect_for(std::chrono::milliseconds time) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, time, [] { return false; });
    return received_;
}

std::vector<JackEvent> JackPeer::received() {
    std::lock_guard lock(mutex_);
    return received_;
}

void JackPeer::clear_received() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

std::uint64_t JackPeer::periods() {
    std::lock_guard lock(mutex_);
    return period_;
}

bool JackPeer::wait_periods(std::uint64_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::uint64_t target = period_ + count;
    return changed_.wait_for(lock, timeout, [&] { return period_ >= target; });
}

} // namespace peers
