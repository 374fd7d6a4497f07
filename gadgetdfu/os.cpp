#include "os.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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
// ---- Board tools under a time limit ----

using steady = std::chrono::steady_clock;

// Starts "/bin/sh -c command" as the leader of a new process group, with its
// standard output on `out_fd` when that is not -1. Returns the pid, or -1
// with errno set when the shell could not be started: a failed exec is
// reported back through a close-on-exec pipe, so that a missing shell reads
// as a tool that cannot be started, as it does with popen.
pid_t spawn_tool(const char* command, int out_fd) {
    int status_pipe[2];
    if (::pipe2(status_pipe, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::setpgid(0, 0);
        if (out_fd >= 0) ::dup2(out_fd, STDOUT_FILENO);
        ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        const int err = errno;
        (void)!::write(status_pipe[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(status_pipe[1]);
    if (pid < 0) {
        ::close(status_pipe[0]);
        return -1;
    }
    ::setpgid(pid, pid);  // also here, so that a kill cannot come before it
    int exec_errno = 0;
    ssize_t n;
    do {
        n = ::read(status_pipe[0], &exec_errno, sizeof exec_errno);
    } while (n < 0 && errno == EINTR);
    ::close(status_pipe[0]);
    if (n == static_cast<ssize_t>(sizeof exec_errno)) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        errno = exec_errno;
        return -1;
    }
    return pid;
}

int remaining_ms(steady::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reaps `pid` by the deadline, killing its process group when it passes.
// Returns the wait status, or -1 with ETIMEDOUT when the group was killed.
int reap_tool(pid_t pid, steady::time_point deadline, bool killed) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, killed ? 0 : WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return -1;
        if (done == 0 && remaining_ms(deadline) == 0) {
            ::killpg(pid, SIGKILL);
            killed = true;
            continue;
        }
        if (done == 0) {
            const struct timespec pause = {0, 10000000};
            ::nanosleep(&pause, nullptr);
        }
    }
    if (killed) {
        errno = ETIMEDOUT;
        return -1;
    }
    return status;
}

// One running tool whose output is read through a stream. Only the main
// thread runs tools.
struct tool {
    FILE* stream = nullptr;
    pid_t pid = -1;
    int fd = -1;
    steady::time_point deadline;
    bool killed = false;
};
constexpr int kMaxTools = 4;
tool tools[kMaxTools];

ssize_t tool_read(void* cookie, char* buf, size_t size) {
    auto* t = static_cast<tool*>(cookie);
    while (!t->killed) {
        struct pollfd pfd = {t->fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, remaining_ms(t->deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            ::killpg(t->pid, SIGKILL);
            t->killed = true;
            break;
        }
        const ssize_t n = ::read(t->fd, buf, size);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
    return 0;  // the output ends where the limit passed
}

int tool_cookie_close(void* cookie) {
    auto* t = static_cast<tool*>(cookie);
    ::close(t->fd);
    t->fd = -1;
    return 0;
}

FILE* real_tool_open(const char* command, unsigned limit_ms) {
    tool* t = nullptr;
    for (tool& slot : tools)
        if (slot.pid < 0) t = &slot;
    int pipe_fds[2];
    if (t == nullptr || ::pipe2(pipe_fds, O_CLOEXEC) != 0) return nullptr;
    const pid_t pid = spawn_tool(command, pipe_fds[1]);
    ::close(pipe_fds[1]);
    if (pid < 0) {
        ::close(pipe_fds[0]);
        return nullptr;
    }
    *t = tool{nullptr, pid, pipe_fds[0], steady::now() + std::chrono::milliseconds(limit_ms), false};
    static const cookie_io_functions_t io = {tool_read, nullptr, nullptr, tool_cookie_close};
    t->stream = fopencookie(t, "r", io);
    if (t->stream == nullptr) {
        ::close(t->fd);
        ::killpg(pid, SIGKILL);
        (void)reap_tool(pid, t->deadline, true);
        *t = tool{};
        return nullptr;
    }
    return t->stream;
}

int real_tool_close(FILE* stream) {
    for (tool& t : tools) {
        if (t.stream != stream || t.pid < 0) continue;
        std::fclose(stream);
        const int status = reap_tool(t.pid, t.deadline, t.killed);
        const int err = errno;
        t = tool{};
        errno = err;
        return status;
    }
    errno = EINVAL;
    return -1;
}

int real_tool_run(const char* command, unsigned limit_ms) {
    const pid_t pid = spawn_tool(command, -1);
    if (pid < 0) return -1;
    return reap_tool(pid, steady::now() + std::chrono::milliseconds(limit_ms), false);
}
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
    .tool_open = real_tool_open,
    .tool_close = real_tool_close,
    .tool_run = real_tool_run,
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
