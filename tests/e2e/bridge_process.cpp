#include "bridge_process.h"

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <csignal>
#include <stdexcept>

namespace e2e {

BridgeProcess start_bridge(const std::vector<std::string>& argv, const std::string& name,
                           peers::SeqPeer& seq, const std::function<int()>& connect,
                           const std::map<std::string, std::string>& env) {
    BridgeProcess bridge{std::make_unique<Child>(argv, env), {}};
    QuietJack quiet;
    bool up = wait_until(
        [&] {
            if (!bridge.child->running()) return true;
            auto client = seq.find_client(name);
            if (!client) return false;
            auto ports = seq.ports_of(*client);
            if (ports.empty()) return false;
            bridge.port = {*client, ports[0].port};
            int connected = connect();
            return (connected == 0 || connected == EEXIST) &&
                   catches_signals(bridge.child->pid(), {SIGINT, SIGTERM});
        },
        long_wait);
    if (!up || !bridge.child->running())
        throw std::runtime_error(
            name + " did not start (" + (bridge.child->running() ? "running" : "ended") +
            ", sequencer port " + std::to_string(bridge.port.client) + ":" +
            std::to_string(bridge.port.port) + ", signals " +
            (catches_signals(bridge.child->pid(), {SIGINT, SIGTERM}) ? "" : "not ") +
            "handled, last JACK message: " + QuietJack::last_message() +
            "): " + bridge.child->err() + "\n" + describe_threads(bridge.child->pid()));
    return bridge;
}

void wait_main_loop(const BridgeProcess& velkin, const std::string& name) {
    if (!wait_read_all(velkin))
        throw std::runtime_error(name + " did not reach its main loop:\n" +
                                 describe_threads(velkin.child->pid()));
}

BridgeProcess start_velkin(peers::SeqPeer& seq, peers::JackPeer& jack,
                           const std::vector<std::string>& argv, const std::string& name,
                           const std::map<std::string, std::string>& env) {
    BridgeProcess bridge = start_bridge(
        argv, name, seq,
        [&] {
            return jack_connect(jack.client(), (name + ":capture").c_str(), jack.in_port().c_str());
        },
        env);
    wait_main_loop(bridge, name);
    return bridge;
}

BridgeProcess start_dornel(peers::SeqPeer& seq, peers::JackPeer& jack,
                           const std::vector<std::string>& argv, const std::string& name,
                           const std::map<std::string, std::string>& env) {
    BridgeProcess bridge = start_bridge(
        argv, name, seq,
        [&] {
            return jack_connect(jack.client(), jack.out_port().c_str(),
                                (name + ":playback").c_str());
        },
        env);
    seq.connect_from(bridge.port);
    return bridge;
}

bool wait_read_all(const BridgeProcess& velkin) {
    return wait_until(
        [&] {
            return seq_input_pool(velkin.port.client, "Cells in use") == 0 &&
                   waiting_in_poll(velkin.child->pid());
        },
        long_wait);
}

bool wait_input_room(const BridgeProcess& velkin) {
    return wait_until([&] { return seq_input_pool(velkin.port.client, "Cells in use") < 100; },
                      long_wait);
}

void stop_quietly(Child& bridge) {
    bridge.signal(SIGTERM);
    EXPECT_EQ(bridge.wait_exit(long_wait), 0);
    EXPECT_EQ(bridge.err(), "");
    EXPECT_EQ(bridge.out(), "");
}

void expect_setup_failure(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env, const std::string& line,
                          const std::vector<std::string>& ours) {
    SCOPED_TRACE(line);
    Child bridge(argv, env);
    EXPECT_EQ(bridge.wait_exit(long_wait), 1);
    auto lines = bridge.err_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), line);
    EXPECT_EQ(lines_among(lines, ours), std::vector<std::string>{line});
    EXPECT_EQ(bridge.out(), "");
}

} // namespace e2e
