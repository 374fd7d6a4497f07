// Linux and other POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform.hpp"

#if defined(__linux__)
#include <linux/fs.h>
#elif defined(__APPLE__)
#include <sys/disk.h>
#endif

namespace dfuctl::platform {

int open_read(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

int create_write(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

int duplicate_stdin() { return ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0); }

int duplicate_stdout() { return ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0); }

int open_append(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

int close(int fd) { return ::close(fd); }

PathKind path_kind(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return PathKind::Missing;
    return S_ISREG(st.st_mode) ? PathKind::Regular : PathKind::Other;
}

int open_in_place(const std::string& path) { return ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC); }

int create_beside(const std::string& path, std::string& name) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    std::string pattern = path + ".dfuctl-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    name = pattern;
    // mkstemp creates mode 0600.
    mode_t mode = st.st_mode & 07777;
    if (!exists) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    (void)::fchmod(fd, mode);  // the data matters more than its mode
    return fd;
}

int sync(int fd) { return ::fsync(fd); }

int replace(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()); }

int remove(const std::string& path) { return ::unlink(path.c_str()); }

std::ptrdiff_t read_some(int fd, void* buf, std::size_t count) {
    return ::read(fd, buf, count < SSIZE_MAX ? count : SSIZE_MAX);
}

std::ptrdiff_t write_some(int fd, const void* buf, std::size_t count) {
    return ::write(fd, buf, count < SSIZE_MAX ? count : SSIZE_MAX);
}

std::ptrdiff_t read_at(int fd, void* buf, std::size_t count, std::uint64_t offset) {
    return ::pread(fd, buf, count < SSIZE_MAX ? count : SSIZE_MAX, static_cast<off_t>(offset));
}

std::ptrdiff_t write_at(int fd, const void* buf, std::size_t count, std::uint64_t offset) {
    return ::pwrite(fd, buf, count < SSIZE_MAX ? count : SSIZE_MAX, static_cast<off_t>(offset));
}

int create_temporary(const std::string& prefix, std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/" + prefix + "XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    if (::unlink(pattern.c_str()) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    name = pattern;
    return fd;
}

std::optional<FileStamp> stamp_of(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
#if defined(__APPLE__)
    const struct timespec& m = st.st_mtimespec;
#else
    const struct timespec& m = st.st_mtim;
#endif
    return FileStamp{static_cast<std::uint64_t>(st.st_size),
                     static_cast<std::int64_t>(m.tv_sec) * 1000000000 + m.tv_nsec};
}

bool is_directory(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::uint64_t> size_of(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    if (S_ISREG(st.st_mode)) return static_cast<std::uint64_t>(st.st_size);
#if defined(__linux__)
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t size = 0;
        if (::ioctl(fd, BLKGETSIZE64, &size) == 0) return size;
    }
#elif defined(__APPLE__)
    if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
        std::uint64_t blocks = 0;
        std::uint32_t block_size = 0;
        if (::ioctl(fd, DKIOCGETBLOCKCOUNT, &blocks) == 0 && ::ioctl(fd, DKIOCGETBLOCKSIZE, &block_size) == 0)
            return blocks * block_size;
    }
#endif
    return std::nullopt;
}

std::optional<std::tm> utc_time(std::time_t t) {
    std::tm tm{};
    if (::gmtime_r(&t, &tm) == nullptr) return std::nullopt;
    return tm;
}

namespace {
struct sigaction g_old_int {};
struct sigaction g_old_term {};
}  // namespace

void catch_stop_signals(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked read or open returns EINTR
    sigaction(SIGINT, &sa, &g_old_int);
    sigaction(SIGTERM, &sa, &g_old_term);
}

void restore_stop_signals() {
    sigaction(SIGINT, &g_old_int, nullptr);
    sigaction(SIGTERM, &g_old_term, nullptr);
}

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

std::optional<std::string> enumerated_serial([[maybe_unused]] const std::string& port_path) {
#if defined(__linux__)
    // The kernel read the serial number at enumeration; asking it costs no
    // bus traffic and needs no access to the device node.
    std::ifstream f("/sys/bus/usb/devices/" + port_path + "/serial");
    std::string line;
    if (!f || !std::getline(f, line)) return std::nullopt;
    return line;
#else
    return std::nullopt;
#endif
}

std::string access_denied_advice(unsigned bus, unsigned address) {
#if defined(__linux__)
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus, address);
    return std::string(" (") + node +
           "). The udev rule /usr/lib/udev/rules.d/70-gadgetdfu.rules (package dfuctl) "
           "gives the board to the plugdev group and to the user at the seat (not to an "
           "SSH login): join plugdev (sudo usermod -aG plugdev $USER, then log in again), "
           "replug the board, or run dfuctl as root";
#else
    (void)bus;
    (void)address;
    return "; another program may hold the board, or run dfuctl as root";
#endif
}

}  // namespace dfuctl::platform
