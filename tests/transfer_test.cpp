// The transfer state, write_all and the two stream threads, driven through
// the vendor commands and the simulated bulk endpoints.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>

#include "daemon_fixture.h"
#include "os.h"

namespace {

using sim::Bytes;
using sim::Node;
using sim::sequence;

// A firmware reply whose open worked.
Bytes frame(uint8_t command) {
    Bytes b(24, 0);
    b[0] = command;
    std::memcpy(b.data() + 4, "Error", 5);
    return b;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

// ---- write_all on its own -----------------------------------------------------------

struct WriteAll : testing::Test {
    sim::SimGadget sim;
    int ep1in = -1;

    void SetUp() override {
        ep1in = os->open(kEp1InPath, O_RDWR);
        const uint8_t record[18] = {};
        ASSERT_EQ(os->write(ep1in, record, sizeof record), 18);
    }
    void TearDown() override { os->close(ep1in); }
};

TEST_F(WriteAll, NothingToWrite) {
    const uint8_t data[1] = {};
    EXPECT_EQ(write_all(ep1in, data, 0, "to usb"), 0);
    EXPECT_EQ(write_all(ep1in, data, -5, "to usb"), 0);
    EXPECT_EQ(sim.out(), "");
    EXPECT_TRUE(sim.host_received().empty());
}

TEST_F(WriteAll, GivesUpAtThe101stFailure) {
    sim.push_in_write_results(std::vector<ssize_t>(200, -EIO));
    const Bytes data = sequence(100);
    EXPECT_EQ(write_all(ep1in, data.data(), 100, "to usb"), -1);
    EXPECT_EQ(count(sim.out(), "write_all to usb to_write: 100\n"), 101);
    EXPECT_EQ(count(sim.out(), "write_all to usb bytesWritten: -1\n"), 101);
    EXPECT_EQ(count(sim.err(), "write error: Input/output error\n"), 101);
    EXPECT_EQ(sim.usleep_calls(), 100);
    EXPECT_EQ(sim.usleep_total(), 100u * 200000u);
}

TEST_F(WriteAll, PartialWritesContinueFromTheNextByte) {
    sim.push_in_write_results({30, -EAGAIN, 50});
    const Bytes data = sequence(100);
    EXPECT_EQ(write_all(ep1in, data.data(), 100, "to usb"), 100);
    EXPECT_EQ(sim.host_received(), data);
    EXPECT_EQ(sim.out(),
              "write_all to usb to_write: 100\nwrite_all to usb bytesWritten: 30\n"
              "write_all to usb to_write: 70\nwrite_all to usb bytesWritten: -1\n"
              "write_all to usb to_write: 70\nwrite_all to usb bytesWritten: 50\n"
              "write_all to usb to_write: 20\nwrite_all to usb bytesWritten: 20\n");
    EXPECT_EQ(sim.usleep_calls(), 1);
}

TEST_F(WriteAll, FailuresAddUpOverOneCall) {
    std::vector<ssize_t> results(100, -EIO);
    results.insert(results.end(), {5, 5, -EIO});
    sim.push_in_write_results(results);
    const Bytes data = sequence(100);
    EXPECT_EQ(write_all(ep1in, data.data(), 100, "to usb"), -1);
    EXPECT_EQ(sim.host_received(), Bytes(data.begin(), data.begin() + 10));
}

TEST_F(WriteAll, EndlessEmptyWritesEndInFailure) {
    sim.push_in_write_results(std::vector<ssize_t>(101, 0));
    const Bytes data = sequence(10);
    EXPECT_EQ(write_all(ep1in, data.data(), 10, "to usb"), -1);
    EXPECT_EQ(count(sim.out(), "bytesWritten: 0\n"), 101);
    EXPECT_EQ(sim.usleep_calls(), 0);

    // A shorter run of them is only a delay.
    sim.push_in_write_results(std::vector<ssize_t>(50, 0));
    EXPECT_EQ(write_all(ep1in, data.data(), 10, "to usb"), 10);
}

// ---- Upload stream ------------------------------------------------------------------

struct Streams : DaemonTest {
    void SetUp() override {
        DaemonTest::SetUp();
        configure();
        ASSERT_TRUE(sim.wait_for_out("RX Thread read data from usb"));
    }
    void TearDown() override {
        DaemonTest::TearDown();
        // Everything is closed once the daemon has gone.
        EXPECT_EQ(sim.open_count(Node::Firmware), 0);
        EXPECT_EQ(sim.open_count(Node::Ep1In), 0);
        EXPECT_EQ(sim.open_count(Node::Ep1Out), 0);
    }

    // Waits until the RX thread has taken everything the host sent and waits
    // again.
    void wait_rx_idle(int reads) { ASSERT_TRUE(sim.wait_for_out("RX Thread read data from usb", reads + 1)); }
};

TEST_F(Streams, UploadLandsInOrderAndDoesNotTruncate) {
    sim.set_firmware(Bytes(5000, 0xEE));
    vendor(8);
    const Bytes a = sequence(1000, 1), b = sequence(1500, 2);
    sim.host_send(a);
    sim.host_send(b);
    sim.host_send_zlp();
    wait_rx_idle(3);
    ASSERT_TRUE(wait_upload_closed());

    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    expected.resize(5000, 0xEE);  // the older, longer content stays
    EXPECT_EQ(sim.firmware(), expected);
    EXPECT_EQ(sim.fsync_count(), 3) << "after each chunk and at the end";
    const std::string out = sim.out();
    EXPECT_NE(out.find("Read 1000 bytes from USB\nRX Thread writing to disk: 1000\n"), std::string::npos);
    EXPECT_NE(out.find("RX Thread write to disk done 1500\nWrite status 1500 ("), std::string::npos);
    EXPECT_NE(out.find("RX Thread read 0 bytes from usb\n"), std::string::npos);
}

TEST_F(Streams, AShortChunkAfterALongOneWritesOnlyItsOwnBytes) {
    // The receive buffer is not cleared between reads: whatever a long chunk
    // left in it must not follow a shorter chunk into the file.
    sim.set_firmware(Bytes{});
    vendor(8);
    const Bytes a = sequence(gadgetdfu::kUploadReadSize, 1), b = sequence(3, 2), c = sequence(700, 3);
    for (const Bytes* chunk : {&a, &b, &c}) sim.host_send(*chunk);
    sim.host_send_zlp();
    ASSERT_TRUE(wait_upload_closed());
    Bytes expected = a;
    for (const Bytes* chunk : {&b, &c}) expected.insert(expected.end(), chunk->begin(), chunk->end());
    EXPECT_EQ(sim.firmware(), expected);
}

TEST_F(Streams, DataWithoutAnUploadIsDropped) {
    sim.host_send(sequence(700));
    sim.host_send_zlp();
    wait_rx_idle(2);
    EXPECT_EQ(count(sim.out(), "No output file, ignore these bytes. Keep reading to empty the buffer.\n"), 2);
    EXPECT_EQ(sim.firmware(), Bytes{});

    // After a zero-length packet the upload is closed: later data is dropped.
    vendor(8);
    sim.host_send(sequence(10));
    sim.host_send_zlp();
    sim.host_send(sequence(20, 9));
    wait_rx_idle(5);
    EXPECT_EQ(sim.firmware(), sequence(10));
}

TEST_F(Streams, ReadErrorKeepsTheUploadOpen) {
    vendor(8);
    sim.host_send(sequence(10));
    sim.host_send_error(EPIPE);
    sim.host_send(sequence(10, 3));
    sim.host_send_zlp();
    wait_rx_idle(4);
    EXPECT_NE(sim.err().find("Read error from usb -1(Broken pipe)\n"), std::string::npos);
    Bytes expected = sequence(10);
    const Bytes second = sequence(10, 3);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(sim.firmware(), expected);
}

TEST_F(Streams, AWriteThatRetryingCannotFixEndsTheUploadAtOnce) {
    // The file is closed and bulk OUT halted: the host's next packet is
    // stalled. What was written before stays. After the host clears the
    // halt, a new upload works.
    struct Case {
        int err;  // of every write to the image, or of its sync
        bool sync;
        const char* what;
    };
    const Case cases[] = {
        {ENOSPC, false, "write to disk failed"}, {EIO, false, "write to disk failed"},
        {EROFS, false, "write to disk failed"},  {EFBIG, false, "write to disk failed"},
        {EDQUOT, false, "write to disk failed"}, {EIO, true, "sync to disk failed"},
    };
    int halts = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(std::strerror(c.err)) + (c.sync ? " on sync" : ""));
        sim.set_firmware(sequence(50, 5));
        vendor(8);
        const size_t err_before = sim.err().size();
        const uint64_t slept = sim.usleep_total();
        (c.sync ? sim.set_firmware_fsync_errno(c.err) : sim.set_firmware_write_errno(c.err));
        sim.host_send(sequence(100));
        ASSERT_TRUE(wait_upload_closed());
        ASSERT_TRUE(sim.wait_for_err("Upload abandoned, bulk OUT halted: ", halts + 1));
        ++halts;
        EXPECT_EQ(sim.out_halts(), halts);
        const std::string err = sim.err().substr(err_before);
        EXPECT_EQ(count(err, "write error: "), c.sync ? 0 : 1) << "no retry";
        EXPECT_NE(err.find(std::string("Upload abandoned, bulk OUT halted: ") + c.what + " (" +
                           std::strerror(c.err) + ")\n"),
                  std::string::npos)
            << err;
        EXPECT_EQ(sim.usleep_total(), slept) << "no pause for a retry";
        EXPECT_EQ(sim.open_count(Node::Firmware), 0);

        sim.host_send(sequence(100, 1));
        EXPECT_EQ(sim.host_stalls(), halts);
        sim.set_firmware_write_errno(0);
        sim.set_firmware_fsync_errno(0);
        if (!c.sync) {
            EXPECT_EQ(sim.firmware(), sequence(50, 5));
        }
        sim.host_clear_halt();
    }
    vendor(8);
    sim.host_send(sequence(100, 2));
    sim.host_send_zlp();
    ASSERT_TRUE(wait_upload_closed());
    EXPECT_EQ(sim.firmware(), sequence(100, 2));
}

TEST_F(Streams, InterruptedOrBusyWritesAreRetried) {
    vendor(8);
    sim.set_firmware_write_errno(EAGAIN);
    sim.host_send(sequence(100));
    ASSERT_TRUE(sim.wait_for_err("write error: Resource temporarily unavailable\n", 2));
    sim.set_firmware_write_errno(0);
    sim.host_send_zlp();
    ASSERT_TRUE(wait_upload_closed());
    EXPECT_EQ(sim.firmware(), sequence(100));
    EXPECT_EQ(sim.out_halts(), 0);
}

TEST_F(Streams, AFailedUploadOpenRefusesTheDataUntilTheHostClearsTheHalt) {
    // The host clears the halt with CLEAR_FEATURE (the controller serves it)
    // or with SET_INTERFACE, for which the RX thread's read, which the halt
    // keeps from ever ending, is cut short so that the thread clears it.
    for (const bool set_interface : {false, true}) {
        SCOPED_TRACE(set_interface ? "SET_INTERFACE" : "CLEAR_FEATURE");
        const size_t lost = sim.lost_bytes();
        const int stalls = sim.host_stalls();
        // Bytes of an abandoned upload wait in the RX thread's pending read.
        sim.set_firmware(Bytes{});
        vendor(8);
        sim.host_send_unfinished(sequence(512, 7));
        ASSERT_TRUE(sim.wait_until([&] { return sim.host_pending() == 0; }));

        sim.set_firmware(std::nullopt);
        const Answer failed = vendor(8);
        EXPECT_EQ(failed.reply()[12], ENOENT);
        // The pending read was cut off (its bytes are gone) and bulk OUT
        // halted before the reply went out.
        EXPECT_EQ(sim.lost_bytes() - lost, 512u);
        const auto trace = sim.trace();
        const auto halt = std::find(trace.rbegin(), trace.rend(), "halt ep1out");
        ASSERT_NE(halt, trace.rend());
        EXPECT_NE(std::find(trace.rbegin(), halt, "ep0 reply 24"), halt);
        EXPECT_TRUE(sim.out_halted());
        sim.host_send(sequence(1000, 8));
        EXPECT_EQ(sim.host_stalls() - stalls, 1) << "the host's data is refused, not dropped";

        if (set_interface) {
            EXPECT_EQ(request(0x01, 11).outcome(), sim::Outcome::Ack);
            EXPECT_FALSE(sim.out_halted()) << "cleared before the acknowledgement";
        } else {
            sim.host_clear_halt();
        }
        sim.set_firmware(Bytes{});
        EXPECT_EQ(vendor(8).reply(), frame(8));
        sim.host_send(sequence(300, 9));
        sim.host_send_zlp();
        ASSERT_TRUE(wait_upload_closed());
        EXPECT_EQ(sim.firmware(), sequence(300, 9));
    }
}

TEST_F(Streams, OnlyAFileOrADeviceNodeIsOpenedAndNeverWaitedFor) {
    // A FIFO would hold the open, and ep0 with it, until something opened
    // its other end; it and a socket are refused at once, as is a folder.
    struct Case {
        mode_t type;
        int err;      // in bytes 12..15 of both replies
        int refusals;  // opens that worked and were then refused, each logged
    };
    const Case cases[] = {
        {S_IFIFO, ENXIO, 1}, {S_IFSOCK, ENXIO, 0}, {S_IFDIR, EISDIR, 1}, {S_IFCHR, 0, 0}, {S_IFBLK, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        sim.firmware_type = c.type;
        sim.set_firmware(sequence(100, 5));
        const int halts = sim.out_halts();
        const Answer up = vendor(8);
        EXPECT_EQ(up.reply()[12], c.err);
        EXPECT_EQ(sim.out_halts() - halts, c.err != 0 ? 1 : 0) << "a refused upload halts bulk OUT";
        const Answer down = vendor(9);
        EXPECT_EQ(down.reply()[12], c.err);
        EXPECT_EQ(count(up.err + down.err, "Refusing /tmp/firmware: neither a regular file nor a device node\n"),
                  c.refusals);
        if (c.err == 0) {
            // Taken, and used in blocking mode (the simulation checks it).
            ASSERT_TRUE(wait_download_closed());
            EXPECT_EQ(sim.host_received(), sequence(100, 5));
            sim.clear_host_received();
            sim.host_send_zlp();
            ASSERT_TRUE(wait_upload_closed());
        } else {
            EXPECT_EQ(fdFirmware.load(), -1);
            EXPECT_EQ(fdRFirmware.load(), -1);
            sim.host_clear_halt();
        }
    }
}

TEST_F(Streams, AnUploadCommandCutsOffAReadLeftPending) {
    // Without a failure: bytes a read took before the command never reach
    // the new upload, and the new upload loses nothing.
    sim.host_send_unfinished(sequence(1024, 3));
    ASSERT_TRUE(sim.wait_until([&] { return sim.host_pending() == 0; }));
    vendor(8);
    sim.host_send(sequence(200, 4));
    sim.host_send_zlp();
    ASSERT_TRUE(wait_upload_closed());
    EXPECT_EQ(sim.firmware(), sequence(200, 4));
    EXPECT_EQ(sim.lost_bytes(), 1024u);
    EXPECT_EQ(sim.out_halts(), 0);
}

TEST_F(Streams, ShortDiskWritesAreCompleted) {
    sim.set_firmware_write_limit(333);
    vendor(8);
    const Bytes data = sequence(4096);
    sim.host_send(data);
    sim.host_send_zlp();
    ASSERT_TRUE(wait_upload_closed());
    EXPECT_EQ(sim.firmware(), data);
}

TEST_F(Streams, ReplacingAnUploadMidChunkStartsCleanAtOffsetZero) {
    vendor(8);
    sim.hold_firmware_writes(true);
    sim.host_send(sequence(300, 1));
    // RX has taken the chunk and waits in the disk write.
    ASSERT_TRUE(sim.wait_until([&] { return sim.host_pending() == 0 && sim.blocked_count() == 1; }));

    const Answer again = vendor(8);  // the host starts over
    EXPECT_NE(again.err.find("Block device still open for writing, close it first!\n"), std::string::npos);
    sim.hold_firmware_writes(false);
    sim.host_send(sequence(100, 2));
    sim.host_send_zlp();
    ASSERT_TRUE(wait_upload_closed());

    // The chunk in flight went to the old descriptor, then the new upload
    // wrote over it from offset 0.
    Bytes expected = sequence(300, 1);
    const Bytes second = sequence(100, 2);
    std::copy(second.begin(), second.end(), expected.begin());
    EXPECT_EQ(sim.firmware(), expected);
    EXPECT_EQ(sim.open_count(Node::Firmware), 0);
}

// ---- Download stream ------------------------------------------------------------------

TEST_F(Streams, WholeFileDownloadInChunks) {
    const Bytes image = sequence(1200000);
    sim.set_firmware(image);
    vendor(9);
    ASSERT_TRUE(wait_download_closed());
    EXPECT_EQ(sim.host_received(), image);
    EXPECT_EQ(totalBytesRead.load(), 1200000u);
    const std::string out = sim.out();
    EXPECT_NE(out.find("write 512000 bytes to usb: 00 07 0e 15 (totalBytesRead: 512000)\n"),
              std::string::npos);
    EXPECT_NE(out.find("(totalBytesRead: 1024000)\n"), std::string::npos);
    EXPECT_NE(out.find("write 176000 bytes to usb: "), std::string::npos);
    EXPECT_NE(sim.err().find("End of file or read error 0("), std::string::npos);
    EXPECT_EQ(out.find("TX Thread read all bytes"), std::string::npos);

    // The end-of-download sequence: flush, then clear the halt, on ep1in.
    const auto io = sim.ioctls();
    ASSERT_GE(io.size(), 2u);
    EXPECT_EQ(io[io.size() - 2], (std::pair<Node, unsigned long>{Node::Ep1In, GADGETFS_FIFO_FLUSH}));
    EXPECT_EQ(io[io.size() - 1], (std::pair<Node, unsigned long>{Node::Ep1In, GADGETFS_CLEAR_HALT}));
}

TEST_F(Streams, DownloadOfARequestedLength) {
    const Bytes image = sequence(2000000);
    sim.set_firmware(image);
    vendor(0x09, 0, 1000);
    ASSERT_TRUE(wait_download_closed());
    EXPECT_EQ(sim.host_received(), Bytes(image.begin(), image.begin() + 1000));
    EXPECT_TRUE(sim.wait_for_out("TX Thread read all bytes from disk (1000)\n"));
    EXPECT_EQ(readSize.load(), 1000u) << "kept after the download";
    EXPECT_EQ(totalBytesRead.load(), 1000u);

    sim.clear_host_received();
    vendor(0x09, 1024000 >> 16, 1024000 & 0xFFFF);
    ASSERT_TRUE(wait_download_closed());
    EXPECT_EQ(sim.host_received(), Bytes(image.begin(), image.begin() + 1024000));
    EXPECT_EQ(count(sim.out(), "write 512000 bytes to usb"), 2);
    EXPECT_EQ(sim.err().find("End of file"), std::string::npos) << "no third read";
}

TEST_F(Streams, DownloadLongerThanTheFileSendsTheFile) {
    sim.set_firmware(sequence(3000));
    vendor(0x09, 1, 0);  // 65536 bytes asked
    ASSERT_TRUE(wait_download_closed());
    EXPECT_EQ(sim.host_received(), sequence(3000));
    EXPECT_EQ(totalBytesRead.load(), 3000u);
    EXPECT_NE(sim.err().find("End of file or read error 0("), std::string::npos);
}

TEST_F(Streams, EmptyAndTinyDownloads) {
    sim.set_firmware(Bytes{});
    vendor(9);
    ASSERT_TRUE(wait_download_closed());
    EXPECT_TRUE(sim.host_received().empty());
    EXPECT_NE(sim.err().find("End of file or read error 0("), std::string::npos);

    sim.set_firmware(Bytes{0xAB, 0xCD});
    vendor(9);
    ASSERT_TRUE(sim.wait_until([&] { return sim.host_received().size() == 2; }));
    ASSERT_TRUE(wait_download_closed());
    EXPECT_NE(sim.out().find("write 2 bytes to usb: ab (totalBytesRead: 2)\n"), std::string::npos);
}

TEST_F(Streams, FailedWriteToTheHostEndsTheDownload) {
    sim.set_firmware(sequence(600000));
    sim.push_in_write_results(std::vector<ssize_t>(101, -EPIPE));
    vendor(9);
    ASSERT_TRUE(wait_download_closed());
    EXPECT_NE(sim.err().find("write to usb failed\n"), std::string::npos);
    EXPECT_EQ(totalBytesRead.load(), 512000u) << "counts the chunk that was not sent";
    EXPECT_TRUE(sim.host_received().empty());
}

TEST_F(Streams, ReplacingADownloadMidChunkSendsNothingOld) {
    const Bytes image = sequence(1500000);
    sim.set_firmware(image);
    sim.hold_in_writes(true);  // the host is not reading yet
    vendor(9);
    ASSERT_TRUE(sim.wait_for_out("write_all to usb to_write: 512000"));
    ASSERT_TRUE(sim.wait_until([&] { return sim.blocked_count() >= 2; }));

    const Answer again = vendor(0x09, 0, 10);
    EXPECT_NE(again.err.find("Block device still open for reading, close it first!\n"), std::string::npos);
    sim.hold_in_writes(false);
    ASSERT_TRUE(sim.wait_until([] { return fdRFirmware.load() == 0 && totalBytesRead.load() == 10; }));
    EXPECT_EQ(sim.host_received(), Bytes(image.begin(), image.begin() + 10));
}

TEST_F(Streams, IdleTxThreadDoesNotSpin) {
    const int before = sim.select_count(Node::Ep1In);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(sim.select_count(Node::Ep1In) - before, 1);
    // And a published download still starts at once.
    sim.set_firmware(sequence(10));
    vendor(9);
    EXPECT_TRUE(wait_download_closed());
    EXPECT_EQ(sim.host_received(), sequence(10));
}

TEST_F(Streams, FailingEndpointReadsDoNotSpin) {
    sim.endpoints_gone(true);
    ASSERT_TRUE(sim.wait_until([&] { return sim.usleep_calls() >= 20; }));
    EXPECT_NE(sim.out().find("RX Thread read data done from usb: -1\n"), std::string::npos);
    sim.endpoints_gone(false);
}

TEST_F(Streams, AnUploadReadCutOffByAStopEndsTheUploadHalted) {
    // gadgetfs drops what a cancelled read had taken: going on would leave
    // a gap in the image.
    vendor(8);
    sim.host_send(sequence(100));
    wait_rx_idle(1);
    sim.host_send_unfinished(sequence(512, 1));
    ASSERT_TRUE(sim.wait_until([&] { return sim.host_pending() == 0; }));
    configure();  // the host selects configuration 1 again: new pair of threads
    EXPECT_EQ(fdFirmware.load(), 0);
    EXPECT_EQ(sim.out_halts(), 1);
    EXPECT_EQ(sim.lost_bytes(), 512u);
    EXPECT_NE(
        sim.err().find("Upload abandoned, bulk OUT halted: read from usb interrupted (Interrupted system "
                       "call)\n"),
        std::string::npos);
    EXPECT_EQ(sim.firmware(), sequence(100));
}

TEST_F(Streams, ADownloadWriteCutOffEndsTheDownloadWithoutResending) {
    sim.set_firmware(sequence(600000));
    sim.hold_in_writes(true);
    sim.in_write_moves_on_interrupt(1000);  // the host had taken part of the chunk
    vendor(9);
    ASSERT_TRUE(sim.wait_until([&] { return sim.blocked_count() == 2; }));  // RX reading, TX writing
    request(0x00, 9, 0);                                                    // SET_CONFIGURATION 0
    ASSERT_TRUE(wait_download_closed());
    sim.hold_in_writes(false);
    EXPECT_NE(sim.err().find("write to usb failed\n"), std::string::npos);
    EXPECT_EQ(sim.host_received(), sequence(1000)) << "the chunk is not sent again";
}

TEST_F(Streams, AStopBetweenChunksLeavesTheDownloadOpen) {
    const Bytes image = sequence(1200000);
    sim.set_firmware(image);
    sim.hold_firmware_reads(true);
    vendor(9);
    ASSERT_TRUE(sim.wait_until([&] { return sim.blocked_count() == 2; }));  // TX reads its first chunk
    request(0x00, 9, 0);
    sim.hold_firmware_reads(false);
    ASSERT_TRUE(sim.wait_for_err(" TX Thread exiting\n"));
    EXPECT_GT(fdRFirmware.load(), 0);
    EXPECT_EQ(totalBytesRead.load(), 0u);
    configure();  // the next pair goes on with it, from where it was
    ASSERT_TRUE(wait_download_closed());
    EXPECT_EQ(sim.host_received(), image);
}

TEST_F(Streams, StopCyclesWithTransfersReplacedInFlight) {
    // Configure, unconfigure, disconnect and suspend over and over while
    // transfers in both directions are started and replaced.
    const Bytes image = sequence(700000);
    sim.set_firmware(image);
    for (int cycle = 0; cycle < 60; ++cycle) {
        vendor(8);
        sim.host_send(sequence(64 + cycle));
        vendor(9);
        switch (cycle % 4) {
        case 0:
            request(0x00, 9, 0);
            break;
        case 1:
            sim.run_batch({sim::disconnect_event()});
            break;
        case 2:
            sim.run_batch({sim::suspend_event()});
            break;
        default:
            break;
        }
        vendor(0x09, 0, static_cast<uint16_t>(100 + cycle));
        configure();
    }
    // Whatever happened in between, a clean upload and download still work
    // once the pipes have drained.
    ASSERT_TRUE(sim.wait_until(
        [&] { return sim.host_pending() == 0 && sim.blocked_count() == 1 && fdRFirmware.load() == 0; }));
    sim.clear_host_received();
    vendor(8);
    const Bytes data = sequence(5000, 7);
    sim.host_send(data);
    sim.host_send_zlp();
    ASSERT_TRUE(wait_upload_closed());
    const Bytes image_now = *sim.firmware();
    ASSERT_GE(image_now.size(), 5000u);
    EXPECT_EQ(Bytes(image_now.begin(), image_now.begin() + 5000), data);
    vendor(0x09, 0, 5000);
    ASSERT_TRUE(
        sim.wait_until([&] { return sim.host_received().size() >= 5000 && fdRFirmware.load() == 0; }));
    EXPECT_EQ(sim.host_received(), data);
}

// ---- The threads on their own ---------------------------------------------------------

TEST(StreamThreads, StopAlreadySetMeansNoPass) {
    sim::SimGadget sim;
    io_thread_args args;
    args.stop.store(1);
    args.fd_out.store(os->open(kEp1OutPath, O_RDWR));
    args.fd_in.store(os->open(kEp1InPath, O_RDWR));
    rx_thread(&args);
    tx_thread(&args);
    EXPECT_EQ(sim.err(),
              "Starting RX thread: 1\n RX Thread exiting\nStarting TX thread\n TX Thread exiting\n");
    EXPECT_EQ(sim.out(), "RX Thread exiting\n");
    EXPECT_EQ(args.fd_in.load(), -1);
    EXPECT_EQ(args.fd_out.load(), -1);
    EXPECT_EQ(sim.open_count(Node::Ep1In), 0);
    EXPECT_EQ(sim.open_count(Node::Ep1Out), 0);
}

TEST(StreamThreads, NoEndpointFileMeansNoPass) {
    sim::SimGadget sim;
    io_thread_args args;
    args.fd_out.store(-1);
    args.fd_in.store(-1);
    rx_thread(&args);
    tx_thread(&args);
    EXPECT_TRUE(sim.errors().empty()) << "a closed descriptor never goes into a select";
    EXPECT_NE(sim.err().find("RX Thread has no usable endpoint file (-1)\n"), std::string::npos);
}

}  // namespace
