// dfuctl's command-line numbers and hex data (parse_number,
// parse_hex_bytes) on any text.
//
// Input: a selector byte, for parse_number the upper limit (8 bytes), then
// the text up to the end.
//
// Checked against a model of the documented syntax: a number is accepted
// exactly when it is decimal or 0x-hex digits only and lies within the
// limit, with its value; hex data comes back unchanged through to_hex; every
// refusal is Exit::Usage with the text in its message.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exit_codes.hpp"
#include "fuzz_input.h"
#include "numbers.hpp"

namespace {

using namespace dfuctl;

int digit(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v < base ? v : -1;
}

// The documented syntax, digit by digit.
std::optional<std::uint64_t> model_number(std::string_view t, std::uint64_t max) {
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t.remove_prefix(2);
        base = 16;
    }
    if (t.empty()) return std::nullopt;
    unsigned __int128 v = 0;
    for (char c : t) {
        const int d = digit(c, base);
        if (d < 0) return std::nullopt;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (v > max) return std::nullopt;
    }
    return static_cast<std::uint64_t>(v);
}

// A command-line argument ends at its first NUL.
std::string argument(const std::string& s) { return s.substr(0, s.find('\0')); }

template <typename F>
std::optional<Failure> failure_of(F f) {
    try {
        f();
    } catch (const Failure& e) {
        return e;
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t selector = in.byte();
    if (selector % 2 == 0) {
        // Limits as the options use them, and any other.
        static constexpr std::uint64_t kLimits[] = {0xFF, 0xFFFF, 4096, (std::uint64_t{1} << 36) - 1,
                                                    UINT64_MAX};
        const std::uint64_t max = selector & 0x80 ? in.le64() : kLimits[(selector >> 1) % 5];
        const std::string text = argument(in.rest());
        std::uint64_t value = 0;
        const auto f = failure_of([&] { value = parse_number(text, max, "--x"); });
        const auto want = model_number(text, max);
        FUZZ_CHECK(f.has_value() != want.has_value(), "parse_number accepts wrongly: ", text);
        if (f) {
            FUZZ_CHECK(f->code() == Exit::Usage);
            FUZZ_CHECK(std::string(f->what()).find("'" + text + "'") != std::string::npos,
                       "message without text");
        } else {
            FUZZ_CHECK(value == *want, "parse_number gives the wrong value for ", text);
        }
        return 0;
    }
    const std::string text = argument(in.rest());
    std::vector<std::uint8_t> bytes;
    const auto f = failure_of([&] { bytes = parse_hex_bytes(text, "--data"); });
    if (f) {
        FUZZ_CHECK(f->code() == Exit::Usage);
        return 0;
    }
    std::size_t digits = 0;
    for (std::size_t i = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? 2 : 0; i < text.size(); ++i) {
        digits += digit(text[i], 16) >= 0;
    }
    FUZZ_CHECK(digits == 2 * bytes.size(), "hex data lost or gained digits: ", text);
    const std::string hex = to_hex(bytes);
    FUZZ_CHECK(parse_hex_bytes(hex, "--data") == bytes, "hex data does not come back: ", text);
    return 0;
}
