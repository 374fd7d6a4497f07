#include "files.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exit_codes.hpp"

namespace dfuctl {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        const int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

UniqueFd open_input(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw Failure(Exit::NoInput, "cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw Failure(Exit::NoInput, "cannot read " + path + ": it is a directory");
    }
    return fd;
}

UniqueFd create_output(const std::string& path) {
    if (path == "-") {
        UniqueFd fd(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
        if (fd.get() < 0)
            throw Failure(Exit::CantCreate,
                          std::string("cannot use standard output: ") + std::strerror(errno));
        return fd;
    }
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) throw Failure(Exit::CantCreate, "cannot create " + path + ": " + std::strerror(errno));
    return fd;
}

std::optional<std::uint64_t> input_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    if (S_ISREG(st.st_mode)) return static_cast<std::uint64_t>(st.st_size);
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t size = 0;
        if (::ioctl(fd, BLKGETSIZE64, &size) == 0) return size;
    }
    return std::nullopt;
}

std::size_t read_full(int fd, std::span<std::uint8_t> buf, const std::string& path) {
    std::size_t got = 0;
    while (got < buf.size()) {
        const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Failure(Exit::NoInput, "cannot read " + path + ": " + std::strerror(errno));
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

void write_full(int fd, std::span<const std::uint8_t> data, const std::string& path) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Failure(Exit::OsError, "cannot write " + path + ": " + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace dfuctl
