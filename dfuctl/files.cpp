#include "files.hpp"

#include <cerrno>
#include <cstring>
#include <functional>

#include "exit_codes.hpp"
#include "interrupt.hpp"
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
    // A FIFO without a writer blocks the open until a signal.
    if (fd.get() < 0 && errno == EINTR) check_interrupted();
    if (fd.get() < 0) throw Failure(Exit::NoInput, "cannot open " + path + ": " + std::strerror(errno));
    if (platform::is_directory(fd.get())) {
        throw Failure(Exit::NoInput, "cannot read " + path + ": it is a directory");
    }
    return fd;
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
    if (path == "-") {
        fd_.reset(platform::duplicate_stdout());
        if (fd_.get() < 0)
            throw Failure(Exit::CantCreate,
                          std::string("cannot use standard output: ") + std::strerror(errno));
        return;
    }
    if (platform::path_kind(path) == platform::PathKind::Other) {
        fd_.reset(platform::open_in_place(path));
        if (fd_.get() < 0)
            throw Failure(Exit::CantCreate, "cannot open " + path + ": " + std::strerror(errno));
        return;
    }
    // In the same directory so that the rename stays on one file system.
    std::string name;
    fd_.reset(platform::create_beside(path, name));
    if (fd_.get() < 0) throw Failure(Exit::CantCreate, "cannot create " + path + ": " + std::strerror(errno));
    temp_ = name;
}

OutputFile::~OutputFile() {
    if (temp_.empty()) return;
    fd_.reset();  // Windows removes no open file
    (void)platform::remove(temp_);
}

void OutputFile::commit() {
    if (temp_.empty()) return;
    if (platform::sync(fd_.get()) != 0)
        throw Failure(Exit::OsError, "cannot write " + temp_ + ": " + std::strerror(errno));
    fd_.reset();  // Windows renames no open file
    if (platform::replace(temp_, path_) != 0) {
        throw Failure(Exit::CantCreate,
                      "cannot rename " + temp_ + " to " + path_ + ": " + std::strerror(errno));
    }
    temp_.clear();
}

std::optional<std::uint64_t> input_size(int fd) { return platform::size_of(fd); }

namespace {

// The loops of the reads and writes below; `io` is one call at an offset
// into the buffer.
std::size_t read_loop(std::span<std::uint8_t> buf, const std::string& path,
                      const std::function<std::ptrdiff_t(std::size_t done)>& io) {
    std::size_t got = 0;
    while (got < buf.size()) {
        const std::ptrdiff_t n = io(got);
        if (n < 0) {
            if (errno == EINTR) {
                check_interrupted();
                continue;
            }
            throw Failure(Exit::NoInput, "cannot read " + path + ": " + std::strerror(errno));
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

void write_loop(std::span<const std::uint8_t> data, const std::string& path,
                const std::function<std::ptrdiff_t(std::size_t done)>& io) {
    std::size_t done = 0;
    while (done < data.size()) {
        const std::ptrdiff_t n = io(done);
        if (n < 0) {
            if (errno == EINTR) {
                check_interrupted();
                continue;
            }
            throw Failure(Exit::OsError, "cannot write " + path + ": " + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::size_t read_full(int fd, std::span<std::uint8_t> buf, const std::string& path) {
    return read_loop(buf, path, [&](std::size_t done) {
        return platform::read_some(fd, buf.data() + done, buf.size() - done);
    });
}

void write_full(int fd, std::span<const std::uint8_t> data, const std::string& path) {
    write_loop(data, path, [&](std::size_t done) {
        return platform::write_some(fd, data.data() + done, data.size() - done);
    });
}

std::size_t read_full_at(int fd, std::span<std::uint8_t> buf, std::uint64_t offset, const std::string& path) {
    return read_loop(buf, path, [&](std::size_t done) {
        return platform::read_at(fd, buf.data() + done, buf.size() - done, offset + done);
    });
}

void write_full_at(int fd, std::span<const std::uint8_t> data, std::uint64_t offset, const std::string& path) {
    write_loop(data, path, [&](std::size_t done) {
        return platform::write_at(fd, data.data() + done, data.size() - done, offset + done);
    });
}

}  // namespace dfuctl
