// Commands run against simulated boards: the requests they send, what they
// print, and how a failing board reaches the exit status.
#include "commands.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "fake_board.hpp"
#include "helpers.hpp"

namespace dfuctl {
namespace {

using testing::DownloadBoard;
using testing::FakeBus;
using testing::pattern;
using testing::run_command;
using testing::TempDir;

TEST(Commands, InfoAsksTheFourQueriesAndPrintsTheirAnswers) {
    FakeBus bus;
    auto& board = bus.add("abcdef01");
    const auto r = run_command(bus, {"info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(board.commands(), (std::vector<std::uint32_t>{ORVEN_GET_VERSION, ORVEN_GET_FLASHSIZE,
                                                            ORVEN_GET_EMMC_PROPERTIES, ORVEN_GET_SERIAL}));
    EXPECT_EQ(r.out,
              "version                 v1.4\n"
              "flash size              7818182656 bytes (7.28 GiB)\n"
              "life time estimation A  0x01 (0-10% of life used)\n"
              "life time estimation B  0x02 (10-20% of life used)\n"
              "pre-EOL information     0x01 (normal)\n"
              "serial                  abcdef01\n");
}

TEST(Commands, UploadConfiguresOpensAndStreamsTheImage) {
    FakeBus bus;
    auto& board = bus.add("abcdef01");
    TempDir dir;
    const auto image = pattern(3 * (1 << 20) + 5);
    const auto r = run_command(bus, {"upload", dir.write("image.bin", image).c_str()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(board.configurations, std::vector<int>{1});
    EXPECT_EQ(board.commands(), std::vector<std::uint32_t>{ORVEN_WRITE_FIRMWARE});
    EXPECT_EQ(board.upload.received(), image);
    EXPECT_EQ(r.out.rfind("uploaded 3145733 bytes in ", 0), 0u) << r.out;
}

// The session's one mapping of control-transfer failures to exit statuses
// and messages.
TEST(Commands, ControlFailuresBecomeExitStatuses) {
    struct Case {
        int error;
        bool gone;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {LIBUSB_ERROR_TIMEOUT, false, 75,
         "dfuctl: timed out after 5000 ms waiting for board 1-1 (serial abcdef01) to answer GET_VERSION\n"},
        {LIBUSB_ERROR_PIPE, false, 76, "dfuctl: request stalled (GET_VERSION)\n"},
        {LIBUSB_ERROR_OVERFLOW, false, 76,
         "dfuctl: board 1-1 (serial abcdef01) sent more than asked for in reply to GET_VERSION\n"},
        {LIBUSB_ERROR_IO, true, 74, "dfuctl: board 1-1 (serial abcdef01) vanished during GET_VERSION\n"},
        {LIBUSB_ERROR_IO, false, 71, "dfuctl: GET_VERSION failed: Input/Output Error\n"},
    };
    for (const auto& c : cases) {
        FakeBus bus;
        auto& board = bus.add("abcdef01");
        board.fail_next = c.error;
        board.gone_on_failure = c.gone;
        const auto r = run_command(bus, {"--path", "1-1", "info"});
        EXPECT_EQ(r.status, c.status) << libusb_error_name(c.error);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
    }
}

// The board's image as the simulated board sends it back.
std::vector<std::uint8_t> board_image(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = DownloadBoard::byte_at(i);
    return v;
}

// A board whose open of its image file failed says so in its reply; no
// byte moves, no output file is left, and the upload's halt is cleared.
TEST(Commands, BoardThatCannotOpenItsImageFailsBeforeAnyData) {
    struct Case {
        const char* command;
        bool halts_out;
    };
    for (const auto& c :
         {Case{"upload", true}, Case{"download", false}, Case{"verify", false}, Case{"flash", true}}) {
        FakeBus bus;
        auto& board = bus.add("abcdef01");
        board.open_errno = ENOENT;
        board.download.write_chunk(4096);  // a board without the field would send this
        TempDir dir;
        const std::string image = dir.write("image.bin", pattern(4096));
        const std::string file = std::string(c.command) == "download" ? dir.file("out.bin") : image;
        const auto r = run_command(bus, {c.command, file.c_str()});
        EXPECT_EQ(r.status, 72) << c.command;
        EXPECT_EQ(r.err,
                  "dfuctl: the board cannot open its image file /tmp/firmware: No such file or directory\n")
            << c.command;
        EXPECT_EQ(board.upload.submitted() + board.download.submitted(), 0u) << c.command;
        EXPECT_EQ(bus.clock, SteadyTime{}) << c.command << ": waited for data";
        EXPECT_EQ(board.cleared_halts,
                  c.halts_out ? std::vector<std::uint8_t>{0x01} : std::vector<std::uint8_t>{})
            << c.command;
        EXPECT_EQ(dir.names(), std::vector<std::string>{"image.bin"}) << c.command;
    }
}

TEST(Commands, UploadRefusedMidwayFailsWithTheByteCountAndClearsTheHalt) {
    FakeBus bus;
    auto& board = bus.add("abcdef01");
    board.upload.fail_transfer(2, TransferStatus::Stall, false);
    TempDir dir;
    const auto r = run_command(bus, {"upload", dir.write("image.bin", pattern(6 << 20)).c_str()});
    EXPECT_EQ(r.status, 79);
    EXPECT_EQ(r.err,
              "dfuctl: the board could not store the image: it refused the data after 2097152 bytes\n");
    EXPECT_EQ(board.upload.received().size(), 2u << 20);
    EXPECT_EQ(board.cleared_halts, std::vector<std::uint8_t>{0x01});
    EXPECT_FALSE(board.cleared_with_transfers_queued);  // or a queued transfer would reach the next upload
    EXPECT_FALSE(board.upload.halted());
}

TEST(Commands, DownloadIsRenamedIntoPlaceOnlyWhenComplete) {
    {
        FakeBus bus;
        bus.add("abcdef01").download.write_chunk(1000000);
        TempDir dir;
        const auto r = run_command(bus, {"download", "--length", "2000000", dir.file("out.bin").c_str()});
        EXPECT_EQ(r.status, 65);
        EXPECT_NE(r.err.find("the board sent 1000000 of 2000000 bytes"), std::string::npos) << r.err;
        EXPECT_TRUE(dir.names().empty());
    }
    FakeBus bus;
    bus.add("abcdef01").download.write_chunk(1000000);
    TempDir dir;
    dir.write("out.bin", pattern(10));  // replaced whole
    const auto r = run_command(bus, {"download", "--length", "1000000", dir.file("out.bin").c_str()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.names(), std::vector<std::string>{"out.bin"});
    std::ifstream f(dir.file("out.bin"), std::ios::binary);
    const std::vector<std::uint8_t> got{std::istreambuf_iterator<char>(f), {}};
    EXPECT_EQ(got, board_image(1000000));
}

TEST(Commands, FlashRebootsOnlyAfterAMatchingReadBack) {
    const std::size_t size = (1 << 20) + 3;
    {
        FakeBus bus;
        auto& board = bus.add("abcdef01");
        board.download.write_chunk(size);  // not what is uploaded
        TempDir dir;
        const auto r = run_command(bus, {"flash", "--reboot", dir.write("image.bin", pattern(size)).c_str()});
        EXPECT_EQ(r.status, 65);
        EXPECT_NE(r.out.find("MISMATCH"), std::string::npos) << r.out;
        EXPECT_EQ(board.commands(), (std::vector<std::uint32_t>{ORVEN_WRITE_FIRMWARE, ORVEN_READ_FIRMWARE}));
    }
    FakeBus bus;
    auto& board = bus.add("abcdef01");
    board.download.write_chunk(size);
    TempDir dir;
    const auto image = board_image(size);
    const auto r = run_command(
        bus, {"flash", "--reboot", "--wait", "60", "--json", dir.write("image.bin", image).c_str()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(board.upload.received(), image);
    EXPECT_EQ(board.commands(), (std::vector<std::uint32_t>{ORVEN_WRITE_FIRMWARE, ORVEN_READ_FIRMWARE,
                                                            ORVEN_REBOOT, ORVEN_GET_VERSION}));
    ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["operation"], "flash");
    EXPECT_EQ(j["bytes"], size);
    EXPECT_EQ(j["match"], true);
    EXPECT_EQ(j["sha256_local"], j["sha256_board"]);
    EXPECT_EQ(j["rebooted"], true);
    EXPECT_EQ(j["version"], "v1.4");
    EXPECT_GE(bus.clock - SteadyTime{}, board.reboot_time);  // it waited for the board to come back
}

// At full speed a bulk packet holds 64 bytes, so an image of whole 64-byte
// packets needs the second closing packet that 512-byte packets would not.
TEST(Commands, FullSpeedBoardIsUploadedInItsPacketSizeWithAWarning) {
    FakeBus bus;
    auto& board = bus.add("abcdef01");
    board.full_speed = true;
    board.upload.packet = 64;
    TempDir dir;
    const auto r = run_command(bus, {"upload", dir.write("image.bin", pattern(576)).c_str()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("runs at full speed"), std::string::npos) << r.err;
    EXPECT_EQ(board.upload.reads(), (std::vector<std::size_t>{576, 0}));
}

}  // namespace
}  // namespace dfuctl
