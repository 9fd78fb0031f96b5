// Entry point of the test binaries that need a JACK server: it starts a
// private one that all tests of the binary share. End-to-end binaries also
// need the kernel sequencer (NEEDS_SEQUENCER).
#include "harness.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <iostream>

namespace {
e2e::JackServer* the_server = nullptr;
}

e2e::JackServer& e2e::suite_server() {
    return *the_server;
}

namespace {

class SuiteEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
#if NEEDS_SEQUENCER
        ASSERT_TRUE(e2e::has_sequencer())
            << "no ALSA sequencer (/dev/snd/seq): run this suite in the sequencer VM";
#endif
        std::string name = "e2e_" + std::to_string(getpid());
        e2e::use_jack_server(name);
        // Long periods leave slack for software emulation: a client that
        // misses its period (an xrun) loses that period's MIDI.
        e2e::JackServer::Options options;
#if SUITE_SERVER_WAITS
        // For clients that valgrind slows down many times over: jackd waits
        // for each (sync mode), for up to 30 s, instead of running the
        // period without a client that is late.
        options.jackd_options = {"--sync", "--timeout", "30000"};
#endif
        server_ = std::make_unique<e2e::JackServer>(name, e2e::suite_period, options);
        the_server = server_.get();
    }
    void TearDown() override {
        the_server = nullptr;
        server_.reset();
    }

  private:
    std::unique_ptr<e2e::JackServer> server_;
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new SuiteEnvironment);
    return RUN_ALL_TESTS();
}
