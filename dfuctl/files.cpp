#include "files.hpp"

#include <cerrno>
#include <cstring>

#include "exit_codes.hpp"
#include "platform.hpp"

namespace dfuctl {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        const int saved = errno;
        platform::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

UniqueFd open_input(const std::string& path) {
    UniqueFd fd(platform::open_read(path));
    if (fd.get() < 0) throw Failure(Exit::NoInput, "cannot open " + path + ": " + std::strerror(errno));
    if (platform::is_directory(fd.get())) {
        throw Failure(Exit::NoInput, "cannot read " + path + ": it is a directory");
    }
    return fd;
}

UniqueFd create_output(const std::string& path) {
    if (path == "-") {
        UniqueFd fd(platform::duplicate_stdout());
        if (fd.get() < 0)
            throw Failure(Exit::CantCreate,
                          std::string("cannot use standard output: ") + std::strerror(errno));
        return fd;
    }
    UniqueFd fd(platform::create_write(path));
    if (fd.get() < 0) throw Failure(Exit::CantCreate, "cannot create " + path + ": " + std::strerror(errno));
    return fd;
}

std::optional<std::uint64_t> input_size(int fd) { return platform::size_of(fd); }

std::size_t read_full(int fd, std::span<std::uint8_t> buf, const std::string& path) {
    std::size_t got = 0;
    while (got < buf.size()) {
        const std::ptrdiff_t n = platform::read_some(fd, buf.data() + got, buf.size() - got);
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
        const std::ptrdiff_t n = platform::write_some(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Failure(Exit::OsError, "cannot write " + path + ": " + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace dfuctl
