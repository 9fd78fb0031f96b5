// velkin_bridge's process callback, driven directly: the test fills the event
// ring with chosen bytes, runs one cycle and reads the port buffer back.
#include "bridge.h"
#include "harness.h"

#include <gtest/gtest.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

using Bytes = std::vector<unsigned char>;

namespace {

constexpr jack_nframes_t nframes = 1024;

struct Cycle {
    std::vector<std::pair<jack_nframes_t, Bytes>> events;
    std::string err;
};

class VelkinProcessCycle : public ::testing::Test {
  protected:
    void SetUp() override {
        jack_status_t status;
        jack_client = jack_client_open("velkin_cycle_test", JackNoStartServer, &status);
        ASSERT_NE(jack_client, nullptr);
        output_port =
            jack_port_register(jack_client, "capture", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        ASSERT_NE(output_port, nullptr);
        event_ring = jack_ringbuffer_create(event_ring_size);
        jack_ringbuffer_reset(event_ring);
        overflow_count = 0;
    }
    void TearDown() override {
        jack_client_close(jack_client);
        jack_ringbuffer_free(event_ring);
    }

    void put(const Bytes& bytes) {
        ASSERT_EQ(jack_ringbuffer_write(event_ring, reinterpret_cast<const char*>(bytes.data()),
                                        bytes.size()),
                  bytes.size());
    }

    // Runs one cycle with standard error caught, and reads what it produced.
    Cycle run_cycle() {
        std::fflush(stderr);
        std::FILE* caught = std::tmpfile();
        int saved = dup(2);
        dup2(fileno(caught), 2);
        process_cycle(nframes, nullptr);
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);

        Cycle cycle;
        std::rewind(caught);
        for (int c; (c = std::fgetc(caught)) != EOF;)
            cycle.err.push_back(static_cast<char>(c));
        std::fclose(caught);

        void* buffer = jack_port_get_buffer(output_port, nframes);
        for (std::uint32_t i = 0; i < jack_midi_get_event_count(buffer); ++i) {
            jack_midi_event_t event;
            jack_midi_event_get(&event, buffer, i);
            cycle.events.push_back({event.time, Bytes(event.buffer, event.buffer + event.size)});
        }
        return cycle;
    }
};

TEST_F(VelkinProcessCycle, MovesEveryRecordToFrameZeroInOrderAndClearsTheBufferEachCycle) {
    Bytes longest(15, 0x22);
    longest.front() = 0xf0;
    longest.back() = 0xf7;
    put({3, 0x90, 60, 100});
    put({1, 0xf8});
    put({2, 0xc3, 7});
    Bytes record(1 + longest.size(), 15);
    std::copy(longest.begin(), longest.end(), record.begin() + 1);
    put(record);

    Cycle cycle = run_cycle();
    using Events = decltype(cycle.events);
    EXPECT_EQ(cycle.events,
              (Events{{0, {0x90, 60, 100}}, {0, {0xf8}}, {0, {0xc3, 7}}, {0, longest}}));
    EXPECT_EQ(cycle.err, "");
    EXPECT_EQ(jack_ringbuffer_read_space(event_ring), 0u);

    EXPECT_TRUE(run_cycle().events.empty()) << "the buffer must be cleared every cycle";
    EXPECT_EQ(overflow_count, 0);
}

TEST_F(VelkinProcessCycle, RecoversFromBytesThatAreNotWholeRecords) {
    struct Case {
        const char* what;
        Bytes ring;
    };
    for (const Case& c : {
             Case{"length byte 0", {0, 3, 0x90, 1, 2}},
             Case{"length byte 16", {16, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
             Case{"length byte 255", Bytes(40, 255)},
             Case{"record cut short", {5, 0x90, 1}},
         }) {
        SCOPED_TRACE(c.what);
        put(c.ring);
        Cycle broken = run_cycle();
        EXPECT_TRUE(broken.events.empty());
        EXPECT_EQ(broken.err, "???? short read from ringbuffer!\n");
        EXPECT_EQ(jack_ringbuffer_read_space(event_ring), 0u);

        // The next record written is read normally.
        put({3, 0x80, 60, 0});
        Cycle next = run_cycle();
        ASSERT_EQ(next.events.size(), 1u);
        EXPECT_EQ(next.events[0].second, (Bytes{0x80, 60, 0}));
        EXPECT_EQ(next.err, "");
    }
}

// The main thread writes while the process thread reads: every record must
// come out whole, however the writes fall against the end of the ring.
TEST_F(VelkinProcessCycle, ReadsRecordsWholeWhileTheyAreWrittenConcurrently) {
    constexpr int records = 200000;
    auto record_of = [](int i) {
        Bytes record(1 + 1 + i % max_midi_bytes);
        record[0] = static_cast<unsigned char>(record.size() - 1);
        for (std::size_t b = 1; b < record.size(); ++b)
            record[b] = static_cast<unsigned char>((i + b) & 0x7f);
        return record;
    };
    std::atomic<bool> reader_done{false};
    std::thread writer([&] {
        for (int i = 0; i < records && !reader_done; ++i) {
            Bytes record = record_of(i);
            while (jack_ringbuffer_write_space(event_ring) < record.size() && !reader_done)
                std::this_thread::yield();
            if (!reader_done) publish_record(record.data(), record.size());
            // Now and then let the reader catch up, as the sequencer's pace
            // does, so that no cycle outgrows the port buffer.
            if (i % 64 == 63)
                while (jack_ringbuffer_read_space(event_ring) != 0 && !reader_done)
                    std::this_thread::yield();
        }
    });
    int next = 0, wrong = 0;
    std::string err;
    while (next < records && wrong == 0) {
        Cycle cycle = run_cycle();
        err += cycle.err;
        for (const auto& [frame, bytes] : cycle.events) {
            Bytes record = record_of(next++);
            if (bytes != Bytes(record.begin() + 1, record.end()) || frame != 0) ++wrong;
        }
        if (!err.empty()) break;
    }
    reader_done = true;
    writer.join();
    EXPECT_EQ(wrong, 0) << "record " << next - 1 << " came out wrong";
    EXPECT_EQ(err, "");
    EXPECT_EQ(next, records);
}

} // namespace
