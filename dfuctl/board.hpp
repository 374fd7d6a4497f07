// Which attached devices are boards, and which one a command talks to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dfuctl {

struct BoardEntry {
    std::string path;                   // "1-1"
    std::optional<std::string> serial;  // empty when it could not be read
    std::uint16_t product_id = 0;
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
};

bool is_board(std::uint16_t vendor_id, std::uint16_t product_id);

// "abcdef01 1-1 0x2711" ("?" for an unreadable serial).
std::string format_board_line(const BoardEntry& b);
// "board 1-1 (serial abcdef01)" for messages.
std::string board_label(const BoardEntry& b);

struct Selector {
    std::optional<std::string> serial;
    std::optional<std::string> path;
};

// Index of the one board to use. Throws Failure(Exit::NoBoard) when there is
// none, when several match and no selector narrows them to one, or when the
// selector matches none.
std::size_t select_board(const std::vector<BoardEntry>& boards, const Selector& selector);

}  // namespace dfuctl
