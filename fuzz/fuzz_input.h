// Reads a fuzzer's input front to back. Past the end every read gives 0 or
// an empty span, so a harness can take what it needs without checking the
// length first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const { return size_ - pos_; }

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    uint16_t le16() {
        const uint16_t lo = byte();
        return static_cast<uint16_t>(lo | byte() << 8);
    }

    uint64_t le64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(byte()) << (8 * i);
        return v;
    }

    // Up to `n` bytes (fewer at the end of the input).
    std::vector<uint8_t> bytes(size_t n) {
        if (n > remaining()) n = remaining();
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

    std::string text(size_t n) {
        const std::vector<uint8_t> b = bytes(n);
        return std::string(b.begin(), b.end());
    }

    std::string rest() { return text(remaining()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A property the harness checks failed: report it and abort, which libFuzzer
// records as a crash with the input that caused it.
[[noreturn]] inline void fuzz_fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
    std::abort();
}

// The texts of a failed check, one after the other.
template <typename... Parts>
std::string fuzz_join(const Parts&... parts) {
    std::string s;
    ((s += std::string_view(parts)), ...);
    return s;
}

#define FUZZ_CHECK(cond, ...)                                  \
    do {                                                       \
        if (!(cond)) fuzz_fail(#cond, fuzz_join(__VA_ARGS__)); \
    } while (0)
