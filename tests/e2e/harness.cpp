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
        std::this_thread::sleep_for(5ms);
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
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
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

void use_jack_server(const std::string& name) {
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
}

namespace {

void ignore_jack_message(const char*) {}
void print_jack_message(const char* message) {
    std::fprintf(stderr, "%s\n", message);
}

} // namespace

JackServer::JackServer(std::string name, int period) : name_(std::move(name)) {
    child_ = std::make_unique<Child>(std::vector<std::string>{
        "jackd", "-n", name_, "--no-realtime", "-d", "dummy", "-r", "48000", "-p",
        std::to_string(period)});
    // Until the server is up, each probe makes the JACK library complain.
    jack_set_error_function(ignore_jack_message);
    jack_set_info_function(ignore_jack_message);
    bool up = wait_until(
        [&] {
            if (!child_->running()) return true;
            jack_status_t status;
            jack_client_t* probe =
                jack_client_open("e2e_probe", static_cast<jack_options_t>(JackNoStartServer |
                                                                          JackServerName),
                                 &status, name_.c_str());
            if (!probe) return false;
            jack_client_close(probe);
            return true;
        },
        long_wait);
    jack_set_error_function(print_jack_message);
    jack_set_info_function(print_jack_message);
    if (!up || !child_->running())
        throw std::runtime_error("the JACK server \"" + name_ +
                                 "\" did not start: " + child_->err());
}

JackServer::~JackServer() {
    stop();
}

void JackServer::stop() {
    if (!child_->running()) return;
    child_->signal(SIGTERM);
    if (!child_->wait_exit(long_wait)) child_->signal(SIGKILL);
}

bool has_sequencer() {
    struct stat st;
    return stat("/dev/snd/seq", &st) == 0 && S_ISCHR(st.st_mode);
}

} // namespace e2e
