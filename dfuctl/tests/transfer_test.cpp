// Upload and download streaming against simulated boards: the bytes that
// arrive, how each transfer ends, and how failures turn into exit statuses.
#include "transfer.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <sstream>

#include "fake_pipe.hpp"
#include "helpers.hpp"
#include "log.hpp"

namespace dfuctl {
namespace {

using namespace std::chrono_literals;
using testing::DownloadBoard;
using testing::exit_of;
using testing::pattern;
using testing::UploadBoard;

constexpr std::size_t kSlots = 4;
constexpr std::size_t kSlotSize = 1 << 20;
constexpr std::size_t MiB = 1 << 20;

StreamOptions options(testing::FakePipe& pipe, const char* operation) {
    StreamOptions o;
    o.board = "board 1-1";
    o.operation = operation;
    o.stall_timeout = 5000ms;
    o.idle = 2000ms;
    o.now = pipe.clock();
    return o;
}

// Hands out `data` in the pieces the streaming code asks for.
ReadFn reader(const std::vector<std::uint8_t>& data) {
    auto pos = std::make_shared<std::size_t>(0);
    return [&data, pos](std::span<std::uint8_t> buf) {
        const std::size_t n = std::min(buf.size(), data.size() - *pos);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(*pos), n, buf.begin());
        *pos += n;
        return n;
    };
}

// ---- upload ----

class UploadLengths : public ::testing::TestWithParam<std::size_t> {};

// Whatever the length, the board ends up with exactly the image and sees
// exactly one empty read, as its very last read: one zero-length packet
// too few leaves the upload open, one too many closes the next upload.
TEST_P(UploadLengths, BoardReceivesTheImageAndExactlyOneClosingRead) {
    const std::size_t length = GetParam();
    const auto image = pattern(length);
    UploadBoard board(kSlots, kSlotSize);
    const auto result = upload_stream(board, reader(image), options(board, "upload"));

    EXPECT_EQ(result.bytes, length);
    EXPECT_EQ(board.received(), image);
    ASSERT_FALSE(board.reads().empty());
    EXPECT_EQ(board.reads().back(), 0u);
    EXPECT_EQ(std::count(board.reads().begin(), board.reads().end(), 0u), 1);
    const auto total = std::accumulate(board.reads().begin(), board.reads().end(), std::size_t{0});
    EXPECT_EQ(total, length);
}

INSTANTIATE_TEST_SUITE_P(Lengths, UploadLengths,
                         ::testing::Values(0, 1, 511, 512, 513, 4096, MiB - 512, MiB - 1, MiB, MiB + 1,
                                           MiB + 512, 2 * MiB, 3 * MiB + 100, 6 * MiB + 3 * 512, 9 * MiB));

TEST(Upload, KeepsEveryTransferSlotBusy) {
    const auto image = pattern(10 * MiB + 7);
    UploadBoard board(kSlots, kSlotSize);
    upload_stream(board, reader(image), options(board, "upload"));
    EXPECT_EQ(board.peak_in_flight(), kSlots);
}

// -v: each transfer as it ends, at most one line per 100 ms; the rest are
// counted, and none is lost from the count.
TEST(Upload, VerboseTraceShowsTransfersRateLimited) {
    const auto image = pattern(30 * MiB);
    UploadBoard board(kSlots, kSlotSize);  // 1 ms of virtual time per transfer
    std::ostringstream sink;
    set_verbosity(1, &sink);
    upload_stream(board, reader(image), options(board, "upload"));
    set_verbosity(0, nullptr);
    EXPECT_EQ(sink.str(),
              "dfuctl: bulk 0x01 (OUT): 1048576 of 1048576 bytes, completed\n"
              "dfuctl: bulk 0x01 (OUT): +30 not shown: 30408704 bytes\n");
}

TEST(Upload, ReportsProgressUpToTheWholeImage) {
    const auto image = pattern(3 * MiB + 5);
    UploadBoard board(kSlots, kSlotSize);
    std::vector<std::uint64_t> seen;
    auto o = options(board, "upload");
    o.progress = [&](std::uint64_t done) { seen.push_back(done); };
    upload_stream(board, reader(image), o);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), image.size());
}

TEST(Upload, BoardThatStopsTakingDataTimesOut) {
    const auto image = pattern(8 * MiB);
    UploadBoard board(kSlots, kSlotSize);
    board.stop_reading_after(2);
    const auto start = board.now();
    EXPECT_EQ(exit_of([&] { upload_stream(board, reader(image), options(board, "upload")); }), Exit::Timeout);
    EXPECT_GE(board.now() - start, 5000ms);
    EXPECT_LT(board.now() - start, 6000ms);
}

TEST(Upload, BoardThatNeverTakesTheClosingPacketTimesOut) {
    const auto image = pattern(1000);
    UploadBoard board(kSlots, kSlotSize);
    board.stop_reading_after(1);  // takes the data, not the zero-length packet
    EXPECT_EQ(exit_of([&] { upload_stream(board, reader(image), options(board, "upload")); }), Exit::Timeout);
}

TEST(Upload, TransferFailuresMapToExitStatuses) {
    struct Case {
        TransferStatus status;
        bool device_gone;
        Exit expected;
    };
    const Case cases[] = {
        {TransferStatus::NoDevice, true, Exit::Vanished},
        {TransferStatus::Error, true, Exit::Vanished},  // unplugged: a plain error first
        {TransferStatus::Error, false, Exit::OsError},
        {TransferStatus::Stall, false, Exit::NotStored},  // the board refuses what it cannot store
    };
    for (const auto& c : cases) {
        const auto image = pattern(6 * MiB);
        UploadBoard board(kSlots, kSlotSize);
        board.fail_transfer(2, c.status, c.device_gone);
        EXPECT_EQ(exit_of([&] { upload_stream(board, reader(image), options(board, "upload")); }), c.expected)
            << transfer_status_name(c.status);
    }
}

TEST(Upload, SubmitRefused) {
    struct Case {
        TransferStatus status;
        Exit expected;
        const char* says;
    };
    for (const Case& c : {Case{TransferStatus::NoDevice, Exit::Vanished, "vanished"},
                          Case{TransferStatus::NoMemory, Exit::OsError, "usbfs_memory_mb"}}) {
        const auto image = pattern(100);
        UploadBoard board(kSlots, kSlotSize);
        board.fail_submit(c.status);
        const auto o =
            testing::outcome_of([&] { upload_stream(board, reader(image), options(board, "upload")); });
        EXPECT_EQ(o.code, c.expected) << c.says;
        EXPECT_NE(o.message.find(c.says), std::string::npos) << o.message;
    }
}

TEST(Upload, ReadErrorOfTheImagePropagates) {
    UploadBoard board(kSlots, kSlotSize);
    int calls = 0;
    ReadFn failing = [&](std::span<std::uint8_t> buf) -> std::size_t {
        if (++calls == 3) throw Failure(Exit::NoInput, "cannot read");
        return buf.size();
    };
    EXPECT_EQ(exit_of([&] { upload_stream(board, failing, options(board, "upload")); }), Exit::NoInput);
}

TEST(TransferStatus, FailedTransfersToExitStatuses) {
    EXPECT_EQ(exit_for_transfer(TransferStatus::NoDevice), Exit::Vanished);
    EXPECT_EQ(exit_for_transfer(TransferStatus::TimedOut), Exit::Timeout);
    EXPECT_EQ(exit_for_transfer(TransferStatus::Stall), Exit::Protocol);
    EXPECT_EQ(exit_for_transfer(TransferStatus::Overflow), Exit::Protocol);
    EXPECT_EQ(exit_for_transfer(TransferStatus::Error), Exit::OsError);
}

// ---- download ----

struct Sink {
    std::vector<std::uint8_t> data;
    WriteFn fn() {
        return [this](std::span<const std::uint8_t> d) { data.insert(data.end(), d.begin(), d.end()); };
    }
    bool is_image_prefix() const {
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (data[i] != DownloadBoard::byte_at(i)) return false;
        }
        return true;
    }
};

// The board writes its image in chunks of at most 512000 bytes.
void write_image(DownloadBoard& board, std::size_t size) {
    for (std::size_t off = 0; off < size; off += 512000)
        board.write_chunk(std::min<std::size_t>(512000, size - off));
}

TEST(Download, GivenLengthEndsAtTheLengthWithoutWaiting) {
    DownloadBoard board(kSlots, kSlotSize);
    write_image(board, 1200000);
    Sink sink;
    const auto start = board.now();
    const auto r = download_stream(board, 1200000, sink.fn(), options(board, "download"));
    EXPECT_EQ(r.bytes, 1200000u);
    EXPECT_EQ(sink.data.size(), 1200000u);
    EXPECT_TRUE(sink.is_image_prefix());
    EXPECT_FALSE(r.idle);
    EXPECT_LT(board.now() - start, 100ms);
}

TEST(Download, WholeImageEndsAtItsShortLastPacket) {
    DownloadBoard board(kSlots, kSlotSize);
    write_image(board, 1200000);  // 1200000 = 2343 * 512 + 384
    Sink sink;
    const auto r = download_stream(board, 0, sink.fn(), options(board, "download"));
    EXPECT_EQ(r.bytes, 1200000u);
    EXPECT_TRUE(r.short_packet);
    EXPECT_FALSE(r.idle);
    EXPECT_TRUE(sink.is_image_prefix());
    EXPECT_EQ(r.ignored_bytes, 0u);
}

TEST(Download, WholeImageOfFullPacketsEndsAfterTheIdlePeriod) {
    DownloadBoard board(kSlots, kSlotSize);
    write_image(board, 3 * 512000);  // no short packet at the end, and no zero-length packet
    Sink sink;
    const auto r = download_stream(board, 0, sink.fn(), options(board, "download"));
    EXPECT_EQ(r.bytes, 3 * 512000u);
    EXPECT_TRUE(r.idle);
    EXPECT_TRUE(sink.is_image_prefix());
    // Idle measured from the last byte, give or take the probing interval.
    EXPECT_GE(board.now(), SteadyTime{} + 2000ms);
    EXPECT_LE(board.now(), SteadyTime{} + 3000ms);
}

// A board whose data never ends is stopped once it has sent more than any
// image has, before the bytes beyond that are written.
TEST(Download, WholeImageThatNeverEndsIsCutAtTheLargestImage) {
    DownloadBoard board(kSlots, kSlotSize);
    write_image(board, 6 * 512000);
    Sink sink;
    StreamOptions o = options(board, "download");
    o.most = 2 * kSlotSize;
    try {
        (void)download_stream(board, 0, sink.fn(), o);
        FAIL() << "the endless download ended by itself";
    } catch (const Failure& f) {
        EXPECT_EQ(f.code(), Exit::Protocol);
        EXPECT_NE(std::string(f.what()).find("does not stop sending"), std::string::npos) << f.what();
    }
    EXPECT_EQ(sink.data.size(), 2 * kSlotSize);
}

TEST(Download, PauseShorterThanTheIdlePeriodDoesNotEndIt) {
    DownloadBoard board(kSlots, kSlotSize);
    board.write_chunk(512000);
    board.write_chunk(512000, 1900ms);
    board.write_chunk(1000, 1900ms);
    Sink sink;
    const auto r = download_stream(board, 0, sink.fn(), options(board, "download"));
    EXPECT_EQ(r.bytes, 1025000u);
    EXPECT_TRUE(r.short_packet);
    EXPECT_TRUE(sink.is_image_prefix());
}

// Data trickling into a transfer that never fills is slow, not idle: the
// probe at the idle deadline finds bytes in the cancelled transfer and the
// download goes on with nothing lost or reordered.
TEST(Download, SlowTrickleIsNotMistakenForTheEnd) {
    DownloadBoard board(kSlots, kSlotSize);
    for (int i = 0; i < 20; ++i) board.write_chunk(512, 300ms);
    board.write_chunk(100, 300ms);
    Sink sink;
    const auto r = download_stream(board, 0, sink.fn(), options(board, "download"));
    EXPECT_EQ(r.bytes, 20 * 512u + 100);
    EXPECT_TRUE(r.short_packet);
    EXPECT_TRUE(sink.is_image_prefix());
    EXPECT_GT(board.cancels(), 0u);
}

TEST(Download, SlowTrickleWithGivenLengthStillGetsEveryByte) {
    DownloadBoard board(kSlots, kSlotSize);
    for (int i = 0; i < 20; ++i) board.write_chunk(512, 300ms);
    Sink sink;
    const auto r = download_stream(board, 20 * 512, sink.fn(), options(board, "download"));
    EXPECT_EQ(r.bytes, 20 * 512u);
    EXPECT_FALSE(r.idle);
    EXPECT_TRUE(sink.is_image_prefix());
}

TEST(Download, ImageShorterThanTheLengthEndsAfterTheIdlePeriod) {
    DownloadBoard board(kSlots, kSlotSize);
    write_image(board, 1024000);
    Sink sink;
    const auto r = download_stream(board, 5 * MiB, sink.fn(), options(board, "download"));
    EXPECT_EQ(r.bytes, 1024000u);
    EXPECT_TRUE(r.idle);
    EXPECT_TRUE(sink.is_image_prefix());
}

TEST(Download, EmptyImageGivesNoBytesAfterTheIdlePeriod) {
    DownloadBoard board(kSlots, kSlotSize);
    Sink sink;
    const auto r = download_stream(board, 0, sink.fn(), options(board, "download"));
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_TRUE(r.idle);
}

TEST(Download, LengthsBeyond32BitsAreRequestedInFull) {
    // Only the bookkeeping is exercised: the board answers with a short
    // image, and the download must neither wrap nor stop early.
    DownloadBoard board(kSlots, kSlotSize);
    write_image(board, 2 * MiB);
    Sink sink;
    const auto r =
        download_stream(board, (std::uint64_t{1} << 36) - 1, sink.fn(), options(board, "download"));
    EXPECT_EQ(r.bytes, 2 * MiB);
    EXPECT_TRUE(r.idle);
}

TEST(Download, KeepsEveryTransferSlotBusy) {
    DownloadBoard board(kSlots, kSlotSize);
    write_image(board, 8 * MiB + 1);
    Sink sink;
    download_stream(board, 0, sink.fn(), options(board, "download"));
    EXPECT_EQ(board.peak_in_flight(), kSlots);
    EXPECT_EQ(sink.data.size(), 8 * MiB + 1);
    EXPECT_TRUE(sink.is_image_prefix());
}

TEST(Download, FailuresMapToExitStatuses) {
    struct Case {
        TransferStatus status;
        bool device_gone;
        Exit expected;
    };
    const Case cases[] = {
        {TransferStatus::NoDevice, true, Exit::Vanished},  {TransferStatus::Error, true, Exit::Vanished},
        {TransferStatus::Error, false, Exit::OsError},     {TransferStatus::Stall, false, Exit::Protocol},
        {TransferStatus::Overflow, false, Exit::Protocol},
    };
    for (const auto& c : cases) {
        DownloadBoard board(kSlots, kSlotSize);
        write_image(board, 6 * MiB);
        board.fail_transfer(1, c.status, c.device_gone);
        Sink sink;
        EXPECT_EQ(exit_of([&] { download_stream(board, 0, sink.fn(), options(board, "download")); }),
                  c.expected)
            << transfer_status_name(c.status);
    }
}

TEST(Download, BoardSendingMoreThanAskedForIsMalformed) {
    DownloadBoard board(kSlots, kSlotSize);
    board.write_chunk(5000);  // a stale image longer than the 1000 bytes asked for
    Sink sink;
    EXPECT_EQ(exit_of([&] { download_stream(board, 1000, sink.fn(), options(board, "download")); }),
              Exit::Protocol);
}

TEST(Download, WriteErrorOfTheOutputPropagates) {
    DownloadBoard board(kSlots, kSlotSize);
    write_image(board, 3 * MiB);
    WriteFn failing = [](std::span<const std::uint8_t>) { throw Failure(Exit::OsError, "disk full"); };
    EXPECT_EQ(exit_of([&] { download_stream(board, 0, failing, options(board, "download")); }),
              Exit::OsError);
}

}  // namespace
}  // namespace dfuctl
