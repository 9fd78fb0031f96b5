// dornel_bridge [client-name]
//
// Forwards MIDI from the JACK MIDI port "playback" to the ALSA sequencer port
// "capture". The JACK process callback copies each period's events into a
// lock-free ring; the main thread polls the ring every millisecond, encodes
// each record into a sequencer event and sends it to the port's subscribers.
#include "bridge.h"

#include <csignal>
#include <cstdio>
#include <ctime>

namespace {

constexpr char default_client_name[] = "dornel_bridge";
constexpr timespec loop_pause{0, 1'000'000};

void on_stop_signal(int) {
    // A second SIGINT or SIGTERM ends the process at once, by their default
    // action.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    request_stop();
}

bool report(const char* message) {
    std::fputs(message, stderr);
    return false;
}

bool setup_sequencer(const char* name) {
    if (snd_seq_open(&seq, "hw", SND_SEQ_OPEN_OUTPUT, 0) < 0)
        return report("Error opening ALSA sequencer.\n");
    snd_seq_set_client_name(seq, name);
    port_id = snd_seq_create_simple_port(seq, "capture",
                                         SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                         SND_SEQ_PORT_TYPE_HARDWARE);
    if (port_id < 0) return report("Error creating sequencer port.\n");
    queue_id = snd_seq_alloc_queue(seq);
    if (snd_midi_event_new(max_message_size, &encoder) != 0)
        return report("Error initializing ALSA MIDI encoder!\n");
    snd_seq_control_queue(seq, queue_id, SND_SEQ_EVENT_START, 0, nullptr);
    return true;
}

bool setup_jack(const char* name) {
    jack_status_t status;
    jack_client = jack_client_open(name, JackNullOption, &status);
    if (jack_client == nullptr) return report("Failed to connect to JACK server!\n");
    input_port =
        jack_port_register(jack_client, "playback", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (input_port == nullptr) return report("Failed to create JACK MIDI port!\n");
    event_ring = jack_ringbuffer_create(event_ring_size);
    if (event_ring == nullptr) return report("Failed to create ringbuffer!\n");
    jack_ringbuffer_reset(event_ring);
    jack_set_process_callback(jack_client, process_cycle, event_ring);
    if (jack_activate(jack_client) != 0) return report("Failed to activate JACK client!\n");
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    const char* name = argc == 2 ? argv[1] : default_client_name;
    if (!setup_sequencer(name) || !setup_jack(name)) return 1;
    install_stop_bound();
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);

    std::uint64_t last_seen = 0;
    while (running.load() != 0) {
        std::uint64_t overflows = overflow_count.load();
        if (overflows != last_seen) {
            std::fputs("Overflow, MIDI events are coming in too fast!\n", stderr);
            last_seen = overflows;
        }
        while (jack_ringbuffer_read_space(event_ring) >= header_size && running.load() != 0)
            forward_record();
        nanosleep(&loop_pause, nullptr);
    }

    jack_client_close(jack_client);
    jack_ringbuffer_free(event_ring);
    snd_seq_close(seq);
    return 0;
}
