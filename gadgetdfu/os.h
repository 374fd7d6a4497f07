// The seam between the daemon's logic and the operating system.
//
// Every call the daemon makes into the system goes through the table `os`:
// file descriptors (open, close, read, write, select, ioctl, lseek, fsync,
// fstat, fcntl), "/proc/cpuinfo" (fopen, fclose), processes (spawn, pipe,
// poll, kill, waitpid) and the clock they are timed by, pauses (usleep,
// nanosleep), the stream threads (create, join, try-join, the wake signal
// and its acceptance) and every piece of console text. One more entry is no
// system call but a trace point: `ep0_event` is called as the event loop takes
// up each gadgetfs event, so that a simulation knows which event the ep0 calls
// that follow belong to; the real table does nothing there.
//
// The daemon points `os` at `os_real` (plain libc and POSIX threads); the unit
// tests point it at a simulated gadgetfs. The table holds no logic of its own.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

enum console_stream { CONSOLE_OUT, CONSOLE_ERR };

struct os_interface {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buf, size_t len);
    ssize_t (*write)(int fd, const void* buf, size_t len);
    int (*select)(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*fsync)(int fd);
    FILE* (*fopen)(const char* path, const char* mode);
    int (*fclose)(FILE* stream);
    int (*fstat)(int fd, struct stat* st);
    int (*fcntl)(int fd, int cmd, int arg);
    // posix_spawn of `path` with `argv` as the leader of a new process
    // group, with every signal at its default action and none blocked (the
    // daemon's own settings are not inherited), and with standard output on
    // `out_fd` unless that is -1. 0, or an errno value (a program that could
    // not be executed included).
    int (*spawn)(pid_t* pid, const char* path, char* const argv[], int out_fd);
    int (*pipe)(int fds[2]);  // both ends close-on-exec
    int (*poll)(struct pollfd* fds, nfds_t nfds, int timeout_ms);
    int (*kill)(pid_t pid, int sig);
    pid_t (*waitpid)(pid_t pid, int* status, int options);
    int (*clock_gettime)(struct timespec* now);  // CLOCK_MONOTONIC
    // Pauses the protocol asks for (usleep) and the short waits of a thread
    // hand-over (nanosleep).
    int (*usleep)(unsigned int usec);
    int (*nanosleep)(const struct timespec* duration);
    // Stream threads: created with a stack that holds their buffers; joined,
    // or asked whether they have ended (0, or EBUSY while they run).
    // `thread_wake` interrupts a blocking call of the thread (a read or write
    // on an endpoint file) so that it looks at its stop flag again. The wake
    // signal is blocked in every thread but those that call
    // `thread_accept_wake`.
    int (*thread_create)(pthread_t* thread, void* (*start)(void*), void* arg);
    int (*thread_join)(pthread_t thread);
    int (*thread_tryjoin)(pthread_t thread);
    int (*thread_wake)(pthread_t thread);
    int (*thread_accept_wake)();
    // One piece of console text for standard output or standard error.
    void (*console)(console_stream stream, const char* text, size_t len);
    // The trace point described above: the loop takes up an event of `type`.
    void (*ep0_event)(uint32_t type);
};

extern const os_interface os_real;
extern const os_interface* os;

// Prepares the real process, before any other thread exists: line-buffered
// standard output; the handler of the signal that `thread_wake` sends,
// blocked in this thread and so in every thread started from it; and
// SIGPIPE ignored, so that a console whose reader has gone costs the lines
// written to it, not the daemon.
void os_prepare_process();

// Stack size of each stream thread: they keep their transfer buffers (up to
// 1 MiB) on the stack, so the size is set explicitly instead of relying on
// the libc's default.
inline constexpr size_t kStreamThreadStack = 4u << 20;

// Console output. Formats are printf formats; the text is emitted in one
// piece so that lines from different threads do not interleave.
void log_out(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// puts-style: the text and a newline, on standard output.
void log_line(const char* text);
// perror-style on standard error: "prefix: <errno text>\n".
void log_perror(const char* prefix);
// Text of an errno value, for the messages that report one.
const char* errno_text(int err);

// A stream thread logs up to ten lines per chunk. Between two calls that
// wait for the host it may hold its standard-output lines and hand them over
// in one piece (one write to the console instead of one per line):
// `console_hold` starts holding for the calling thread, `console_flush`
// hands over what is held. The text and its order are unchanged; a thread
// flushes before every call that waits for the host (an endpoint read or
// write, the wait for a new transfer), so a line is never held while the
// thread waits on the host, only while it does bounded work (a file write,
// a select that times out after 10 ms). Standard-error text and a full
// buffer hand over what is held first.
void console_hold();
void console_flush();
