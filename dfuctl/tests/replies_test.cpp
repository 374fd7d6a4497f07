// Vendor replies: what is accepted, what is refused as malformed, and how
// each payload is read.
#include "replies.hpp"

#include <gadgetdfu/protocol.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "exit_codes.hpp"
#include "helpers.hpp"

namespace dfuctl {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes reply(std::uint32_t command, std::size_t length, const std::string& payload = "") {
    Bytes r(length, 0);
    if (length > 0) r[0] = static_cast<std::uint8_t>(command);
    std::memcpy(r.data() + 4, payload.data(), std::min(payload.size(), length > 4 ? length - 4 : 0));
    return r;
}

Exit check(std::uint32_t command, const Bytes& r) {
    return testing::exit_of([&] { check_reply(command, r); });
}

TEST(CheckReply, AcceptsEveryCommandAtItsFixedLength) {
    const std::pair<std::uint32_t, std::size_t> fixed[] = {
        {ORVEN_GET_VERSION, 24},
        {ORVEN_GET_FLASHSIZE, 24},
        {ORVEN_GET_SERIAL, 39},
        {ORVEN_LED_BREATHE_ORANGE, 104},
        {ORVEN_LED_ROTATE_ORANGE, 104},
        {ORVEN_LED_BREATHE_RED, 104},
        {ORVEN_WRITE_FIRMWARE, 24},
        {ORVEN_READ_FIRMWARE, 24},
        {ORVEN_REBOOT, 4},
        {ORVEN_SHUTDOWN, 4},
    };
    for (const auto& [command, length] : fixed) {
        EXPECT_EQ(check(command, reply(command, length)), Exit::Ok) << command;
        EXPECT_EQ(reply_request_length(command), length) << command;
        EXPECT_EQ(check(command, reply(command, length - 1)), Exit::Protocol) << command;
    }
}

TEST(CheckReply, EmmcReplyIsVariableFromFiveBytes) {
    EXPECT_EQ(check(ORVEN_GET_EMMC_PROPERTIES, reply(3, 5)), Exit::Ok);
    EXPECT_EQ(check(ORVEN_GET_EMMC_PROPERTIES, reply(3, 17, "0x010x020x01")), Exit::Ok);
    EXPECT_EQ(check(ORVEN_GET_EMMC_PROPERTIES, reply(3, 4)), Exit::Protocol);
    EXPECT_EQ(reply_request_length(ORVEN_GET_EMMC_PROPERTIES), 256);  // all that gadgetfs sends
}

TEST(FirmwareReply, OpenErrnoIsLittleEndianAtByte12) {
    Bytes r = reply(ORVEN_WRITE_FIRMWARE, 24, "Error");
    EXPECT_EQ(firmware_open_errno(r), 0u);  // opened, and what boards without the field send
    r[12] = 0x1C;
    r[13] = 0x01;
    r[15] = 0x80;
    EXPECT_EQ(firmware_open_errno(r), 0x8000011Cu);
}

TEST(CheckReply, RefusesWrongOrDamagedHeaders) {
    EXPECT_EQ(check(ORVEN_GET_VERSION, reply(ORVEN_GET_FLASHSIZE, 24)), Exit::Protocol);
    Bytes r = reply(ORVEN_GET_VERSION, 24);
    r[2] = 1;
    EXPECT_EQ(check(ORVEN_GET_VERSION, r), Exit::Protocol);
    EXPECT_EQ(check(ORVEN_REBOOT, {}), Exit::Protocol);
    // A READ_FIRMWARE request carries length bits in bRequest; the reply
    // still names plain command 9.
    EXPECT_EQ(check(ORVEN_READ_FIRMWARE, reply(0x19, 24)), Exit::Protocol);
}

TEST(PayloadText, StopsAtTheFirstNulOrTheEnd) {
    EXPECT_EQ(payload_text(reply(1, 24, "v1.4")), "v1.4");
    Bytes full(104, 'x');
    full[0] = 5;
    full[1] = full[2] = full[3] = 0;
    EXPECT_EQ(payload_text(full, gadgetdfu::kLedResultLength), std::string(100, 'x'));
    EXPECT_EQ(payload_text(reply(5, 104, "ok\nmore")), "ok\nmore");
    EXPECT_EQ(payload_text(reply(10, 4)), "");
}

TEST(FlashSize, DecimalBytesOrTheBoardsErrorMarkers) {
    const auto ok = decode_flash_size(reply(2, 24, "7818182656"));
    ASSERT_TRUE(ok.bytes);
    EXPECT_EQ(*ok.bytes, 7818182656ULL);

    const auto cannot_open = decode_flash_size(reply(2, 24, "-1"));
    EXPECT_FALSE(cannot_open.bytes);
    EXPECT_EQ(cannot_open.raw, "-1");
    EXPECT_NE(cannot_open.reason.find("open"), std::string::npos);

    const auto query_failed = decode_flash_size(reply(2, 24, "-2"));
    EXPECT_FALSE(query_failed.bytes);
    EXPECT_NE(query_failed.reason.find("query"), std::string::npos);

    for (const char* bad : {"", "12a", "-3", " 12", "99999999999999999999"}) {
        EXPECT_THROW(decode_flash_size(reply(2, 24, bad)), Failure) << bad;
    }
}

TEST(Serial, TrimsTrailingNewlineAndNuls) {
    EXPECT_EQ(decode_serial(reply(4, 39, "1000000012345678\n")), "1000000012345678");
    EXPECT_EQ(decode_serial(reply(4, 39, "abc\r\n")), "abc");
    EXPECT_EQ(decode_serial(reply(4, 39)), "");
    // 35 bytes and no terminator: all of them, nothing beyond the area.
    Bytes r = reply(4, 39, std::string(35, 's'));
    EXPECT_EQ(decode_serial(r), std::string(35, 's'));
    // Only trailing characters go; inner ones stay.
    EXPECT_EQ(decode_serial(reply(4, 39, "a\nb\n")), "a\nb");
}

TEST(FormatIec, BinaryUnitsWithTwoDecimals) {
    EXPECT_EQ(format_iec(0), "0 B");
    EXPECT_EQ(format_iec(1023), "1023 B");
    EXPECT_EQ(format_iec(1024), "1.00 KiB");
    EXPECT_EQ(format_iec(1536), "1.50 KiB");
    EXPECT_EQ(format_iec(7818182656ULL), "7.28 GiB");
    EXPECT_EQ(format_iec(std::uint64_t{1} << 40), "1.00 TiB");
}

}  // namespace
}  // namespace dfuctl
