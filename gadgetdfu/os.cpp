#include "os.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

// The signal that wakes a stream thread out of a blocking endpoint call. Its
// handler does nothing; it is installed without SA_RESTART so that the
// interrupted call returns EINTR.
constexpr int kWakeSignal = SIGUSR1;

void on_wake_signal(int) {}

int real_open(const char* path, int flags) { return ::open(path, flags); }
int real_close(int fd) { return ::close(fd); }
ssize_t real_read(int fd, void* buf, size_t len) { return ::read(fd, buf, len); }
ssize_t real_write(int fd, const void* buf, size_t len) { return ::write(fd, buf, len); }
int real_select(int nfds, fd_set* r, fd_set* w, fd_set* e, struct timeval* t) {
    return ::select(nfds, r, w, e, t);
}
int real_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
off_t real_lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int real_fsync(int fd) { return ::fsync(fd); }
FILE* real_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }
int real_fclose(FILE* stream) { return std::fclose(stream); }
FILE* real_popen(const char* command, const char* mode) { return ::popen(command, mode); }
int real_pclose(FILE* stream) { return ::pclose(stream); }
int real_system(const char* command) { return std::system(command); }
int real_usleep(unsigned int usec) { return ::usleep(usec); }
int real_nanosleep(const struct timespec* duration) { return ::nanosleep(duration, nullptr); }

int real_thread_create(pthread_t* thread, void* (*start)(void*), void* arg) {
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err != 0) return err;
    err = pthread_attr_setstacksize(&attr, kStreamThreadStack);
    if (err == 0) err = pthread_create(thread, &attr, start, arg);
    pthread_attr_destroy(&attr);
    return err;
}

int real_thread_join(pthread_t thread) { return pthread_join(thread, nullptr); }
int real_thread_tryjoin(pthread_t thread) { return pthread_tryjoin_np(thread, nullptr); }
int real_thread_wake(pthread_t thread) { return pthread_kill(thread, kWakeSignal); }

void real_console(console_stream stream, const char* text, size_t len) {
    std::fwrite(text, 1, len, stream == CONSOLE_OUT ? stdout : stderr);
}

void real_ep0_event(uint32_t) {}

// Standard-output text a thread holds back between two blocking calls.
struct held_console {
    bool holding = false;
    size_t len = 0;
    char text[8192];
};
thread_local held_console held;

void flush_held() {
    if (held.len == 0) return;
    os->console(CONSOLE_OUT, held.text, held.len);
    held.len = 0;
}

void vlog(console_stream stream, const char* fmt, va_list args) {
    char text[2048];
    int n = std::vsnprintf(text, sizeof text, fmt, args);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    if (stream == CONSOLE_OUT && held.holding) {
        if (held.len + len > sizeof held.text) flush_held();
        std::memcpy(held.text + held.len, text, len);
        held.len += len;
        return;
    }
    // Held lines were written before this text: they go first.
    flush_held();
    os->console(stream, text, len);
}

}  // namespace

const os_interface os_real = {
    .open = real_open,
    .close = real_close,
    .read = real_read,
    .write = real_write,
    .select = real_select,
    .ioctl = real_ioctl,
    .lseek = real_lseek,
    .fsync = real_fsync,
    .fopen = real_fopen,
    .fclose = real_fclose,
    .popen = real_popen,
    .pclose = real_pclose,
    .system = real_system,
    .usleep = real_usleep,
    .nanosleep = real_nanosleep,
    .thread_create = real_thread_create,
    .thread_join = real_thread_join,
    .thread_tryjoin = real_thread_tryjoin,
    .thread_wake = real_thread_wake,
    .console = real_console,
    .ep0_event = real_ep0_event,
};

const os_interface* os = &os_real;

void os_prepare_process() {
    // Progress lines must reach a pipe or a journal in the order in which
    // they were written relative to standard error.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    struct sigaction sa {};
    sa.sa_handler = on_wake_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the blocked call must return
    sigaction(kWakeSignal, &sa, nullptr);
}

void log_out(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vlog(CONSOLE_OUT, fmt, args);
    va_end(args);
}

void log_err(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vlog(CONSOLE_ERR, fmt, args);
    va_end(args);
}

void log_line(const char* text) { log_out("%s\n", text); }

void log_perror(const char* prefix) { log_err("%s: %s\n", prefix, errno_text(errno)); }

const char* errno_text(int err) { return std::strerror(err); }

void console_hold() { held.holding = true; }

void console_flush() { flush_held(); }
