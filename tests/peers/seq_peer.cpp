#include "seq_peer.h"

#include <poll.h>

#include <array>
#include <cstring>
#include <stdexcept>

namespace peers {
namespace {

void check(int result, const char* what) {
    if (result < 0)
        throw std::runtime_error(std::string("sequencer peer: ") + what + ": " +
                                 snd_strerror(result));
}

SeqEvent record(const snd_seq_event_t& ev) {
    SeqEvent out;
    out.type = ev.type;
    out.flags = ev.flags;
    out.tag = ev.tag;
    out.queue = ev.queue;
    out.time = ev.time;
    out.source = {ev.source.client, ev.source.port};
    out.dest = {ev.dest.client, ev.dest.port};
    out.raw = ev;
    if (snd_seq_ev_is_variable(&ev) && ev.data.ext.len > 0) {
        auto* p = static_cast<const unsigned char*>(ev.data.ext.ptr);
        out.ext.assign(p, p + ev.data.ext.len);
    }
    return out;
}

} // namespace

SeqPeer::SeqPeer(const std::string& name) {
    check(snd_seq_open(&seq_, "hw", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK), "open");
    snd_seq_set_client_name(seq_, name.c_str());
    port_ =
        snd_seq_create_simple_port(seq_, "port",
                                   SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ |
                                       SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    check(port_, "create port");
    // Large enough for the longest system-exclusive message the tests send.
    check(snd_seq_set_client_pool_output(seq_, 1000), "output pool");
    check(snd_seq_set_output_buffer_size(seq_, 1 << 16), "output buffer");
    check(snd_seq_set_input_buffer_size(seq_, 1 << 16), "input buffer");
    // Room for long bursts sent to us before we read them.
    check(snd_seq_set_client_pool_input(seq_, 2000), "input pool");
    check(snd_midi_event_new(4096, &encoder_), "midi encoder");
}

SeqPeer::~SeqPeer() {
    if (encoder_) snd_midi_event_free(encoder_);
    if (seq_) snd_seq_close(seq_);
}

SeqAddress SeqPeer::address() const {
    return {snd_seq_client_id(seq_), port_};
}

void SeqPeer::connect_to(SeqAddress dest) {
    check(snd_seq_connect_to(seq_, port_, dest.client, dest.port), "connect to");
}

void SeqPeer::connect_from(SeqAddress source) {
    check(snd_seq_connect_from(seq_, port_, source.client, source.port), "connect from");
}

void SeqPeer::address(snd_seq_event_t& event, SeqAddress dest) const {
    snd_seq_ev_set_source(&event, port_);
    snd_seq_ev_set_dest(&event, dest.client, dest.port);
    snd_seq_ev_set_direct(&event);
}

void SeqPeer::send(snd_seq_event_t event, SeqAddress dest) {
    address(event, dest);
    // Non-blocking client: retry while the kernel pool is momentarily full.
    for (int attempt = 0;; ++attempt) {
        int result = snd_seq_event_output_direct(seq_, &event);
        if (result >= 0) return;
        if (result != -EAGAIN || attempt > 5000) check(result, "send");
        poll(nullptr, 0, 1);
    }
}

bool SeqPeer::try_send(snd_seq_event_t event, SeqAddress dest) {
    address(event, dest);
    int result = snd_seq_event_output_direct(seq_, &event);
    if (result == -EAGAIN) return false;
    check(result, "send");
    return true;
}

snd_seq_event_t SeqPeer::encode(const std::vector<unsigned char>& bytes) {
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_midi_event_reset_encode(encoder_);
    long used =
        snd_midi_event_encode(encoder_, bytes.data(), static_cast<long>(bytes.size()), &event);
    if (used <= 0 || event.type == SND_SEQ_EVENT_NONE)
        throw std::runtime_error("sequencer peer: bytes do not encode to an event");
    return event;
}

void SeqPeer::send_midi(const std::vector<unsigned char>& bytes, SeqAddress dest) {
    send(encode(bytes), dest);
}

bool SeqPeer::try_send_midi(const std::vector<unsigned char>& bytes, SeqAddress dest) {
    return try_send(encode(bytes), dest);
}

void SeqPeer::receive_pending(int timeout_ms) {
    std::array<pollfd, 4> fds{};
    int count = snd_seq_poll_descriptors(seq_, fds.data(), fds.size(), POLLIN);
    if (snd_seq_event_input_pending(seq_, 1) == 0) poll(fds.data(), count, timeout_ms);
    for (;;) {
        snd_seq_event_t* ev = nullptr;
        int result = snd_seq_event_input(seq_, &ev);
        if (result == -EAGAIN || result == -ENOSPC) {
            if (result == -ENOSPC) continue;
            break;
        }
        check(result, "input");
        if (ev) received_.push_back(record(*ev));
    }
}

const std::vector<SeqEvent>& SeqPeer::wait_events(std::size_t count,
                                                  std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received_.size() < count && std::chrono::steady_clock::now() < deadline)
        receive_pending(10);
    return received_;
}

const std::vector<SeqEvent>& SeqPeer::collect_for(std::chrono::milliseconds time) {
    auto deadline = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < deadline)
        receive_pending(10);
    return received_;
}

std::optional<int> SeqPeer::find_client(const std::string& name) const {
    snd_seq_client_info_t* info;
    snd_seq_client_info_alloca(&info);
    snd_seq_client_info_set_client(info, -1);
    while (snd_seq_query_next_client(seq_, info) >= 0)
        if (name == snd_seq_client_info_get_name(info)) return snd_seq_client_info_get_client(info);
    return std::nullopt;
}

std::optional<std::string> SeqPeer::client_name(int client) const {
    snd_seq_client_info_t* info;
    snd_seq_client_info_alloca(&info);
    if (snd_seq_get_any_client_info(seq_, client, info) < 0) return std::nullopt;
    return std::string(snd_seq_client_info_get_name(info));
}

std::vector<SeqPortInfo> SeqPeer::ports_of(int client) const {
    std::vector<SeqPortInfo> ports;
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    snd_seq_port_info_set_client(info, client);
    snd_seq_port_info_set_port(info, -1);
    while (snd_seq_query_next_port(seq_, info) >= 0)
        ports.push_back({snd_seq_port_info_get_port(info), snd_seq_port_info_get_name(info),
                         snd_seq_port_info_get_capability(info), snd_seq_port_info_get_type(info)});
    return ports;
}

std::vector<int> SeqPeer::queues_of(int client) const {
    std::vector<int> queues;
    snd_seq_queue_info_t* info;
    snd_seq_queue_info_alloca(&info);
    // The kernel has at most 32 queues.
    for (int q = 0; q < 32; ++q) {
        if (snd_seq_get_queue_info(seq_, q, info) < 0) continue;
        if (snd_seq_queue_info_get_owner(info) == client) queues.push_back(q);
    }
    return queues;
}

} // namespace peers
