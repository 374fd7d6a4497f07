// Picking the board to talk to.
#include "board.hpp"

#include <gtest/gtest.h>

#include "exit_codes.hpp"
#include "helpers.hpp"

namespace dfuctl {
namespace {

BoardEntry entry(const char* path, std::optional<std::string> serial, std::uint16_t pid = 0x2711) {
    return BoardEntry{path, std::move(serial), pid, 1, 2};
}

// The failure's message, or "" when it picked a board.
std::string refusal(const std::vector<BoardEntry>& boards, const Selector& s) {
    const auto o = testing::outcome_of([&] { select_board(boards, s); });
    if (o.code != Exit::Ok) {
        EXPECT_EQ(o.code, Exit::NoBoard);
    }
    return o.message;
}

TEST(SelectBoard, NoneAttached) { EXPECT_EQ(refusal({}, {}), "no board attached"); }

TEST(SelectBoard, TheOnlyBoardNeedsNoSelector) {
    EXPECT_EQ(select_board({entry("1-1", "abcdef01")}, {}), 0u);
}

TEST(SelectBoard, SeveralBoardsNeedASelectorAndAreListed) {
    const std::vector<BoardEntry> two{entry("1-1", "aaaa0001"), entry("2-1", std::nullopt, 0x2712)};
    const std::string msg = refusal(two, {});
    EXPECT_NE(msg.find("--serial"), std::string::npos);
    EXPECT_NE(msg.find("--path"), std::string::npos);
    EXPECT_NE(msg.find("aaaa0001 1-1 0x2711"), std::string::npos);
    EXPECT_NE(msg.find("? 2-1 0x2712"), std::string::npos);

    EXPECT_EQ(select_board(two, {"aaaa0001", std::nullopt}), 0u);
    EXPECT_EQ(select_board(two, {std::nullopt, "2-1"}), 1u);
}

TEST(SelectBoard, SelectorsMustAllMatch) {
    const std::vector<BoardEntry> two{entry("1-1", "aaaa0001"), entry("1-2", "bbbb0002")};
    EXPECT_EQ(select_board(two, {"bbbb0002", "1-2"}), 1u);
    EXPECT_NE(refusal(two, {"bbbb0002", "1-1"}), "");
    EXPECT_NE(refusal(two, {"cccc0003", std::nullopt}), "");
    EXPECT_NE(refusal(two, {std::nullopt, "1-1.1"}), "");  // no prefix matching
    EXPECT_NE(refusal({entry("1-1", "aaaa0001")}, {std::nullopt, "3-1"}), "");
}

TEST(SelectBoard, UnreadableSerialNeverMatches) {
    EXPECT_NE(refusal({entry("1-1", std::nullopt)}, {"?", std::nullopt}), "");
}

TEST(Boards, IdentityAndLines) {
    EXPECT_TRUE(is_board(0x0A5C, 0x2711));
    EXPECT_TRUE(is_board(0x0A5C, 0x2712));
    EXPECT_FALSE(is_board(0x0A5C, 0x2710));
    EXPECT_FALSE(is_board(0x1D6B, 0x2711));
    EXPECT_EQ(format_board_line(entry("1-1", "abcdef01")), "abcdef01 1-1 0x2711");
    EXPECT_EQ(format_board_line(entry("1-1.4", std::nullopt, 0x2712)), "? 1-1.4 0x2712");
    EXPECT_EQ(board_label(entry("1-1", "abcdef01")), "board 1-1 (serial abcdef01)");
    EXPECT_EQ(board_label(entry("1-1", std::nullopt)), "board 1-1");
}

}  // namespace
}  // namespace dfuctl
