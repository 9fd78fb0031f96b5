#include "stream_client.h"

#include <jack/midiport.h>

#include <time.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace bench {

std::int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::array<unsigned char, 3> tagged_note(std::uint32_t tag) {
    tag %= max_tag;
    return {static_cast<unsigned char>(0x90 | (tag / (128 * 127))),
            static_cast<unsigned char>(tag % 128),
            static_cast<unsigned char>(1 + (tag / 128) % 127)};
}

long tag_of(const unsigned char* bytes, std::size_t size) {
    if (size != 3 || (bytes[0] & 0xf0) != 0x90 || bytes[1] > 127 || bytes[2] < 1 || bytes[2] > 127)
        return -1;
    return (bytes[0] & 0x0f) * 128L * 127 + (bytes[2] - 1) * 128L + bytes[1];
}

StreamClient::StreamClient(const std::string& name, std::size_t capacity) : arrivals_(capacity) {
    jack_status_t status;
    client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (!client_) throw std::runtime_error("bench: cannot connect to the JACK server");
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!in_ || !out_) throw std::runtime_error("bench: cannot register ports");
    jack_set_process_callback(client_, &StreamClient::process, this);
    jack_set_xrun_callback(client_, &StreamClient::on_xrun, this);
    if (jack_activate(client_) != 0) throw std::runtime_error("bench: cannot activate");
}

StreamClient::~StreamClient() {
    jack_client_close(client_);
}

std::string StreamClient::in_port() const {
    return jack_port_name(in_);
}

std::string StreamClient::out_port() const {
    return jack_port_name(out_);
}

jack_nframes_t StreamClient::period() const {
    return jack_get_buffer_size(client_);
}

jack_nframes_t StreamClient::sample_rate() const {
    return jack_get_sample_rate(client_);
}

int StreamClient::on_xrun(void* self) {
    static_cast<StreamClient*>(self)->xruns_.fetch_add(1);
    return 0;
}

int StreamClient::process(jack_nframes_t nframes, void* argument) {
    std::int64_t cycle_ns = now_ns();
    auto& self = *static_cast<StreamClient*>(argument);
    jack_nframes_t start = jack_last_frame_time(self.client_);

    void* in = jack_port_get_buffer(self.in_, nframes);
    std::size_t count = self.arrival_count_.load(std::memory_order_relaxed);
    std::uint32_t events = jack_midi_get_event_count(in);
    for (std::uint32_t i = 0; i < events && count < self.arrivals_.size(); ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, in, i) != 0) continue;
        long tag = tag_of(event.buffer, event.size);
        self.arrivals_[count++] = {tag < 0 ? max_tag : static_cast<std::uint32_t>(tag), start,
                                   event.time, cycle_ns, self.last_cycle_ns_};
    }
    self.arrival_count_.store(count, std::memory_order_release);

    void* out = jack_port_get_buffer(self.out_, nframes);
    jack_midi_clear_buffer(out);
    if (self.playing_.load(std::memory_order_acquire)) self.play_due(out, start, nframes, cycle_ns);
    self.last_cycle_ns_ = cycle_ns;
    self.cycles_.fetch_add(1, std::memory_order_release);
    return 0;
}

void StreamClient::play_due(void* buffer, jack_nframes_t start, jack_nframes_t nframes,
                            std::int64_t cycle_ns) {
    if (!started_) {
        started_ = true;
        start_ = start;
        next_ = 0;
    }
    for (; next_ < offsets_.size(); ++next_) {
        // Frame differences on the wrapping 32-bit frame clock.
        auto due = static_cast<std::int32_t>(start_ + offsets_[next_] - start);
        if (due >= static_cast<std::int32_t>(nframes)) break;
        auto note = tagged_note(static_cast<std::uint32_t>(next_));
        auto frame = static_cast<jack_nframes_t>(due < 0 ? 0 : due);
        jack_midi_data_t* slot = jack_midi_event_reserve(buffer, frame, note.size());
        if (slot)
            std::memcpy(slot, note.data(), note.size());
        else
            refused_.fetch_add(1, std::memory_order_relaxed);
        sent_period_start_[next_] = start;
        sent_cycle_ns_[next_] = cycle_ns;
    }
    if (next_ == offsets_.size()) {
        started_ = false;
        playing_.store(false, std::memory_order_release);
    }
}

void StreamClient::play(const std::vector<jack_nframes_t>& offsets) {
    offsets_ = offsets;
    sent_period_start_.assign(offsets.size(), 0);
    sent_cycle_ns_.assign(offsets.size(), 0);
    refused_.store(0);
    playing_.store(true, std::memory_order_release);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (playing_.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("bench: the JACK stream did not play");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<Arrival> StreamClient::arrivals() const {
    std::size_t count = arrival_count_.load(std::memory_order_acquire);
    return {arrivals_.begin() + static_cast<long>(first_arrival_),
            arrivals_.begin() + static_cast<long>(count)};
}

void StreamClient::clear_arrivals() {
    first_arrival_ = arrival_count_.load();
}

bool StreamClient::wait_cycles(std::uint64_t count) const {
    std::uint64_t target = cycles_.load() + count;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (cycles_.load() < target) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace bench
