// The board's tools under a time limit, on the seam's process calls.
#include "tool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "os.h"

namespace {

constexpr const char kShell[] = "/bin/sh";

int64_t now_ms() {
    struct timespec now {};
    (void)os->clock_gettime(&now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int remaining_ms(int64_t deadline) {
    return static_cast<int>(std::clamp<int64_t>(deadline - now_ms(), 0, INT32_MAX));
}

// Starts the shell with `command`, its standard output on `out_fd` unless
// that is -1. The pid, or -1 with errno set: posix_spawn reports a shell that
// cannot be executed as its own result, so a missing shell reads as a tool
// that cannot be started.
pid_t start_tool(const char* command, int out_fd) {
    char sh[] = "sh";
    char dash_c[] = "-c";
    char* const argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
    pid_t pid = -1;
    const int err = os->spawn(&pid, kShell, argv, out_fd);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return pid;
}

// The tool is the leader of its group: this ends it with all it started.
void kill_group(pid_t pid) { (void)os->kill(-pid, SIGKILL); }

// Reaps `pid` by the deadline, killing its process group when it passes.
// Returns the wait status, or -1 with ETIMEDOUT when the group was killed.
int reap_tool(pid_t pid, int64_t deadline, bool killed) {
    int status = 0;
    for (;;) {
        const pid_t done = os->waitpid(pid, &status, killed ? 0 : WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return -1;
        if (done != 0) continue;
        const int left = remaining_ms(deadline);
        if (left == 0) {
            kill_group(pid);
            killed = true;
        } else {
            (void)os->poll(nullptr, 0, std::min(left, 10));  // a pause; a child cannot be polled
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
    int64_t deadline = 0;
    bool killed = false;
};
constexpr int kMaxTools = 4;
tool tools[kMaxTools];

// The deadline is looked at before every read, not only when the pipe is
// quiet: a tool that prints without end always has output waiting.
ssize_t tool_read(void* cookie, char* buf, size_t size) {
    auto* t = static_cast<tool*>(cookie);
    while (!t->killed) {
        const int left = remaining_ms(t->deadline);
        if (left == 0) {
            kill_group(t->pid);
            t->killed = true;
            break;
        }
        struct pollfd pfd = {t->fd, POLLIN, 0};
        const int ready = os->poll(&pfd, 1, left);
        if (ready < 0 && errno != EINTR) return -1;
        if (ready <= 0) continue;
        const ssize_t n = os->read(t->fd, buf, size);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
    return 0;  // the output ends where the limit passed
}

int tool_cookie_close(void* cookie) {
    auto* t = static_cast<tool*>(cookie);
    (void)os->close(t->fd);
    t->fd = -1;
    return 0;
}

}  // namespace

FILE* tool_open(const char* command, unsigned limit_ms) {
    tool* t = nullptr;
    for (tool& slot : tools)
        if (slot.pid < 0) t = &slot;
    int pipe_fds[2];
    if (t == nullptr) {
        errno = EMFILE;
        return nullptr;
    }
    if (os->pipe(pipe_fds) != 0) return nullptr;
    const int64_t deadline = now_ms() + limit_ms;
    const pid_t pid = start_tool(command, pipe_fds[1]);
    const int err = errno;
    (void)os->close(pipe_fds[1]);
    if (pid < 0) {
        (void)os->close(pipe_fds[0]);
        errno = err;
        return nullptr;
    }
    *t = tool{nullptr, pid, pipe_fds[0], deadline, false};
    static const cookie_io_functions_t io = {tool_read, nullptr, nullptr, tool_cookie_close};
    t->stream = fopencookie(t, "r", io);
    if (t->stream == nullptr) {
        (void)os->close(t->fd);
        kill_group(pid);
        (void)reap_tool(pid, deadline, true);
        *t = tool{};
        errno = ENOMEM;
        return nullptr;
    }
    return t->stream;
}

int tool_close(FILE* stream) {
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

int tool_run(const char* command, unsigned limit_ms) {
    const int64_t deadline = now_ms() + limit_ms;
    const pid_t pid = start_tool(command, -1);
    if (pid < 0) return -1;
    return reap_tool(pid, deadline, false);
}
