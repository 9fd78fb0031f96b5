// Both bridges under the real-time watch (librt_watch.so): through a stream of
// events, their process callbacks make no call that could block or allocate.
#include "bridge_process.h"
#include "harness.h"
#include "jack_peer.h"
#include "seq_peer.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <unistd.h>

#include <csignal>
#include <sstream>

using namespace e2e;
using peers::JackOutgoing;
using peers::JackPeer;
using peers::SeqPeer;

namespace {

// "name count" lines of the watch's report.
std::map<std::string, long> read_report(const std::string& path) {
    std::map<std::string, long> report;
    std::istringstream in(read_file(path));
    std::string name;
    long count;
    while (in >> name >> count)
        report[name] = count;
    return report;
}

void expect_clean(const std::map<std::string, long>& report, long min_callbacks) {
    ASSERT_FALSE(report.empty()) << "no report from the watch";
    for (const auto& [name, count] : report) {
        if (name == "callbacks")
            EXPECT_GE(count, min_callbacks);
        else
            EXPECT_EQ(count, 0) << name << " called from the process callback";
    }
}

std::map<std::string, std::string> watch_env(const std::string& report) {
    return {{"LD_PRELOAD", RT_WATCH_LIBRARY}, {"RT_WATCH_REPORT", report}};
}

class RealTimeSafety : public ::testing::Test {
  protected:
    SeqPeer seq{"rt_test_seq"};
    JackPeer jack{"rt_test_jack"};
    std::string report = "/tmp/rt-watch-" + std::to_string(getpid()) + ".txt";
    void TearDown() override {
        unlink(report.c_str());
    }
};

TEST_F(RealTimeSafety, VelkinBridgeCallbackThroughAStream) {
    BridgeProcess b = start_velkin(seq, jack, {VELKIN_BRIDGE}, "velkin_bridge", watch_env(report));
    constexpr int batches = 20, per_batch = 100;
    for (int batch = 0; batch < batches; ++batch) {
        for (int i = 0; i < per_batch; ++i)
            seq.send_midi({static_cast<unsigned char>(0x90 | (i % 16)),
                           static_cast<unsigned char>(i), static_cast<unsigned char>(batch + 1)},
                          b.port);
        ASSERT_EQ(jack.wait_events((batch + 1) * per_batch, long_wait).size(),
                  static_cast<std::size_t>((batch + 1) * per_batch));
    }
    stop_quietly(*b.child);
    expect_clean(read_report(report), batches);
}

TEST_F(RealTimeSafety, DornelBridgeCallbackThroughAStream) {
    BridgeProcess b = start_dornel(seq, jack, {DORNEL_BRIDGE}, "dornel_bridge", watch_env(report));
    constexpr int periods = 40, per_period = 20;
    for (int p = 0; p < periods; ++p) {
        std::vector<JackOutgoing> events;
        for (int i = 0; i < per_period; ++i)
            events.push_back({static_cast<jack_nframes_t>(i * 10),
                              {static_cast<unsigned char>(0x90 | (i % 16)),
                               static_cast<unsigned char>(i), static_cast<unsigned char>(p + 1)}});
        jack.send_in_one_period(events, long_wait);
    }
    ASSERT_EQ(seq.wait_events(periods * per_period, long_wait).size(),
              static_cast<std::size_t>(periods * per_period));
    stop_quietly(*b.child);
    expect_clean(read_report(report), periods);
}

} // namespace
