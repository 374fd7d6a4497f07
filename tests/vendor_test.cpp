// The vendor command set: frame, dispatch, board information, LED ring and
// power commands, against recording stand-ins for the board's tools.
#include <cerrno>
#include <cstring>

#include "daemon_fixture.h"

namespace {

using sim::Bytes;
using sim::Outcome;

const std::string kSerialCmd = "/usr/sbin/velko-bridge-cli --baud 115200 --port /dev/ttyAMA1 get_serial";
const std::string kLedCmd = "/usr/sbin/velko-bridge-cli --baud 115200 --port /dev/ttyAMA1 set_ledring ";
const std::string kMmcCmd = "mmc extcsd read /dev/mmcblk0 | grep EXT_CSD";

const std::string kLifeA = "eMMC Life Time Estimation A [EXT_CSD_DEVICE_LIFE_TIME_EST_TYP_A]: ";
const std::string kLifeB = "eMMC Life Time Estimation B [EXT_CSD_DEVICE_LIFE_TIME_EST_TYP_B]: ";
const std::string kPreEol = "eMMC Pre EOL information [EXT_CSD_PRE_EOL_INFO]: ";

Bytes frame(uint8_t command, const std::string& payload, size_t length) {
    Bytes b(length, 0);
    b[0] = command;
    std::memcpy(b.data() + 4, payload.data(), std::min(payload.size(), length - 4));
    return b;
}

std::string pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('A' + i % 26);
    return s;
}

using VendorCommands = DaemonTest;

TEST_F(VendorCommands, VersionReplyAndItsLines) {
    const Answer a = vendor(0x01);
    EXPECT_EQ(a.reply(), frame(1, std::string("v1.4\0", 5), 24));
    EXPECT_EQ(a.out,
              "1 event(s): Type:3. EP0 SETUP:Setup request 192 1 0 0\nVendor request\nbRequest: 1\n.\n");
    EXPECT_EQ(a.err, "ORVEN_GET_VERSION write result= [24]\n");
    // The high nibble is ignored, and so are direction and wLength.
    EXPECT_EQ(vendor(0xF1).reply(), frame(1, "v1.4", 24));
    const Answer out_dir = request(0x40, 0x01, 0, 0, 0);
    ASSERT_EQ(out_dir.record.calls.size(), 1u);
    EXPECT_EQ(out_dir.record.calls[0].data, frame(1, "v1.4", 24));
}

TEST_F(VendorCommands, NumbersOutsideTheSetAreStalled) {
    const std::pair<uint8_t, int> cases[] = {{0x00, 0}, {0x0C, 12}, {0x0F, 15},
                                             {0x10, 0}, {0x20, 0},  {0xCD, 13}};
    for (auto [req, shown] : cases) {
        const Answer a = vendor(req);
        EXPECT_EQ(a.outcome(), Outcome::Stall) << int(req);
        EXPECT_NE(a.out.find("bRequest: " + std::to_string(shown) + "\n"), std::string::npos);
        EXPECT_EQ(a.err, "Stalled\n");
    }
    const Answer out_dir = request(0x41, 0x0E);
    ASSERT_EQ(out_dir.record.calls.size(), 1u);
    EXPECT_TRUE(out_dir.record.calls[0].is_write);
    EXPECT_TRUE(out_dir.record.calls[0].data.empty());
}

TEST_F(VendorCommands, CompatIdDescriptorOnlyOnItsOwnRequest) {
    const Answer a = vendor(0xCD, 0, 4, 40);
    const Bytes expected = {0x28, 0, 0,    0,    0x00, 0x01, 0x04, 0x00, 0x01, 0,   0, 0, 0, 0,
                            0,    0, 0x00, 0x01, 'W',  'I',  'N',  'U',  'S',  'B', 0, 0, 0, 0,
                            0,    0, 0,    0,    0,    0,    0,    0,    0,    0,   0, 0};
    EXPECT_EQ(a.reply(), expected);
    EXPECT_EQ(vendor(0xCD, 0, 5).outcome(), Outcome::Stall);
    EXPECT_EQ(vendor(0x1D, 0, 4).outcome(), Outcome::Stall);
    EXPECT_EQ(request(0x40, 0xCD, 0, 4, 40).outcome(), Outcome::Stall) << "host-to-device";
}

TEST_F(VendorCommands, FlashSize) {
    EXPECT_EQ(vendor(2).reply(), frame(2, "7818182656", 24));
    sim.emmc_size.reset();
    EXPECT_EQ(vendor(2).reply(), frame(2, "-2", 24));
    sim.emmc_size = 0;
    EXPECT_EQ(vendor(2).reply(), frame(2, "0", 24));
    sim.emmc_size = 9999999999999999999ULL;  // 19 digits still fit
    EXPECT_EQ(vendor(2).reply(), frame(2, "9999999999999999999", 24));
    sim.emmc_size = 10000000000000000000ULL;  // 20 digits cannot
    EXPECT_EQ(vendor(2).reply(), frame(2, "-2", 24));
    EXPECT_EQ(sim.open_count(sim::Node::Emmc), 0);

    sim.emmc_exists = false;
    const Answer missing = vendor(2);
    EXPECT_EQ(missing.reply(), frame(2, "-1", 24));
    EXPECT_NE(missing.out.find("get_eMMC_size: error opening [/dev/mmcblk0] err[-1]\n"), std::string::npos);
    EXPECT_EQ(missing.err, "ORVEN_GET_FLASHSIZE write result= [24]\n");
}

TEST_F(VendorCommands, EmmcWearValues) {
    sim.tools[kMmcCmd] = "Card Type [CARD_TYPE: 0x57]\n" + kLifeA + "0x01\n" +
                         "eMMC Firmware Version [EXT_CSD_FIRMWARE_VERSION]: 0x02\n" + kLifeB + "0x02\n" +
                         "  " + kPreEol + "0x03\n" + kPreEol + "0x01\n";
    const Answer a = vendor(3);
    EXPECT_EQ(a.reply(), frame(3, std::string("0x010x020x01\0", 13), 17));
    EXPECT_EQ(sim.popen_log().back(), kMmcCmd);
    EXPECT_EQ(a.err, "ORVEN_GET_EMMC_PROPERTIES write result= [17]\n");
}

TEST_F(VendorCommands, EmmcOddLines) {
    // A last line without newline loses its last character; a line that
    // ends right after its prefix adds nothing; a repeated prefix counts twice.
    sim.tools[kMmcCmd] = kLifeA + "0x05\n" + kLifeA + "0x06\n" + kLifeB + "\n" + kPreEol;
    EXPECT_EQ(vendor(3).reply(), frame(3, std::string("0x050x06\0", 9), 13));
    sim.tools[kMmcCmd] = kPreEol + "0x02";
    EXPECT_EQ(vendor(3).reply(), frame(3, std::string("0x0\0", 4), 8));
    sim.tools[kMmcCmd] = "";
    EXPECT_EQ(vendor(3).reply(), frame(3, std::string("\0", 1), 5));
    sim.tools[kMmcCmd] = std::nullopt;
    const Answer failed = vendor(3);
    EXPECT_EQ(failed.reply(), frame(3, std::string("\0", 1), 5));
    EXPECT_EQ(failed.err, "Failed to run command\nORVEN_GET_EMMC_PROPERTIES write result= [5]\n");
}

TEST_F(VendorCommands, EmmcValuesNeverPassThePayloadArea) {
    std::string many;
    for (int i = 0; i < 40; ++i) many += kPreEol + pattern(40) + "\n";  // 40 values of 40 characters
    sim.tools[kMmcCmd] = many;
    const Answer a = vendor(3);
    EXPECT_EQ(a.reply().size(), 512u);
    EXPECT_EQ(a.reply()[511], 0);
    EXPECT_EQ(a.reply()[510], static_cast<uint8_t>(pattern(40)[506 % 40]));
}

TEST_F(VendorCommands, SerialForwardsUpTo35Bytes) {
    sim.tools[kSerialCmd] = "0123456789abcdef\n";
    EXPECT_EQ(vendor(4).reply(), frame(4, "0123456789abcdef\n", 39));
    for (size_t n : {0u, 3u, 35u, 50u, 100u, 150u}) {
        sim.tools[kSerialCmd] = pattern(n);
        const Answer a = vendor(4);
        EXPECT_EQ(a.reply(), frame(4, pattern(std::min<size_t>(n, 35)), 39)) << n;
        EXPECT_EQ(a.err, "ORVEN_GET_SERIAL write result= [39]\n");
    }
    sim.tools[kSerialCmd] = "line one\nline two\nline three\nline four\n";
    EXPECT_EQ(vendor(4).reply(),
              frame(4, std::string("line one\nline two\nline three\nline four\n", 35), 39));
    sim.tools[kSerialCmd] = std::nullopt;
    const Answer failed = vendor(4);
    EXPECT_EQ(failed.reply(), frame(4, "", 39));
    EXPECT_EQ(failed.err, "Failed to run command\nORVEN_GET_SERIAL write result= [39]\n");
}

TEST_F(VendorCommands, SerialReadErrorEndsTheCollection) {
    sim.failing_tools[kSerialCmd] = "0123";
    EXPECT_EQ(vendor(4).reply(), frame(4, "0123", 39));
}

TEST_F(VendorCommands, LedPatterns) {
    const std::pair<uint8_t, std::string> cases[] = {
        {5, "breathe_orange"}, {6, "rotate_orange"}, {7, "breathe_red"}};
    const char* names[] = {"ORVEN_LED_BREATHE_ORANGE", "ORVEN_LED_ROTATE_ORANGE", "ORVEN_LED_BREATHE_RED"};
    int i = 0;
    for (const auto& [command, word] : cases) {
        sim.tools[kLedCmd + word] = "ok\n";
        const Answer a = vendor(command);
        EXPECT_EQ(sim.popen_log().back(), kLedCmd + word);
        EXPECT_EQ(a.reply(), frame(command, "ok\n", 104));
        EXPECT_EQ(a.err, std::string(names[i++]) + " write result= [104]\n");
    }
}

TEST_F(VendorCommands, LedOutputLengths) {
    const std::string cmd = kLedCmd + "breathe_red";
    for (size_t n : {0u, 3u, 35u, 50u, 100u, 150u}) {
        sim.tools[cmd] = pattern(n);
        EXPECT_EQ(vendor(7).reply(), frame(7, pattern(std::min<size_t>(n, 100)), 104)) << n;
    }
    // Several lines: the first 100 bytes of all of them, newlines included.
    std::string lines;
    for (int i = 0; i < 5; ++i) lines += pattern(29) + "\n";
    sim.tools[cmd] = lines;
    EXPECT_EQ(vendor(7).reply(), frame(7, lines.substr(0, 100), 104));
    // One line longer than the read buffer.
    sim.tools[cmd] = pattern(2000) + "\n";
    EXPECT_EQ(vendor(7).reply(), frame(7, pattern(100), 104));

    sim.tools[cmd] = std::nullopt;
    const Answer failed = vendor(7);
    EXPECT_EQ(failed.reply(), frame(7, "Failed to run command", 104));
    EXPECT_EQ(failed.err, "Failed to run command\nORVEN_LED_BREATHE_RED write result= [104]\n");
}

TEST_F(VendorCommands, PowerCommandsAnswerBeforeTheyAct) {
    const Answer reboot = vendor(10);
    EXPECT_EQ(reboot.reply(), (Bytes{0x0A, 0, 0, 0}));
    EXPECT_EQ(reboot.err, "ORVEN_REBOOT write result= [4]\n");
    const Answer shutdown = vendor(11);
    EXPECT_EQ(shutdown.reply(), (Bytes{0x0B, 0, 0, 0}));
    EXPECT_EQ(sim.trace(),
              (std::vector<std::string>{"ep0 reply 4", "system reboot", "ep0 reply 4", "system shutdown"}));
}

TEST_F(VendorCommands, FirmwareRepliesCarryTheOpenResult) {
    // "Error" at bytes 4..9 whatever happened; bytes 12..15 the open's errno
    // (0 when it opened), little-endian; every other byte zero.
    const Answer write = vendor(8);
    EXPECT_EQ(write.reply(), frame(8, "Error", 24));
    EXPECT_EQ(write.err, "Opening blockdevice for writing... \nFile/device(write) opening process result= [" +
                             std::to_string(fdFirmware.load()) +
                             "]... \nORVEN_WRITE_FIRMWARE write result= [24]\n");
    const Answer read = vendor(0x09);
    EXPECT_EQ(read.reply(), frame(9, "Error", 24));
    EXPECT_NE(read.err.find("Reading all bytes from firmware... \n"), std::string::npos);

    sim.set_firmware(std::nullopt);
    for (uint8_t command : {8, 9}) {
        const Answer missing = vendor(command);
        Bytes expected = frame(command, "Error", 24);
        expected[12] = ENOENT;
        EXPECT_EQ(missing.reply(), expected) << int{command};
        EXPECT_NE(missing.err.find("still open for"), std::string::npos);
        EXPECT_NE(missing.err.find("result= [-1]"), std::string::npos);
    }
    EXPECT_EQ(fdFirmware.load(), -1);
    EXPECT_EQ(fdRFirmware.load(), -1);
}

TEST_F(VendorCommands, AHungToolIsStoppedAndAnswersAsOneThatCannotStart) {
    // Each tool gets 10 s, whether it falls silent or prints without end;
    // past it, its output so far is dropped and the command answers as for
    // a tool the shell could not start.
    struct Case {
        uint8_t command;
        std::string tool;
        Bytes reply;
    };
    const Case cases[] = {
        {3, kMmcCmd, frame(3, std::string("\0", 1), 5)},
        {4, kSerialCmd, frame(4, "", 39)},
        {6, kLedCmd + "rotate_orange", frame(6, "Failed to run command", 104)},
    };
    for (const Case& c : cases) {
        for (const bool endless : {false, true}) {
            if (endless) {
                sim.hanging_tools.erase(c.tool);
                sim.endless_tools[c.tool] = kLifeA + "0x01\n";
            } else {
                sim.hanging_tools[c.tool] = kLifeA + "0x01\npartial";
            }
            const Answer a = vendor(c.command);
            EXPECT_EQ(a.reply(), c.reply) << c.tool << (endless ? " printing" : " silent");
            EXPECT_NE(a.err.find("Tool stopped after 10 s without an end: " + c.tool +
                                 "\nFailed to run command\n"),
                      std::string::npos)
                << a.err;
        }
    }
    // A power command has answered already; the stop is only logged.
    sim.hanging_tools["reboot"] = "";
    const Answer reboot = vendor(10);
    EXPECT_EQ(reboot.reply(), (Bytes{0x0A, 0, 0, 0}));
    EXPECT_NE(reboot.err.find("Tool stopped after 10 s without an end: reboot\n"), std::string::npos);
    EXPECT_EQ(sim.tool_kill_times(), std::vector<int64_t>(7, 10000));
    EXPECT_EQ(vendor(1).reply()[0], 1) << "ep0 is served again";
}

TEST_F(VendorCommands, DownloadLengthFromTheRequest) {
    struct Case {
        uint8_t bRequest;
        uint16_t wValue, wIndex;
        uint64_t length;
    };
    const Case cases[] = {
        {0x09, 0x0001, 0x0000, 65536},          {0x19, 0x0000, 0x0000, 4294967296ULL},
        {0x09, 0x8000, 0x0000, 2147483648ULL},  {0xF9, 0xFFFF, 0xFFFF, 68719476735ULL},
        {0x79, 0x1234, 0x5678, 0x712345678ULL},
    };
    for (const Case& c : cases) {
        const Answer a = vendor(c.bRequest, c.wValue, c.wIndex);
        EXPECT_EQ(readSize.load(), c.length);
        EXPECT_NE(a.err.find("Reading " + std::to_string(c.length) + " bytes from firmware... \n"),
                  std::string::npos);
        EXPECT_EQ(totalBytesRead.load(), 0u);
    }
}

}  // namespace
