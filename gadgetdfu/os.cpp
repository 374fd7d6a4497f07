#include "os.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
int real_fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int real_fcntl(int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); }

int real_spawn(pid_t* pid, const char* path, char* const argv[], int out_fd) {
    posix_spawnattr_t attr;
    int err = posix_spawnattr_init(&attr);
    if (err != 0) return err;
    posix_spawn_file_actions_t actions;
    err = posix_spawn_file_actions_init(&actions);
    if (err != 0) {
        posix_spawnattr_destroy(&attr);
        return err;
    }
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, kWakeSignal);
    err = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (err == 0) err = posix_spawnattr_setpgroup(&attr, 0);
    if (err == 0) err = posix_spawnattr_setsigmask(&attr, &none);
    if (err == 0) err = posix_spawnattr_setsigdefault(&attr, &defaults);
    if (err == 0 && out_fd >= 0) err = posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    if (err == 0) err = posix_spawn(pid, path, &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return err;
}

int real_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC); }
int real_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) { return ::poll(fds, nfds, timeout_ms); }
int real_kill(pid_t pid, int sig) { return ::kill(pid, sig); }
pid_t real_waitpid(pid_t pid, int* status, int options) { return ::waitpid(pid, status, options); }
int real_clock_gettime(struct timespec* now) { return ::clock_gettime(CLOCK_MONOTONIC, now); }
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

int real_thread_accept_wake() {
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, kWakeSignal);
    return pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
}

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
    .fstat = real_fstat,
    .fcntl = real_fcntl,
    .spawn = real_spawn,
    .pipe = real_pipe,
    .poll = real_poll,
    .kill = real_kill,
    .waitpid = real_waitpid,
    .clock_gettime = real_clock_gettime,
    .usleep = real_usleep,
    .nanosleep = real_nanosleep,
    .thread_create = real_thread_create,
    .thread_join = real_thread_join,
    .thread_tryjoin = real_thread_tryjoin,
    .thread_wake = real_thread_wake,
    .thread_accept_wake = real_thread_accept_wake,
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
    // Blocked before any stream thread exists: threads inherit the mask, and
    // only the stream threads take it away (thread_accept_wake). A stray
    // signal from outside then waits in the mask or interrupts a stream
    // thread's endpoint call, which that thread is built to survive; it never
    // lands in the main thread's gadgetfs calls.
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, kWakeSignal);
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
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
