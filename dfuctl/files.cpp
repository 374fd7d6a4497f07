#include "files.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
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

OutputFile::OutputFile(const std::string& path) : path_(path) {
    if (path == "-") {
        fd_.reset(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
        if (fd_.get() < 0)
            throw Failure(Exit::CantCreate,
                          std::string("cannot use standard output: ") + std::strerror(errno));
        return;
    }
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        fd_.reset(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        if (fd_.get() < 0)
            throw Failure(Exit::CantCreate, "cannot open " + path + ": " + std::strerror(errno));
        return;
    }
    // mkstemp's name, in the same directory so that the rename stays on one file system.
    std::string name = path + ".dfuctl-XXXXXX";
    fd_.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (fd_.get() < 0) throw Failure(Exit::CantCreate, "cannot create " + path + ": " + std::strerror(errno));
    temp_ = name;
    // mkstemp creates mode 0600; the file gets the mode a plain creation
    // would give it, or keeps the one of the file it replaces.
    mode_t mode = st.st_mode & 07777;
    if (!exists) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    (void)::fchmod(fd_.get(), mode);  // the data matters more than its mode
}

OutputFile::~OutputFile() {
    if (!temp_.empty()) (void)::unlink(temp_.c_str());
}

void OutputFile::commit() {
    if (temp_.empty()) return;
    if (::fsync(fd_.get()) != 0)
        throw Failure(Exit::OsError, "cannot write " + temp_ + ": " + std::strerror(errno));
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
        throw Failure(Exit::CantCreate,
                      "cannot rename " + temp_ + " to " + path_ + ": " + std::strerror(errno));
    }
    temp_.clear();
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
