// Commands run against simulated boards: the requests they send, what they
// print, and how a failing board reaches the exit status.
#include "commands.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "compressors.hpp"
#include "digest.hpp"
#include "fake_board.hpp"
#include "helpers.hpp"

namespace dfuctl {
namespace {

using testing::DownloadBoard;
using testing::FakeBus;
using testing::pattern;
using testing::run_command;
using testing::sha256_of;
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

TEST(Commands, RequestsABoardToolAnswersWaitLongerThanItsLimit) {
    // The board gives its tools 10 s: their requests wait 12 s by default,
    // the others 5 s; --timeout holds for every request.
    struct Case {
        std::vector<const char*> args;
        std::vector<unsigned> timeouts;  // version, flash size, wear, serial
    };
    const Case cases[] = {
        {{"info"}, {5000, 12000, 12000, 12000}},
        {{"--timeout", "3000", "info"}, {3000, 3000, 3000, 3000}},
        {{"--timeout", "20000", "info"}, {20000, 20000, 20000, 20000}},
    };
    for (const Case& c : cases) {
        FakeBus bus;
        auto& board = bus.add("abcdef01");
        ASSERT_EQ(run_command(bus, c.args).status, 0);
        EXPECT_EQ(board.timeouts, c.timeouts) << c.args.front();
    }
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

// With --json, standard output holds exactly one JSON value, whatever happens.
TEST(Commands, JsonOutputIsOneValueOnSuccessAndFailure) {
    struct Case {
        std::vector<const char*> args;
        bool board;
        int status;
        const char* out;
    };
    const Case cases[] = {
        {{"--json", "list"}, false, 0, "[]"},
        {{"--json", "info"}, false, 69, R"({"error":{"exit":69,"message":"no board attached"}})"},
        {{"--json", "frobnicate"},
         false,
         64,
         R"({"error":{"exit":64,"message":"unknown command 'frobnicate'"}})"},
        {{"string", "7", "--json"}, true, 76, R"({"error":{"exit":76,"message":"request stalled"}})"},
        {{"--json", "upload", "/nonexistent/image.bin"},
         true,
         66,
         R"({"error":{"exit":66,"message":"cannot open /nonexistent/image.bin: No such file or directory"}})"},
        {{"--json", "set-config", "1"}, true, 0, R"({"configuration":1})"},
    };
    for (const auto& c : cases) {
        FakeBus bus;
        if (c.board) bus.add("abcdef01");
        const auto r = run_command(bus, c.args);
        EXPECT_EQ(r.status, c.status) << c.out;
        EXPECT_EQ(r.out, std::string(c.out) + "\n");
        EXPECT_TRUE(nlohmann::json::accept(r.out)) << r.out;
        // People still read the reason on standard error.
        if (c.status != 0) {
            EXPECT_EQ(r.err.rfind("dfuctl: ", 0), 0u) << r.err;
        }
    }
}

// An empty image is refused before anything reaches the board: uploaded,
// it would empty the board; compared, it would match any board.
TEST(Commands, EmptyImageIsRefused) {
    TempDir dir;
    const std::string empty = dir.write("empty.bin", {});
    for (const std::string command : {"upload", "verify", "flash"}) {
        FakeBus bus;
        auto& board = bus.add("abcdef01");
        const auto r = run_command(bus, {"--json", command.c_str(), empty.c_str()});
        EXPECT_EQ(r.status, 66) << command;
        EXPECT_EQ(nlohmann::json::parse(r.out)["error"]["message"],
                  "cannot " + command + " " + empty + ": it is empty");
        EXPECT_TRUE(board.requests.empty()) << command;
    }
}

// A compressed image goes to the board decompressed; verify of an image
// whose size is unknown beforehand reads the board's image only as far as
// the local one goes; each command leaves its line in the log.
TEST(Commands, CompressedImagesAreUploadedAndVerifiedDecompressed) {
    FakeBus bus;
    auto& board = bus.add("abcdef01");
    TempDir dir;
    const auto image = pattern(2 * (1 << 20) + 100);
    const std::string sha = sha256_of(image);
    const std::string log = dir.file("dfuctl.log");
    const auto up = run_command(
        bus, {"--json", "--log", log.c_str(), "upload", dir.write("image", testing::xz(image)).c_str()});
    ASSERT_EQ(up.status, 0) << up.err;
    EXPECT_EQ(board.upload.received(), image);
    const auto summary = nlohmann::json::parse(up.out);
    EXPECT_EQ(summary["bytes"], image.size());
    EXPECT_EQ(summary["sha256"], sha);
    EXPECT_EQ(summary["format"], "xz");

    // The board's image: DownloadBoard's pattern, 3 MiB of it.
    testing::Bytes board_image(3 << 20);
    for (std::size_t i = 0; i < board_image.size(); ++i) board_image[i] = testing::DownloadBoard::byte_at(i);
    board.download.write_chunk(board_image.size());
    const testing::Bytes local(board_image.begin(), board_image.begin() + (1 << 20) + 77);
    const auto ok = run_command(
        bus, {"--log", log.c_str(), "verify", dir.write("same.gz", testing::gzip(local)).c_str()});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("verified 1048653 bytes in "), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find(": match"), std::string::npos) << ok.out;

    // A fresh board: the one above still has the rest of its image in flight.
    FakeBus bus2;
    bus2.add("abcdef01").download.write_chunk(board_image.size());
    auto changed = local;
    changed[5000] ^= 1;
    const auto bad = run_command(
        bus2, {"--log", log.c_str(), "verify", dir.write("changed.zst", testing::zstd(changed)).c_str()});
    EXPECT_EQ(bad.status, 65);
    EXPECT_NE(bad.err.find("first difference at byte 5000"), std::string::npos) << bad.err;

    std::ifstream in(log);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["operation"], "upload");
    EXPECT_EQ(lines[0]["serial"], "abcdef01");
    EXPECT_EQ(lines[0]["path"], "1-1");
    EXPECT_EQ(lines[0]["bytes"], image.size());
    EXPECT_EQ(lines[0]["sha256"], sha);
    EXPECT_EQ(lines[0]["result"], "ok");
    EXPECT_EQ(lines[1]["operation"], "verify");
    EXPECT_EQ(lines[1]["bytes"], local.size());
    EXPECT_EQ(lines[2]["exit"], 65);
    EXPECT_EQ(lines[2]["result"], "failed");
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
    // The third transfer failed: the two before it were taken whole.
    const std::size_t taken = 2 * testing::kCommandSlotSize;
    EXPECT_EQ(r.err, "dfuctl: the board could not store the image: it refused the data after " +
                         std::to_string(taken) + " bytes\n");
    EXPECT_EQ(board.upload.received().size(), taken);
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
    const auto r = run_command(bus, {"flash", "--reboot", "--wait", "60", "--json", "--progress=json",
                                     dir.write("image.bin", image).c_str()});
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
    EXPECT_EQ(j["format"], "raw");
    EXPECT_GE(bus.clock - SteadyTime{}, board.reboot_time);  // it waited for the board to come back
    // Each stage's progress starts at 0 bytes when the board took its
    // request, so that no first rate is measured over no time.
    std::istringstream lines(r.err);
    std::map<std::string, nlohmann::json> first;
    for (std::string line; std::getline(lines, line);)
        first.emplace(nlohmann::json::parse(line)["phase"], nlohmann::json::parse(line));
    ASSERT_EQ(first.size(), 2u) << r.err;
    for (const auto& [phase, p] : first) {
        EXPECT_EQ(p["bytes"], 0) << phase;
        EXPECT_EQ(p["rate"], 0.0) << phase;
    }
}

// A raw image file is compared with what the board sends back, and the
// board's digest is worked out only when they differ; any other image is
// hashed as it comes. Either way the board's digest is that of what it sent
// (a matching read-back: FlashRebootsOnlyAfterAMatchingReadBack).
TEST(Commands, FlashReportsTheDigestOfWhatTheBoardSentBack) {
    const std::size_t size = (2 << 20) + 3;
    struct Case {
        const char* what;
        bool gzip;
        std::optional<std::size_t> changed;  // a local byte that differs from the board's
        std::size_t board_sends;
    };
    for (const Case& c : {Case{"raw, one byte differs 1.5 MiB in", false, (3 << 19) + 9, size},
                          Case{"raw, the board sends less", false, std::nullopt, size - 1000},
                          Case{"gzip, one byte differs", true, std::size_t{70000}, size}}) {
        SCOPED_TRACE(c.what);
        FakeBus bus;
        auto& board = bus.add("abcdef01");
        board.download.write_chunk(c.board_sends);
        auto image = board_image(size);
        if (c.changed) image[*c.changed] ^= 0x40;
        TempDir dir;
        const auto file = c.gzip ? dir.write("image.gz", testing::gzip(image)) : dir.write("image", image);
        const auto r = run_command(bus, {"--json", "flash", file.c_str()});
        EXPECT_EQ(r.status, 65) << r.err;
        const auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["match"], false);
        EXPECT_EQ(j["read_back_bytes"], c.board_sends);
        EXPECT_EQ(j["sha256_local"], sha256_of(image));
        EXPECT_EQ(j["sha256_board"], sha256_of(board_image(c.board_sends)));
    }
}

TEST(Commands, WaitRunsTheCommandOnTheLookThatFoundTheBoard) {
    // Right after the daemon restarted, the board is back on the bus but not
    // yet in the context dfuctl opened at its start (its hot-plug event is
    // still on the way): the command must not fall back to that context.
    FakeBus started, later;
    later.add("abcdef01");
    started.fresh_look = &later;
    for (const char* command : {"list", "info"}) {
        const auto r = run_command(started, {"--wait=20", command});
        EXPECT_EQ(r.status, 0) << command << ": " << r.err;
        EXPECT_NE(r.out.find(command == std::string("list") ? "abcdef01" : "v1.4"), std::string::npos)
            << command << ": " << r.out;
    }
    EXPECT_EQ(started.clock, SteadyTime{}) << "it waited although the board was there";
}

// Straight after boot the host may show no USB device at all until its
// controller driver is up: --wait waits that out too, and says so if it lasts.
TEST(Commands, WaitOutlastsAHostWithoutUsbYet) {
    FakeBus bus;
    bus.add("abcdef01");
    bus.no_usb_looks = 3;
    const auto r = run_command(bus, {"--wait=20", "info"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GT(bus.clock, SteadyTime{}) << "it did not wait";
    bus.no_usb_looks = 1 << 30;
    const auto never = run_command(bus, {"--wait=1", "info"});
    EXPECT_EQ(never.status, 71) << never.err;
    EXPECT_NE(never.err.find("no USB access"), std::string::npos) << never.err;
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
