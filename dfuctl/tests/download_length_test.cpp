// The 36-bit download length as dfuctl puts it into the READ_FIRMWARE
// request: bits 35..32 in the high nibble of bRequest, 31..16 in wValue,
// 15..0 in wIndex; the low nibble stays the command number.
#include <gadgetdfu/protocol.h>

#include <gtest/gtest.h>

#include "cli.hpp"

namespace dfuctl {
namespace {

using gadgetdfu::decode_download_length;
using gadgetdfu::encode_download_length;

TEST(DownloadLength, RoundTripsAcrossTheWholeRange) {
    const std::uint64_t lengths[] = {0,
                                     1,
                                     0xFFFF,
                                     0x10000,
                                     0x7FFFFFFF,
                                     0x80000000,
                                     0xFFFFFFFF,
                                     0x100000000ULL,
                                     0x123456789ULL,
                                     0xFFFFFFFFFULL,
                                     0xF00000000ULL};
    for (const auto length : lengths) {
        const auto r = encode_download_length(length);
        EXPECT_EQ(r.bRequest & 0x0F, ORVEN_READ_FIRMWARE) << length;
        EXPECT_EQ(decode_download_length(r.bRequest, r.wValue, r.wIndex), length) << length;
    }
}

TEST(DownloadLength, FieldsOfTheBoundaryValues) {
    auto fields = [](std::uint64_t length) {
        const auto r = encode_download_length(length);
        return std::tuple(r.bRequest, r.wValue, r.wIndex);
    };
    EXPECT_EQ(fields(0), std::tuple(0x09, 0x0000, 0x0000));  // the whole image
    EXPECT_EQ(fields(65536), std::tuple(0x09, 0x0001, 0x0000));
    EXPECT_EQ(fields(2147483648ULL), std::tuple(0x09, 0x8000, 0x0000));   // no sign spreading into bits 32+
    EXPECT_EQ(fields(4294967296ULL), std::tuple(0x19, 0x0000, 0x0000));   // 2^32
    EXPECT_EQ(fields(68719476735ULL), std::tuple(0xF9, 0xFFFF, 0xFFFF));  // 2^36 - 1
}

// The command line lets through exactly the lengths the request can carry.
TEST(DownloadLength, CommandLineAcceptsUpTo36Bits) {
    auto parse = [](const char* length) {
        const char* argv[] = {"dfuctl", "download", "image.bin", "--length", length};
        std::ostringstream out, err;
        return parse_command_line(5, argv, out, err);
    };
    auto max = parse("68719476735");
    ASSERT_TRUE(max.invocation);
    EXPECT_EQ(max.invocation->length, 68719476735ULL);
    auto hex = parse("0x100000000");
    ASSERT_TRUE(hex.invocation);
    EXPECT_EQ(hex.invocation->length, 4294967296ULL);
    EXPECT_EQ(parse("68719476736").exit_code, 64);
    EXPECT_EQ(parse("0x1000000000").exit_code, 64);
}

}  // namespace
}  // namespace dfuctl
