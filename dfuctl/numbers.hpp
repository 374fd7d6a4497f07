// Parsing of command-line numbers and hex data, and the hex dump format
// that `string` and `control` print.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dfuctl {

// Decimal, or hexadecimal with a 0x/0X prefix; the whole text must be the
// number and it must lie in [0, max]. A leading zero does not mean octal.
// Throws Failure(Exit::Usage) naming `what` otherwise.
std::uint64_t parse_number(std::string_view text, std::uint64_t max, std::string_view what);

// Hex bytes such as "0a0b", "0a 0b", "0a:0b" or "0x0a0b": pairs of hex digits,
// optionally separated by blanks, ':' , ',' or '-', with one optional 0x
// prefix for the whole text. Throws Failure(Exit::Usage) on anything else.
std::vector<std::uint8_t> parse_hex_bytes(std::string_view text, std::string_view what);

// Lower-case hex, one space between bytes; empty for no bytes.
std::string to_hex(std::span<const std::uint8_t> bytes);

// "0x" and `digits` lower-case hex digits, e.g. hex_value(0x0a5c, 4) == "0x0a5c".
std::string hex_value(unsigned value, int digits);

}  // namespace dfuctl
