// What differs between the operating systems dfuctl runs on: file
// descriptors, sizes of disks, the terminal, and what the system knows about a
// USB device without opening it. platform_posix.cpp serves Linux and other
// POSIX systems, platform_windows.cpp Windows. No logic lives here: callers
// decide what a failure means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace dfuctl::platform {

// Descriptors are binary (no newline translation) and not inherited by child
// processes. Each returns -1 and sets errno on failure.
int open_read(const std::string& path);
// Creates or truncates.
int create_write(const std::string& path);
// Second descriptors for standard input and output.
int duplicate_stdin();
int duplicate_stdout();
// Opens `path` for appending, creating it (with the permissions a plain
// creation gives). Each write lands whole at the end of the file, also when
// other processes append to it at the same time.
int open_append(const std::string& path);
int close(int fd);

// Output files appear under their name only complete: written under a
// temporary name beside it, synced, then renamed over it. A path that
// exists but is not a regular file (a device, a FIFO) is written in place.
enum class PathKind { Missing, Regular, Other };
PathKind path_kind(const std::string& path);
// Opens an existing `path` for writing in place, truncated.
int open_in_place(const std::string& path);
// Creates a file of a new name that begins with `path`, in the same folder,
// with the permissions a plain creation of `path` would give, or those of
// the regular file at `path`; sets `name`.
int create_beside(const std::string& path, std::string& name);
// Flushes the file's data to the disk.
int sync(int fd);
// Renames `from` to `to`, replacing a file there. Windows wants `from`
// closed first. 0 or -1 with errno.
int replace(const std::string& from, const std::string& to);
int remove(const std::string& path);

// Like read(2) and write(2); a count above what one call takes is shortened.
std::ptrdiff_t read_some(int fd, void* buf, std::size_t count);
std::ptrdiff_t write_some(int fd, const void* buf, std::size_t count);
// At `offset`, whatever the file position, so that threads can share a
// descriptor (like pread(2) and pwrite(2); Windows moves the position).
std::ptrdiff_t read_at(int fd, void* buf, std::size_t count, std::uint64_t offset);
std::ptrdiff_t write_at(int fd, const void* buf, std::size_t count, std::uint64_t offset);

// A new file to read and write in the system's temporary directory (TMPDIR,
// else /tmp; Windows: TMP or TEMP), whose name begins with `prefix`. It
// is gone once its descriptor is closed or the process ends, however it
// ends: unlinked at once (Windows: deleted on close). Sets `name`.
int create_temporary(const std::string& prefix, std::string& name);

// Size and modification time of a regular file, to tell whether it changed
// under an open descriptor.
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;
    bool operator==(const FileStamp&) const = default;
};
// Empty for anything but a regular file.
std::optional<FileStamp> stamp_of(int fd);

bool is_directory(int fd);
// Size of a regular file or of a whole disk; empty for pipes, terminals and
// the like.
std::optional<std::uint64_t> size_of(int fd);

// `t` as a UTC calendar time; empty when it is out of range. Safe to call
// from any thread.
std::optional<std::tm> utc_time(std::time_t t);

// SIGINT and SIGTERM (on Windows also Ctrl-C and Ctrl-Break at the
// console) call `handler` with the signal number until
// restore_stop_signals(). On POSIX systems a system call that blocks in the
// thread that takes the signal (reading a pipe, opening a FIFO) returns
// EINTR instead of carrying on, so that the caller sees the signal.
void catch_stop_signals(void (*handler)(int));
void restore_stop_signals();

// Whether standard error is a terminal (a console on Windows), where a
// progress line may redraw itself.
bool stderr_is_terminal();

// The serial number the system read from the USB device at `port_path`
// ("bus-port.port...") when it enumerated it, if it shows it without the
// device being opened (Linux: sysfs).
std::optional<std::string> enumerated_serial(const std::string& port_path);

// Advice appended to "permission denied opening BOARD" for the board at
// `bus`/`address`: which node or driver and what to do.
std::string access_denied_advice(unsigned bus, unsigned address);

}  // namespace dfuctl::platform
