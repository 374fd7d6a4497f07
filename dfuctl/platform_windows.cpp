// Windows: the C runtime's descriptors, opened in binary mode (the default
// text mode would turn "\n" into "\r\n" and stop reading at a 0x1A byte).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <climits>

#include "platform.hpp"

namespace dfuctl::platform {
namespace {

unsigned clamp_count(std::size_t count) { return count < INT_MAX ? static_cast<unsigned>(count) : INT_MAX; }

}  // namespace

int open_read(const std::string& path) { return ::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT); }

int create_write(const std::string& path) {
    return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
}

int duplicate_stdout() {
    const int fd = ::_dup(1);
    // The mode belongs to the descriptor: std::cout keeps its text mode.
    if (fd >= 0) ::_setmode(fd, _O_BINARY);
    return fd;
}

int close(int fd) { return ::_close(fd); }

std::ptrdiff_t read_some(int fd, void* buf, std::size_t count) {
    return ::_read(fd, buf, clamp_count(count));
}

std::ptrdiff_t write_some(int fd, const void* buf, std::size_t count) {
    return ::_write(fd, buf, clamp_count(count));
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
