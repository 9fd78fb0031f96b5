#include "harness.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace e2e {

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

std::string temp_path(const char* what) {
    static int counter = 0;
    return "/tmp/e2e-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" + what;
}

} // namespace

Child::Child(std::vector<std::string> argv, std::map<std::string, std::string> env)
    : out_path_(temp_path("out")), err_path_(temp_path("err")) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (auto& [key, value] : env) {
        if (value.empty())
            merged.erase(key);
        else
            merged[key] = value;
    }
    std::vector<std::string> env_strings;
    for (auto& [key, value] : merged)
        env_strings.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    // Nothing else of ours: the JACK library's sockets are not close-on-exec,
    // and a child holding this process's connection to a JACK server would
    // keep it open after we close it.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // The child starts with default signal dispositions and an empty mask,
    // whatever the test runner has set.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    int result = posix_spawnp(&pid_, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (result != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Child::~Child() {
    if (!status_) {
        kill(pid_, SIGKILL);
        wait_exit(10s);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

void Child::signal(int signal_number) {
    if (!status_) kill(pid_, signal_number);
}

bool Child::running() {
    if (status_) return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return !status_;
}

std::optional<int> Child::wait_exit(std::chrono::milliseconds timeout) {
    wait_until([&] { return !running(); }, timeout);
    return status_;
}

std::string Child::out() {
    return read_file(out_path_);
}

std::string Child::err() {
    return read_file(err_path_);
}

std::vector<std::string> Child::err_lines() {
    std::vector<std::string> lines;
    std::istringstream in(err());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool on_pipewire() {
    static const bool pipewire = [] {
        const char* jack = std::getenv("E2E_JACK");
        return jack && std::string(jack) == "pipewire";
    }();
    return pipewire;
}

namespace {

// PipeWire's clients find a daemon by the name of its socket in
// XDG_RUNTIME_DIR (PIPEWIRE_REMOTE), which also outranks a server name that
// a client gives, and load PipeWire's JACK library from its own directory
// (as pw-jack has it: ld.so expands ${LIB}).
std::map<std::string, std::string> server_env(const std::string& name,
                                              bool pipewire = on_pipewire()) {
    std::map<std::string, std::string> env{{"JACK_DEFAULT_SERVER", name},
                                           {"JACK_NO_START_SERVER", "1"}};
    if (pipewire) {
        env["PIPEWIRE_REMOTE"] = name;
        env["LD_LIBRARY_PATH"] = "/usr/${LIB}/pipewire-0.3/jack";
    }
    return env;
}

// The runtime directory that PipeWire's daemons and clients share: a private
// one unless the caller has one.
void prepare_pipewire_runtime() {
    if (std::getenv("XDG_RUNTIME_DIR")) return;
    std::string dir = "/tmp/e2e-pipewire-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
}

} // namespace

void use_jack_server(const std::string& name) {
    for (const auto& [key, value] : server_env(name))
        setenv(key.c_str(), value.c_str(), 1);
}

std::map<std::string, std::string> no_jack_server_env() {
    return server_env("no_such_server");
}

namespace {

std::string silenced;
void ignore_jack_message(const char* message) {
    silenced = message;
}
void print_jack_message(const char* message) {
    std::fprintf(stderr, "%s\n", message);
}

} // namespace

QuietJack::QuietJack() {
    jack_set_error_function(ignore_jack_message);
}

QuietJack::~QuietJack() {
    jack_set_error_function(print_jack_message);
}

std::string QuietJack::last_message() {
    return silenced;
}

bool jack_connect_on(const std::string& server, const std::string& source,
                     const std::string& destination) {
    Child connect({"jack_connect", "-s", server, source, destination}, server_env(server));
    return connect.wait_exit(long_wait) == 0;
}

JackServer::JackServer(std::string name, int period, Options options)
    : name_(std::move(name)), pipewire_(options.pipewire) {
    std::string frames = std::to_string(period);
    if (pipewire_) {
        prepare_pipewire_runtime();
        // The daemon's settings: its name, and one fixed period.
        config_ = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/config-" + name_;
        std::string drop_ins = config_ + "/pipewire/pipewire.conf.d";
        std::filesystem::create_directories(drop_ins);
        std::ofstream(drop_ins + "/server.conf")
            << "context.properties = {\n  core.name = " << name_
            << "\n  default.clock.rate = 48000\n  default.clock.quantum = " << frames
            << "\n  default.clock.min-quantum = " << frames
            << "\n  default.clock.max-quantum = " << frames << "\n}\n";
        child_ = std::make_unique<Child>(
            std::vector<std::string>{"pipewire"},
            std::map<std::string, std::string>{{"XDG_CONFIG_HOME", config_},
                                               {"PIPEWIRE_LATENCY", frames + "/48000"}});
    } else {
        std::vector<std::string> argv{"jackd", "-n", name_, "--no-realtime"};
        argv.insert(argv.end(), options.jackd_options.begin(), options.jackd_options.end());
        argv.insert(argv.end(), {"-d", "dummy", "-r", "48000", "-p", frames});
        child_ = std::make_unique<Child>(argv);
    }
    // Asked from another process: one process can be a client of one JACK
    // server only.
    Child probe({"jack_wait", "-s", name_, "-w", "-t",
                 std::to_string(std::chrono::seconds(long_wait).count())},
                client_env());
    auto status = probe.wait_exit(long_wait + 5s);
    if (status != 0 || !child_->running())
        throw std::runtime_error("the JACK server \"" + name_ +
                                 "\" did not start: " + child_->err());
}

JackServer::~JackServer() {
    stop();
    if (!config_.empty()) std::filesystem::remove_all(config_);
}

std::map<std::string, std::string> JackServer::client_env() const {
    return server_env(name_, pipewire_);
}

void JackServer::stop(int signal_number) {
    if (!child_->running()) return;
    child_->signal(signal_number);
    if (!child_->wait_exit(long_wait)) {
        child_->signal(SIGKILL);
        child_->wait_exit(long_wait);
    }
}

std::vector<std::string> without_sequencer(std::vector<std::string> argv) {
    if (!has_sequencer()) return argv;
    std::vector<std::string> wrapped{"unshare",
                                     "--mount",
                                     "--propagation",
                                     "private",
                                     "sh",
                                     "-c",
                                     "mount -t tmpfs none /dev/snd && exec \"$@\"",
                                     "sh"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

std::vector<std::string> lines_among(const std::vector<std::string>& lines,
                                     const std::vector<std::string>& ours) {
    std::vector<std::string> found;
    for (const auto& line : lines)
        for (const auto& own : ours)
            if (line == own) found.push_back(line);
    return found;
}

bool catches_signals(pid_t pid, std::initializer_list<int> signals) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) != 0) continue;
        unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
        for (int s : signals)
            if (!(caught & (1ull << (s - 1)))) return false;
        return true;
    }
    return false;
}

std::optional<int> seq_input_pool(int client, const std::string& figure) {
    std::istringstream clients(read_file("/proc/asound/seq/clients"));
    std::string wanted = "Client " + std::to_string(client) + " ";
    bool in_client = false, in_input_pool = false;
    for (std::string line; std::getline(clients, line);) {
        if (line.rfind("Client ", 0) == 0) {
            in_client = line.rfind(wanted, 0) == 0;
            in_input_pool = false;
        } else if (in_client && line.find("Input pool") != std::string::npos) {
            in_input_pool = true;
        } else if (in_client && in_input_pool && line.find(figure) != std::string::npos) {
            return std::stoi(line.substr(line.find(':') + 1));
        }
    }
    return std::nullopt;
}

std::string describe_threads(pid_t pid) {
    std::string out;
    std::string task = "/proc/" + std::to_string(pid) + "/task/";
    Child list({"ls", task});
    list.wait_exit(long_wait);
    std::istringstream tids(list.out());
    for (std::string tid; tids >> tid;) {
        std::string comm = read_file(task + tid + "/comm");
        std::string stat = read_file(task + tid + "/stat");
        std::string syscall = read_file(task + tid + "/syscall");
        std::string wchan = read_file(task + tid + "/wchan");
        auto paren = stat.rfind(')');
        out += "  thread " + tid + " " + comm.substr(0, comm.find('\n')) + " state " +
               (paren != std::string::npos ? stat.substr(paren + 2, 1) : "?") + " syscall " +
               syscall.substr(0, syscall.find(' ')) + " waiting in " + wchan + "\n";
    }
    return out;
}

bool waiting_in_poll(pid_t pid) {
    std::istringstream syscall(read_file("/proc/" + std::to_string(pid) + "/syscall"));
    long number = -1;
    syscall >> number;
#ifdef __x86_64__
    return number == 7 || number == 271; // poll, ppoll
#else
    return number == 73; // ppoll
#endif
}

Stopped::Stopped(pid_t pid) : pid_(pid) {
    kill(pid_, SIGSTOP);
    // Wait until it is really stopped ('T' in /proc/<pid>/stat).
    wait_until(
        [&] {
            std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
            auto paren = stat.rfind(')');
            return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'T';
        },
        long_wait);
}

Stopped::~Stopped() {
    kill(pid_, SIGCONT);
}

bool has_sequencer() {
    struct stat st;
    return stat("/dev/snd/seq", &st) == 0 && S_ISCHR(st.st_mode);
}

} // namespace e2e
