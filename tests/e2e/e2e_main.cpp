// Entry point of the test binaries that need a JACK server: it starts a
// private one that all tests of the binary share. End-to-end binaries also
// need the kernel sequencer (NEEDS_SEQUENCER).
#include "harness.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
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

// jackd2 registers each server in a table in /dev/shm with room for 8, and a
// server ended by SIGKILL, as some tests end theirs, keeps its place there
// until a server of the same name starts again. Where it may (as root), the
// binary gives itself, and so every server and client it starts, a /dev/shm
// of its own: what its servers leave there ends with it, and a JACK server
// that the machine runs meanwhile neither sees its servers nor is seen.
void use_own_shared_memory() {
    if (unshare(CLONE_NEWNS) != 0) return;
    // Mounts made from here on stay in this process's mount namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    mount("e2e-shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
}

} // namespace

int main(int argc, char** argv) {
    use_own_shared_memory();
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new SuiteEnvironment);
    return RUN_ALL_TESTS();
}
