// velkin_bridge [client-name]
//
// Forwards MIDI from the ALSA sequencer port "playback" to the JACK MIDI port
// "capture". The main thread waits on the sequencer and writes each event's
// MIDI bytes into a lock-free ring; the JACK process callback puts them into
// the next period, at its first frame.
#include "bridge.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char default_client_name[] = "velkin_bridge";
constexpr int poll_timeout_ms = 1000;
constexpr int decoder_buffer_size = 16;
// Cells of the kernel's input pool for our client: its largest (the default
// is 200).
constexpr int input_pool_size = 2000;
// The sequencer gives one descriptor for input; room for more costs nothing.
constexpr int max_poll_descriptors = 8;

std::int32_t reported_overflow = 0;

void on_stop_signal(int) {
    // A second SIGINT or SIGTERM ends the process at once, by their default
    // action.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    request_stop();
}

// Runs on a JACK thread, which the library may cancel at any instruction
// while it closes the client; JACK asks for a handler as safe as a signal
// handler. One write(2): no stdio lock that a cancelled thread could keep.
void on_jack_shutdown(void*) {
    constexpr char line[] = "JACK shutdown notification received.\n";
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line, sizeof line - 1);
    request_stop();
}

[[noreturn]] void fail(const char* message) {
    std::fputs(message, stderr);
    std::exit(1);
}

void report_overflow() {
    std::int32_t count = overflow_count.load();
    if (count == reported_overflow) return;
    reported_overflow = count;
    std::fprintf(stderr, "JACK port write overflow count now %d\n", count);
}

} // namespace

int main(int argc, char* argv[]) {
    const char* name = argc == 2 ? argv[1] : default_client_name;

    if (snd_seq_open(&seq, "hw", SND_SEQ_OPEN_INPUT, 0) < 0)
        fail("Error opening ALSA sequencer.\n");
    snd_seq_set_client_name(seq, name);
    // The kernel queues what is sent to us in this pool until we read it,
    // and drops all of it when it overflows: take the largest it allows.
    // (A cleared record of our own: snd_seq_set_client_pool_input hands the
    // kernel one with bytes it never set.)
    snd_seq_client_pool_t* pool;
    snd_seq_client_pool_alloca(&pool);
    snd_seq_get_client_pool(seq, pool);
    snd_seq_client_pool_set_input_pool(pool, input_pool_size);
    snd_seq_set_client_pool(seq, pool);
    if (snd_seq_create_simple_port(seq, "playback",
                                   SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                   SND_SEQ_PORT_TYPE_HARDWARE) < 0)
        fail("Error creating sequencer port.\n");

    std::array<pollfd, max_poll_descriptors> descriptors{};
    int descriptor_count =
        std::clamp(snd_seq_poll_descriptors_count(seq, POLLIN), 0, max_poll_descriptors);
    snd_seq_poll_descriptors(seq, descriptors.data(), descriptor_count, POLLIN);

    if (snd_midi_event_new(decoder_buffer_size, &decoder) != 0)
        fail("Error initializing ALSA MIDI decoder!\n");
    snd_midi_event_reset_decode(decoder);
    snd_midi_event_no_status(decoder, 1);

    event_ring = jack_ringbuffer_create(event_ring_size);
    if (event_ring == nullptr) fail("Failed to create ringbuffer!\n");
    jack_ringbuffer_reset(event_ring);

    jack_status_t status;
    jack_client = jack_client_open(name, JackNullOption, &status);
    if (jack_client == nullptr) fail("Failed to connect to JACK server!\n");
    output_port =
        jack_port_register(jack_client, "capture", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (output_port == nullptr) fail("Failed to create JACK MIDI port!\n");
    jack_set_process_callback(jack_client, process_cycle, nullptr);

    running.store(1);
    install_stop_bound();
    jack_on_shutdown(jack_client, on_jack_shutdown, nullptr);
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    if (jack_activate(jack_client) != 0) fail("Failed to activate JACK client!\n");

    while (running.load() != 0) {
        if (poll(descriptors.data(), descriptor_count, poll_timeout_ms) > 0)
            read_sequencer_events(seq);
        report_overflow();
    }

    jack_client_close(jack_client);
    jack_ringbuffer_free(event_ring);
    snd_seq_close(seq);
    return 0;
}
