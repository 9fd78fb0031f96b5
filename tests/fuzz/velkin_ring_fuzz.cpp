// Fuzz target: whatever velkin_bridge's event ring holds, its process callback
// stays inside its buffers, puts only 1- to 15-byte messages into the port,
// empties the ring, and reads the next whole record normally afterwards.
#include "bridge.h"
#include "fake_jack_port.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    event_ring = jack_ringbuffer_create(event_ring_size);
    // The program's own lines would flood the fuzzer's output; the fuzzer
    // keeps the standard error it had.
    stderr = std::fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    jack_ringbuffer_reset(event_ring);
    overflow_count = 0;
    auto& port = fake_jack::port_buffer();
    // The input is written in pieces of up to 255 bytes, the first byte of
    // each piece saying how long it is, with a cycle after each piece.
    std::size_t at = 0;
    while (at < size) {
        std::size_t piece = data[at++];
        piece = std::min(piece, size - at);
        std::size_t room = jack_ringbuffer_write_space(event_ring);
        jack_ringbuffer_write(event_ring, reinterpret_cast<const char*>(data + at),
                              std::min(piece, room));
        at += piece;
        process_cycle(1024, nullptr);
        require(jack_ringbuffer_read_space(event_ring) == 0);
        for (std::size_t i = 0; i < port.event_count; ++i)
            require(port.events[i].time == 0 && port.events[i].size >= 1 &&
                    port.events[i].size <= max_midi_bytes);
    }
    // Framing is back: a whole record comes out as it went in.
    const unsigned char record[] = {3, 0x90, 60, 100};
    publish_record(record, sizeof record);
    process_cycle(1024, nullptr);
    require(port.event_count == 1 && port.events[0].size == 3 &&
            std::memcmp(port.bytes.data() + port.events[0].offset, record + 1, 3) == 0);
    return 0;
}
