// Windows: the C runtime's descriptors, opened in binary mode (the default
// text mode would turn "\n" into "\r\n" and stop reading at a 0x1A byte).
// (The build defines WIN32_LEAN_AND_MEAN and NOMINMAX for every file, as
// libbz2's header includes windows.h.)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <random>

#include "platform.hpp"

namespace dfuctl::platform {
namespace {

unsigned clamp_count(std::size_t count) { return count < INT_MAX ? static_cast<unsigned>(count) : INT_MAX; }

// errno for the Windows error of the last failed call.
void set_errno_from_last_error() {
    switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
        errno = ENOSPC;
        break;
    default:
        errno = EIO;
    }
}

// Another descriptor for the standard one `fd`, in binary mode. The mode
// belongs to the descriptor: std::cin and std::cout keep their text mode.
int duplicate_binary(int fd) {
    const int dup = ::_dup(fd);
    if (dup >= 0) ::_setmode(dup, _O_BINARY);
    return dup;
}

}  // namespace

int open_read(const std::string& path) { return ::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT); }

int create_write(const std::string& path) {
    return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
}

int duplicate_stdin() { return duplicate_binary(0); }

int duplicate_stdout() { return duplicate_binary(1); }

int open_append(const std::string& path) {
    // A handle with the right to append only: Windows then puts every write
    // at the end of the file in one piece (the C runtime's _O_APPEND seeks
    // first, which another process may get between).
    const HANDLE handle =
        ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
    if (fd < 0) ::CloseHandle(handle);
    return fd;
}

int close(int fd) { return ::_close(fd); }

PathKind path_kind(const std::string& path) {
    struct _stat64 st {};
    if (::_stat64(path.c_str(), &st) != 0) return PathKind::Missing;
    return (st.st_mode & _S_IFMT) == _S_IFREG ? PathKind::Regular : PathKind::Other;
}

int open_in_place(const std::string& path) {
    return ::_open(path.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY | _O_NOINHERIT);
}

int create_beside(const std::string& path, std::string& name) {
    // The folder's permissions apply, as to any new file.
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".dfuctl-%06x", random() & 0xffffff);
        const int fd =
            ::_open((path + suffix).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            name = path + suffix;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

int sync(int fd) { return ::_commit(fd); }

int replace(const std::string& from, const std::string& to) {
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return 0;
    set_errno_from_last_error();
    return -1;
}

int remove(const std::string& path) { return ::_unlink(path.c_str()); }

std::ptrdiff_t read_some(int fd, void* buf, std::size_t count) {
    return ::_read(fd, buf, clamp_count(count));
}

std::ptrdiff_t write_some(int fd, const void* buf, std::size_t count) {
    return ::_write(fd, buf, clamp_count(count));
}

namespace {

// The positions of an OVERLAPPED request on a handle opened for
// synchronous use: the call waits and starts at the offset given.
OVERLAPPED at_offset(std::uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

}  // namespace

std::ptrdiff_t read_at(int fd, void* buf, std::size_t count, std::uint64_t offset) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    OVERLAPPED o = at_offset(offset);
    DWORD got = 0;
    if (::ReadFile(handle, buf, clamp_count(count), &got, &o) != 0) return got;
    if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
    set_errno_from_last_error();
    return -1;
}

std::ptrdiff_t write_at(int fd, const void* buf, std::size_t count, std::uint64_t offset) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    OVERLAPPED o = at_offset(offset);
    DWORD put = 0;
    if (::WriteFile(handle, buf, clamp_count(count), &put, &o) != 0) return put;
    set_errno_from_last_error();
    return -1;
}

int create_temporary(const std::string& prefix, std::string& name) {
    char dir[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    const DWORD n = ::GetTempPathA(sizeof dir, dir);
    // GetTempFileNameA creates the file under a name of its own.
    if (n == 0 || n > MAX_PATH || ::GetTempFileNameA(dir, prefix.c_str(), 0, path) == 0) {
        set_errno_from_last_error();
        return -1;
    }
    const HANDLE handle = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                        nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        ::DeleteFileA(path);
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
    if (fd < 0) {
        ::CloseHandle(handle);
        return -1;
    }
    name = path;
    return fd;
}

std::optional<FileStamp> stamp_of(int fd) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) != FILE_TYPE_DISK ||
        ::GetFileInformationByHandle(handle, &info) == 0 || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::nullopt;
    const auto wide = [](DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; };
    // FILETIME counts 100 ns.
    return FileStamp{wide(info.nFileSizeHigh, info.nFileSizeLow),
                     static_cast<std::int64_t>(
                         wide(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime) * 100)};
}

bool is_directory(int fd) {
    struct _stat64 st {};
    return ::_fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
}

std::optional<std::uint64_t> size_of(int fd) {
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0) return std::nullopt;
    if ((st.st_mode & _S_IFMT) == _S_IFREG) return static_cast<std::uint64_t>(st.st_size);
    // A whole disk or volume (\\.\PhysicalDriveN, \\.\E:).
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) != FILE_TYPE_DISK) return std::nullopt;
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    if (::DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned,
                          nullptr) == 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(length.Length.QuadPart);
}

std::optional<std::tm> utc_time(std::time_t t) {
    std::tm tm{};
    if (::gmtime_s(&tm, &t) != 0) return std::nullopt;
    return tm;
}

namespace {
// The C runtime has no sigaction: signal() handlers, which it resets to
// SIG_DFL before each call, so the handler sets itself again. Ctrl-C and
// Ctrl-Break reach the process as SIGINT and SIGBREAK, on a thread of
// their own.
void (*g_stop_handler)(int) = nullptr;
void (*g_old_int)(int) = SIG_DFL;
void (*g_old_term)(int) = SIG_DFL;
void (*g_old_break)(int) = SIG_DFL;

extern "C" void on_stop(int sig) {
    std::signal(sig, on_stop);
    if (g_stop_handler != nullptr) g_stop_handler(sig);
}
}  // namespace

void catch_stop_signals(void (*handler)(int)) {
    g_stop_handler = handler;
    g_old_int = std::signal(SIGINT, on_stop);
    g_old_term = std::signal(SIGTERM, on_stop);
    g_old_break = std::signal(SIGBREAK, on_stop);
}

void restore_stop_signals() {
    std::signal(SIGINT, g_old_int);
    std::signal(SIGTERM, g_old_term);
    std::signal(SIGBREAK, g_old_break);
    g_stop_handler = nullptr;
}

bool stderr_is_terminal() {
    // A console, not a pipe or the NUL device (which _isatty also reports).
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::optional<std::string> enumerated_serial(const std::string&) {
    // Windows keeps it in the device's instance id, which libusb does not
    // show: the board is asked instead.
    return std::nullopt;
}

std::string access_denied_advice(unsigned, unsigned) {
    return "; WinUSB serves one program at a time: close any other program that uses the board, "
           "and check that Windows bound WinUSB to it (README, section Windows)";
}

}  // namespace dfuctl::platform
