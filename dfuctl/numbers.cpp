#include "numbers.hpp"

#include <charconv>
#include <cstdio>

#include "exit_codes.hpp"

namespace dfuctl {
namespace {

[[noreturn]] void bad(std::string_view what, std::string_view text, std::string_view why) {
    throw Failure(Exit::Usage, std::string(what) + " '" + std::string(text) + "' " + std::string(why));
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::uint64_t parse_number(std::string_view text, std::uint64_t max, std::string_view what) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    if (digits.empty()) bad(what, text, "is not a number");
    // from_chars accepts neither signs nor blanks, which is what we want.
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (ec == std::errc::result_out_of_range) bad(what, text, "is out of range");
    if (ec != std::errc() || end != digits.data() + digits.size()) bad(what, text, "is not a number");
    if (value > max) {
        bad(what, text, "is out of range (at most " + std::to_string(max) + ")");
    }
    return value;
}

std::vector<std::uint8_t> parse_hex_bytes(std::string_view text, std::string_view what) {
    std::string_view rest = text;
    if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) rest.remove_prefix(2);
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : rest) {
        if (c == ' ' || c == '\t' || c == ':' || c == ',' || c == '-') {
            if (high >= 0) bad(what, text, "has an odd number of hex digits in a byte");
            continue;
        }
        const int v = hex_digit(c);
        if (v < 0) bad(what, text, "is not hex data");
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) bad(what, text, "has an odd number of hex digits");
    return bytes;
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) out.push_back(' ');
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return out;
}

std::string hex_value(unsigned value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*x", digits, value);
    return buf;
}

}  // namespace dfuctl
