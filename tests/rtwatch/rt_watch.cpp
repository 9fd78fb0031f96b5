// A preload library that watches a JACK client's process callback for calls
// that have no place on a real-time thread. It wraps jack_set_process_callback
// so that the callback runs inside a marker, and counts every call of the
// functions below made while the marker is set, on that thread.
//
//   LD_PRELOAD=librt_watch.so RT_WATCH_REPORT=report.txt program ...
//
// At exit it writes one line per watched function, "name count", and a line
// "callbacks N" with the number of callback runs, to RT_WATCH_REPORT.
#include <dlfcn.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <poll.h>
#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {

enum Watched {
    w_malloc,
    w_calloc,
    w_realloc,
    w_free,
    w_mutex_lock,
    w_poll,
    w_select,
    w_nanosleep,
    w_usleep,
    w_sleep,
    w_write,
    w_printf,
    w_fprintf,
    w_vfprintf,
    w_fputs,
    w_puts,
    w_fwrite,
    w_putc,
    watched_count
};
constexpr std::array<const char*, watched_count> names = {
    "malloc", "calloc", "realloc",   "free",     "pthread_mutex_lock",
    "poll",   "select", "nanosleep", "usleep",   "sleep",
    "write",  "printf", "fprintf",   "vfprintf", "fputs",
    "puts",   "fwrite", "putc"};

std::array<std::atomic<long>, watched_count> counts{};
std::atomic<long> callbacks{0};
thread_local bool in_callback = false;

void count(Watched w) {
    if (in_callback) counts[w].fetch_add(1, std::memory_order_relaxed);
}

template <typename F> F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

JackProcessCallback user_callback = nullptr;
void* user_argument = nullptr;

int watched_callback(jack_nframes_t nframes, void*) {
    in_callback = true;
    int result = user_callback(nframes, user_argument);
    in_callback = false;
    callbacks.fetch_add(1, std::memory_order_relaxed);
    return result;
}

__attribute__((destructor)) void write_report() {
    const char* path = std::getenv("RT_WATCH_REPORT");
    if (!path) return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    char line[96];
    for (int w = 0; w < watched_count; ++w) {
        int n = std::snprintf(line, sizeof line, "%s %ld\n", names[w], counts[w].load());
        (void)!::write(fd, line, n);
    }
    int n = std::snprintf(line, sizeof line, "callbacks %ld\n", callbacks.load());
    (void)!::write(fd, line, n);
    close(fd);
}

} // namespace

extern "C" {

int jack_set_process_callback(jack_client_t* client, JackProcessCallback callback, void* arg) {
    static auto real =
        next<int (*)(jack_client_t*, JackProcessCallback, void*)>("jack_set_process_callback");
    user_callback = callback;
    user_argument = arg;
    return real(client, watched_callback, nullptr);
}

void* malloc(size_t size) {
    count(w_malloc);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    count(w_calloc);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    count(w_realloc);
    return __libc_realloc(p, size);
}
void free(void* p) {
    count(w_free);
    __libc_free(p);
}

int pthread_mutex_lock(pthread_mutex_t* m) {
    static auto real = next<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
    count(w_mutex_lock);
    return real(m);
}
int poll(pollfd* fds, nfds_t n, int timeout) {
    static auto real = next<int (*)(pollfd*, nfds_t, int)>("poll");
    count(w_poll);
    return real(fds, n, timeout);
}
int select(int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
    static auto real = next<int (*)(int, fd_set*, fd_set*, fd_set*, timeval*)>("select");
    count(w_select);
    return real(n, r, w, e, t);
}
int nanosleep(const timespec* req, timespec* rem) {
    static auto real = next<int (*)(const timespec*, timespec*)>("nanosleep");
    count(w_nanosleep);
    return real(req, rem);
}
int usleep(useconds_t usec) {
    static auto real = next<int (*)(useconds_t)>("usleep");
    count(w_usleep);
    return real(usec);
}
unsigned sleep(unsigned seconds) {
    static auto real = next<unsigned (*)(unsigned)>("sleep");
    count(w_sleep);
    return real(seconds);
}
ssize_t write(int fd, const void* buf, size_t n) {
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    count(w_write);
    return real(fd, buf, n);
}
int printf(const char* format, ...) {
    count(w_printf);
    va_list args;
    va_start(args, format);
    int r = std::vfprintf(stdout, format, args);
    va_end(args);
    return r;
}
int fprintf(FILE* stream, const char* format, ...) {
    count(w_fprintf);
    va_list args;
    va_start(args, format);
    int r = std::vfprintf(stream, format, args);
    va_end(args);
    return r;
}
int vfprintf(FILE* stream, const char* format, va_list args) {
    static auto real = next<int (*)(FILE*, const char*, va_list)>("vfprintf");
    count(w_vfprintf);
    return real(stream, format, args);
}
int fputs(const char* s, FILE* stream) {
    static auto real = next<int (*)(const char*, FILE*)>("fputs");
    count(w_fputs);
    return real(s, stream);
}
int puts(const char* s) {
    static auto real = next<int (*)(const char*)>("puts");
    count(w_puts);
    return real(s);
}
size_t fwrite(const void* p, size_t size, size_t n, FILE* stream) {
    static auto real = next<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite");
    count(w_fwrite);
    return real(p, size, n, stream);
}
int putc(int c, FILE* stream) {
    static auto real = next<int (*)(int, FILE*)>("putc");
    count(w_putc);
    return real(c, stream);
}

} // extern "C"
