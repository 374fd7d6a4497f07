// Numbers and hex data from the command line, and the hex dump format.
#include "numbers.hpp"

#include <gtest/gtest.h>

#include "exit_codes.hpp"
#include "helpers.hpp"

namespace dfuctl {
namespace {

bool usage_error(const std::function<void()>& fn) { return testing::exit_of(fn) == Exit::Usage; }

TEST(ParseNumber, DecimalAndHex) {
    EXPECT_EQ(parse_number("0", 255, "N"), 0u);
    EXPECT_EQ(parse_number("255", 255, "N"), 255u);
    EXPECT_EQ(parse_number("0xff", 255, "N"), 255u);
    EXPECT_EQ(parse_number("0XFF", 255, "N"), 255u);
    EXPECT_EQ(parse_number("010", 255, "N"), 10u);  // never octal
    EXPECT_EQ(parse_number("18446744073709551615", UINT64_MAX, "N"), UINT64_MAX);
}

TEST(ParseNumber, RefusesAnythingElse) {
    for (const char* bad :
         {"", "0x", "-1", "+1", " 1", "1 ", "1.5", "12abc", "0xfg", "ff", "0b1", "18446744073709551616"}) {
        EXPECT_TRUE(usage_error([&] { parse_number(bad, UINT64_MAX, "N"); })) << bad;
    }
    EXPECT_TRUE(usage_error([] { parse_number("256", 255, "INDEX"); }));
    EXPECT_TRUE(usage_error([] { parse_number("0x100", 255, "INDEX"); }));
}

TEST(ParseHexBytes, AcceptedSpellings) {
    const std::vector<std::uint8_t> want{0x0a, 0x0b, 0xff};
    for (const char* text :
         {"0a0bff", "0a 0b ff", "0a:0b:ff", "0a,0b,FF", "0a-0b-ff", "0x0a0bff", " 0a 0b ff "}) {
        EXPECT_EQ(parse_hex_bytes(text, "--data"), want) << text;
    }
    EXPECT_TRUE(parse_hex_bytes("", "--data").empty());
}

TEST(ParseHexBytes, Refusals) {
    for (const char* bad : {"0", "0a0", "0 a", "zz", "0a 0x0b", "0a;0b"}) {
        EXPECT_TRUE(usage_error([&] { parse_hex_bytes(bad, "--data"); })) << bad;
    }
}

TEST(ToHex, LowerCaseSpaceSeparated) {
    const std::uint8_t bytes[] = {0x04, 0x03, 0x09, 0x04, 0xCD};
    EXPECT_EQ(to_hex(bytes), "04 03 09 04 cd");
    EXPECT_EQ(to_hex({}), "");
    EXPECT_EQ(hex_value(0x0a5c, 4), "0x0a5c");
    EXPECT_EQ(hex_value(0xc0, 2), "0xc0");
}

}  // namespace
}  // namespace dfuctl
