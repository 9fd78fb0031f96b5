// Writes a short Standard MIDI File for the demo: a few bars of a melody over
// a held chord, on channel 1, at 120 beats per minute.
//
//   make_tune out.mid
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int ticks_per_beat = 96;

void put_var_length(Bytes& out, std::uint32_t value) {
    unsigned char bytes[4];
    int count = 0;
    do {
        bytes[count++] = value & 0x7f;
        value >>= 7;
    } while (value != 0);
    while (count > 1)
        out.push_back(bytes[--count] | 0x80);
    out.push_back(bytes[0]);
}

void put_be(Bytes& out, std::uint32_t value, int size) {
    for (int shift = (size - 1) * 8; shift >= 0; shift -= 8)
        out.push_back((value >> shift) & 0xff);
}

struct Track {
    Bytes data;
    void event(std::uint32_t delta, Bytes bytes) {
        put_var_length(data, delta);
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
};

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fputs("usage: make_tune out.mid\n", stderr);
        return 2;
    }
    Track track;
    track.event(0, {0xff, 0x51, 0x03, 0x07, 0xa1, 0x20}); // 500000 us per beat
    track.event(0, {0xc0, 0});                            // piano
    // A C major chord held under the melody.
    for (unsigned char note : {48, 52, 55})
        track.event(0, {0x90, note, 60});
    const unsigned char melody[] = {60, 62, 64, 65, 67, 65, 64, 62, 60};
    for (unsigned char note : melody) {
        track.event(0, {0x90, note, 100});
        track.event(ticks_per_beat / 2, {0x80, note, 0});
    }
    for (unsigned char note : {48, 52, 55})
        track.event(0, {0x80, note, 0});
    track.event(0, {0xff, 0x2f, 0x00}); // end of track

    Bytes file = {'M', 'T', 'h', 'd'};
    put_be(file, 6, 4);
    put_be(file, 0, 2); // format 0
    put_be(file, 1, 2); // one track
    put_be(file, ticks_per_beat, 2);
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    put_be(file, static_cast<std::uint32_t>(track.data.size()), 4);
    file.insert(file.end(), track.data.begin(), track.data.end());

    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(file.data(), 1, file.size(), out) != file.size() ||
        std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
