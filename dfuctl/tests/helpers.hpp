// Helpers shared by dfuctl's unit tests.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "exit_codes.hpp"

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
        std::string tmpl = (std::filesystem::temp_directory_path() / "dfuctl-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
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
        for (const auto& e : std::filesystem::directory_iterator(path_)) v.push_back(e.path().filename());
        std::sort(v.begin(), v.end());
        return v;
    }

private:
    std::filesystem::path path_;
};

}  // namespace dfuctl::testing
