// Both bridges under valgrind's memcheck: a short stream and an orderly stop
// with no invalid access, no use of undefined values and no memory lost.
#include "bridge_process.h"
#include "harness.h"
#include "jack_peer.h"
#include "seq_peer.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <unistd.h>

#include <csignal>

using namespace e2e;
using peers::JackPeer;
using peers::SeqPeer;

namespace {

constexpr int memcheck_error = 99;

class Memcheck : public ::testing::Test {
  protected:
    SeqPeer seq{"memcheck_test_seq"};
    JackPeer jack{"memcheck_test_jack"};
    std::string log = "/tmp/memcheck-" + std::to_string(getpid()) + ".log";

    std::vector<std::string> under_memcheck(const char* program) {
        return {"valgrind",
                "--tool=memcheck",
                "--error-exitcode=" + std::to_string(memcheck_error),
                "--leak-check=full",
                "--show-leak-kinds=definite",
                "--errors-for-leak-kinds=definite",
                "--log-file=" + log,
                program};
    }

    // An orderly stop: status 0, which memcheck turns into 99 on any error.
    void stop_and_check(Child& bridge) {
        bridge.signal(SIGTERM);
        auto status = bridge.wait_exit(long_wait * 4);
        std::string report = read_file(log);
        EXPECT_EQ(status, 0) << report;
        EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
        unlink(log.c_str());
    }
};

TEST_F(Memcheck, VelkinBridge) {
    BridgeProcess b = start_velkin(seq, jack, under_memcheck(VELKIN_BRIDGE));
    for (int i = 0; i < 20; ++i) {
        seq.send_midi({0x90, static_cast<unsigned char>(40 + i), 100}, b.port);
        seq.send_midi({0xf0, 1, 2, 3, 0xf7}, b.port);
    }
    // Under memcheck the process callback may miss periods: some arriving is
    // enough to know the stream went through.
    EXPECT_GE(jack.wait_events(1, long_wait * 2).size(), 1u);
    stop_and_check(*b.child);
}

TEST_F(Memcheck, DornelBridge) {
    BridgeProcess b = start_dornel(seq, jack, under_memcheck(DORNEL_BRIDGE));
    for (int i = 0; i < 20; ++i)
        jack.send_in_one_period({{0, {0x90, static_cast<unsigned char>(40 + i), 100}},
                                 {10, {0xf0, 1, 2, 3, 0xf7}},
                                 {20, {}}},
                                long_wait);
    // Its first event shows the main loop runs, its stop signals handled.
    EXPECT_GE(seq.wait_events(1, long_wait * 2).size(), 1u);
    stop_and_check(*b.child);
}

} // namespace
