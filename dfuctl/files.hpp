// Image files: an owning descriptor, and the reads and writes the transfers
// need, with failures already turned into dfuctl's exit statuses.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace dfuctl {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    bool operator!() const = delete;  // ask for get() >= 0 instead

    int get() const { return fd_; }
    // close(2) is not retried: on Linux the descriptor is gone even on EINTR.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Throws Failure(Exit::NoInput) when `path` cannot be opened for reading.
UniqueFd open_input(const std::string& path);
// An output file that appears under its name only complete: the data goes
// to a temporary file beside it, which commit() renames over it and which
// is removed when the object goes without a commit. "-" (standard output)
// and an existing file that is not a regular file (a device, a FIFO) are
// written in place, as they cannot be replaced.
class OutputFile {
public:
    // Throws Failure(Exit::CantCreate).
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    int fd() const { return fd_.get(); }
    // Syncs the data, closes the file and gives it its name. Throws
    // Failure(Exit::OsError) or Failure(Exit::CantCreate).
    void commit();

private:
    std::string path_;
    std::string temp_;  // empty when written in place
    UniqueFd fd_;
};

// Size of a regular file or block device; empty for pipes and the like.
std::optional<std::uint64_t> input_size(int fd);

// Reads until `buf` is full or the file ends. Throws Failure(Exit::NoInput)
// naming `path` on a read error.
std::size_t read_full(int fd, std::span<std::uint8_t> buf, const std::string& path);
// Writes all of `data`. Throws Failure(Exit::OsError) naming `path`.
void write_full(int fd, std::span<const std::uint8_t> data, const std::string& path);
// The same at `offset`, whatever the file position: threads may share the
// descriptor.
std::size_t read_full_at(int fd, std::span<std::uint8_t> buf, std::uint64_t offset, const std::string& path);
void write_full_at(int fd, std::span<const std::uint8_t> data, std::uint64_t offset, const std::string& path);

}  // namespace dfuctl
