#include "bridge_process.h"

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <csignal>
#include <stdexcept>

namespace e2e {

namespace {

using Bytes = std::vector<unsigned char>;

// A JACK connection carries data from some period after jack_connect has
// returned: on jackd2 the next one, on PipeWire once the daemon has set the
// link up, some periods later. Until then a message sent through the bridge
// is lost, so a test's first messages could be. This sends numbered probes
// (a controller on channel 16) until the one sent last has come through:
// those before it have come through or are lost, and no other is on its way.
void pass_probe(const std::function<void(const Bytes&)>& send,
                const std::function<bool(const Bytes&)>& arrived) {
    for (int number = 0; number < 128; ++number) {
        const Bytes probe{0xbf, 0x77, static_cast<unsigned char>(number)};
        send(probe);
        if (wait_until([&] { return arrived(probe); }, 1s)) return;
    }
    throw std::runtime_error("no message passed the new JACK connection");
}

} // namespace

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
    // Until a message has passed, the new connection may not carry any.
    auto send = [&](const Bytes& probe) { seq.send_midi(probe, bridge.port); };
    auto arrived = [&](const Bytes& probe) {
        for (const auto& e : jack.received())
            if (e.bytes == probe) return true;
        return false;
    };
    pass_probe(send, arrived);
    jack.clear_received();
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
    auto send = [&](const Bytes& probe) { jack.send_in_one_period({{0, probe}}, long_wait); };
    auto arrived = [&](const Bytes& probe) {
        seq.collect_for(10ms);
        for (const auto& e : seq.received())
            if (e.type == SND_SEQ_EVENT_CONTROLLER && e.raw.data.control.channel == 15 &&
                e.raw.data.control.param == probe[1] && e.raw.data.control.value == probe[2])
                return true;
        return false;
    };
    pass_probe(send, arrived);
    seq.clear_received();
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
