#include "board.hpp"

#include <gadgetdfu/protocol.h>

#include "exit_codes.hpp"
#include "numbers.hpp"

namespace dfuctl {

bool is_board(std::uint16_t vendor_id, std::uint16_t product_id) {
    return vendor_id == gadgetdfu::kVendorId &&
           (product_id == gadgetdfu::kProductIdPrimary || product_id == gadgetdfu::kProductIdSecondary);
}

std::string format_board_line(const BoardEntry& b) {
    return b.serial.value_or("?") + " " + b.path + " " + hex_value(b.product_id, 4);
}

std::string board_label(const BoardEntry& b) {
    std::string s = "board " + b.path;
    if (b.serial) s += " (serial " + *b.serial + ")";
    return s;
}

std::size_t select_board(const std::vector<BoardEntry>& boards, const Selector& selector) {
    if (boards.empty()) throw Failure(Exit::NoBoard, "no board attached");
    std::vector<std::size_t> matches;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const auto& b = boards[i];
        if (selector.path && b.path != *selector.path) continue;
        if (selector.serial && b.serial != selector.serial) continue;
        matches.push_back(i);
    }
    auto listing = [&](const std::vector<std::size_t>& which) {
        std::string s;
        for (std::size_t i : which) s += "\n  " + format_board_line(boards[i]);
        return s;
    };
    if (matches.empty()) {
        std::vector<std::size_t> all;
        for (std::size_t i = 0; i < boards.size(); ++i) all.push_back(i);
        std::string want;
        if (selector.serial) want += "serial " + *selector.serial;
        if (selector.path) want += std::string(want.empty() ? "" : " and ") + "path " + *selector.path;
        throw Failure(Exit::NoBoard, "no board with " + want + "; attached:" + listing(all));
    }
    if (matches.size() > 1) {
        throw Failure(Exit::NoBoard,
                      std::to_string(matches.size()) +
                          " boards attached; pick one with --serial or --path:" + listing(matches));
    }
    return matches.front();
}

}  // namespace dfuctl
