// Helpers shared by dfuctl's unit tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "digest.hpp"
#include "exit_codes.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace dfuctl::testing {

// How `fn` ended: the exit status and message of the Failure it threw, or
// Exit::Ok and "" when it returned.
struct Outcome {
    Exit code = Exit::Ok;
    std::string message;
};

inline Outcome outcome_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Failure& f) {
        return {f.code(), f.what()};
    }
    return {};
}

inline Exit exit_of(const std::function<void()>& fn) { return outcome_of(fn).code; }

// Lower-case hex SHA-256 of `bytes`.
inline std::string sha256_of(std::span<const std::uint8_t> bytes) {
    Sha256 h;
    h.update(bytes);
    return h.hex_digest();
}

// Test data whose bytes differ in position within and across packets.
inline std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + i / 509);
    return v;
}

// A directory of its own for a test's files, removed with everything in it.
class TempDir {
public:
    TempDir() {
        // A random name, taken only if no other test holds it (as mkdtemp
        // does, which Windows lacks).
        std::random_device random;
        for (int attempt = 0; path_.empty(); ++attempt) {
            if (attempt == 100) throw std::runtime_error("cannot create a temporary directory");
            auto candidate =
                std::filesystem::temp_directory_path() / ("dfuctl-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) path_ = candidate;
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        std::ofstream(file(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file(name);
    }
    // Names of the files in it, sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> v;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            v.push_back(e.path().filename().string());
        std::sort(v.begin(), v.end());
        return v;
    }

private:
    std::filesystem::path path_;
};

// A pipe: fds[0] reads what fds[1] writes, bytes unchanged, not inherited.
inline bool make_pipe(int fds[2]) {
#ifdef _WIN32
    return ::_pipe(fds, 65536, _O_BINARY | _O_NOINHERIT) == 0;
#else
    return ::pipe2(fds, O_CLOEXEC) == 0;
#endif
}

// Standard input read from `fd` while it lives, then the old one again.
class StdinFrom {
public:
    explicit StdinFrom(int fd) : saved_(::dup(0)) {
        if (saved_ < 0 || ::dup2(fd, 0) < 0) throw std::runtime_error("cannot redirect standard input");
    }
    ~StdinFrom() {
        ::dup2(saved_, 0);
        ::close(saved_);
    }
    StdinFrom(const StdinFrom&) = delete;
    StdinFrom& operator=(const StdinFrom&) = delete;

private:
    int saved_;
};

}  // namespace dfuctl::testing
