#include "jack_peer.h"

#include <jack/midiport.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

namespace peers {

JackPeer::JackPeer(const std::string& name, std::size_t capacity)
    : max_entries_(capacity), max_bytes_(capacity * 16 + (1 << 22)), entries_(capacity),
      bytes_(max_bytes_) {
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

int JackPeer::process(jack_nframes_t nframes) {
    std::uint64_t period = period_.load(std::memory_order_relaxed);
    jack_nframes_t start = jack_last_frame_time(client_);
    void* in = jack_port_get_buffer(in_, nframes);
    void* out = jack_port_get_buffer(out_, nframes);
    jack_midi_clear_buffer(out);

    std::size_t count = entry_count_.load(std::memory_order_relaxed);
    std::uint32_t events = jack_midi_get_event_count(in);
    for (std::uint32_t i = 0; i < events; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, in, i) != 0) continue;
        if (count == max_entries_ || bytes_used_ + event.size > max_bytes_) break;
        if (event.size > 0) std::memcpy(bytes_.data() + bytes_used_, event.buffer, event.size);
        entries_[count++] = {bytes_used_, event.size, event.time, start, period};
        bytes_used_ += event.size;
    }
    entry_count_.store(count, std::memory_order_release);

    if (outgoing_pending_.load(std::memory_order_acquire)) {
        for (const auto& event : outgoing_) {
            auto* slot = jack_midi_event_reserve(out, event.frame, event.bytes.size());
            if (slot && !event.bytes.empty())
                std::memcpy(slot, event.bytes.data(), event.bytes.size());
        }
        sent_period_.store(period, std::memory_order_relaxed);
        outgoing_pending_.store(false, std::memory_order_release);
    }
    period_.store(period + 1, std::memory_order_release);
    return 0;
}

namespace {

bool poll_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace

std::uint64_t JackPeer::send_in_one_period(const std::vector<JackOutgoing>& events,
                                           std::chrono::milliseconds timeout) {
    if (!poll_until([&] { return !outgoing_pending_.load(); }, timeout))
        throw std::runtime_error("JACK peer: an earlier send is still pending");
    outgoing_ = events;
    outgoing_pending_.store(true, std::memory_order_release);
    if (!poll_until([&] { return !outgoing_pending_.load(std::memory_order_acquire); }, timeout))
        throw std::runtime_error("JACK peer: no process cycle ran to send the events");
    return sent_period_.load();
}

std::vector<JackEvent> JackPeer::received() const {
    std::size_t count = entry_count_.load(std::memory_order_acquire);
    std::vector<JackEvent> events;
    for (std::size_t i = first_entry_; i < count; ++i) {
        const Entry& e = entries_[i];
        events.push_back({std::vector<unsigned char>(bytes_.begin() + e.offset,
                                                     bytes_.begin() + e.offset + e.size),
                          e.frame, e.period_start, e.period});
    }
    return events;
}

std::vector<JackEvent> JackPeer::wait_events(std::size_t count,
                                             std::chrono::milliseconds timeout) const {
    poll_until([&] { return entry_count_.load() - first_entry_ >= count; }, timeout);
    return received();
}

void JackPeer::clear_received() {
    first_entry_ = entry_count_.load();
}

bool JackPeer::wait_periods(std::uint64_t count, std::chrono::milliseconds timeout) const {
    std::uint64_t target = period_.load() + count;
    return poll_until([&] { return period_.load() >= target; }, timeout);
}

} // namespace peers
