// Commands run against simulated boards: the requests they send, what they
// print, and how a failing board reaches the exit status.
#include "commands.hpp"

#include <gtest/gtest.h>

#include "fake_board.hpp"
#include "helpers.hpp"

namespace dfuctl {
namespace {

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

}  // namespace
}  // namespace dfuctl
