// Race stress of the control handler against the two stream threads, and the
// hand-over faults it led to.
//
// The daemon runs on the simulated gadgetfs, which refuses a second open of an
// endpoint file with EBUSY as gadgetfs does, can fail stream thread creation,
// and can hold the TX thread right before it enters a write to the IN
// endpoint, as if the scheduler had taken the core from it there.
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_fixture.h"

namespace {

using namespace std::chrono_literals;
using sim::Bytes;
using sim::Node;
using sim::sequence;

// Descriptors of this process, from /proc/self/fd (the directory's own
// descriptor counts every time, so counts compare).
int process_descriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// ---- A daemon on the simulated gadgetfs ----------------------------------------------

struct StreamFixture : testing::Test {
    const int descriptors_before = process_descriptors();
    sim::SimGadget sim;
    bool stopped = false;

    void SetUp() override {
        sim.tools["mmc extcsd read /dev/mmcblk0 | grep EXT_CSD"] = "";
        sim.start_daemon();
        sim.wait_ep0_idle();
    }

    // The daemon returns and joins its stream threads; then nothing of the
    // simulation may be open but the transfers, and no real descriptor may
    // have been left behind.
    void stop_daemon() {
        if (stopped) return;
        stopped = true;
        EXPECT_EQ(sim.wait_daemon(), -1);
        EXPECT_TRUE(sim.errors().empty()) << testing::PrintToString(sim.errors());
        EXPECT_EQ(sim.open_count(Node::Controller), 0);
        EXPECT_EQ(sim.open_count(Node::Ep1In), 0);
        EXPECT_EQ(sim.open_count(Node::Ep1Out), 0);
        EXPECT_EQ(sim.open_count(Node::Emmc), 0);
        EXPECT_EQ(sim.open_count(Node::Firmware), (fdFirmware.load() > 0) + (fdRFirmware.load() > 0));
        EXPECT_EQ(process_descriptors(), descriptors_before);
    }

    void TearDown() override { stop_daemon(); }

    static usb_gadgetfs_event vendor(uint8_t bRequest, uint16_t wValue = 0, uint16_t wIndex = 0) {
        return sim::setup_event(0xC0, bRequest, wValue, wIndex, 512);
    }
    static usb_gadgetfs_event set_configuration(uint16_t value) {
        return sim::setup_event(0x00, USB_REQ_SET_CONFIGURATION, value, 0, 0);
    }

    void configure() { sim.run_batch({set_configuration(1)}); }

    // Uploads `data` and waits until the upload has been closed; false when
    // it does not close within `timeout`.
    bool upload(const Bytes& data, std::chrono::milliseconds timeout = 10s) {
        sim.run_batch({vendor(ORVEN_WRITE_FIRMWARE)});
        sim.host_send(data);
        sim.host_send_zlp();
        return sim.wait_until([] { return fdFirmware.load() == 0; }, timeout);
    }
};

// ---- Race stress -----------------------------------------------------------------------

using RaceStress = StreamFixture;

TEST_F(RaceStress, ConfigurationCyclesWithTransfersReplacedInFlight) {
    // Configure, unconfigure, disconnect and suspend over and over while an
    // upload has host data in flight and a download has a chunk on its way,
    // each replaced by a new command mid-flight; the IN endpoint is held,
    // fails or takes short writes, and the endpoints fail now and then.
    constexpr int kCycles = 1000;
    const Bytes image = sequence(3000, 5);
    sim.set_firmware(image);

    int failures = 0;
    int cycles = 0;
    auto invariant = [&](bool holds, const char* what) {
        if (!holds) {
            ++failures;
            ADD_FAILURE() << "cycle " << cycles << ": " << what;
        }
    };

    configure();
    for (; cycles < kCycles && failures < 5; ++cycles) {
        const int variant = cycles % 8;
        switch (variant) {
        case 1:
            sim.hold_in_writes(true);
            break;  // the host is not reading
        case 2:
            sim.push_in_write_results({-EPIPE, 7, 0, -EIO, 100});
            break;  // failing and short writes
        case 3:
            sim.push_in_write_results({-ESHUTDOWN, -ESHUTDOWN, 1});
            break;
        default:
            break;
        }

        sim.run_batch(
            {vendor(ORVEN_WRITE_FIRMWARE), vendor(ORVEN_READ_FIRMWARE, 0, static_cast<uint16_t>(cycles))});
        sim.host_send(sequence(64 + static_cast<size_t>(cycles % 700), static_cast<uint8_t>(cycles)));
        if (variant == 4) sim.host_send_error(EPIPE);
        // Both transfers replaced while the first ones are in flight.
        sim.run_batch(
            {vendor(ORVEN_READ_FIRMWARE), vendor(ORVEN_WRITE_FIRMWARE), vendor(ORVEN_GET_EMMC_PROPERTIES)});
        sim.host_send(sequence(300, static_cast<uint8_t>(cycles + 1)));
        if (cycles % 2) sim.host_send_zlp();

        // Then the host goes away or changes its mind, in one of four ways.
        switch (cycles % 4) {
        case 0:
            sim.run_batch({set_configuration(0)});
            break;
        case 1:
            // gadgetfs fails endpoint I/O once the host is gone.
            sim.endpoints_gone(true);
            sim.run_batch({sim::disconnect_event(), sim::connect_event()});
            sim.endpoints_gone(false);
            break;
        case 2:
            sim.run_batch({sim::suspend_event()});
            break;
        default:
            break;  // a new configuration while the threads run
        }
        if (variant == 5) {
            sim.endpoints_gone(true);
            sim.run_batch({vendor(ORVEN_READ_FIRMWARE, 0, 100)});
            sim.endpoints_gone(false);
        }
        sim.hold_in_writes(false);
        configure();

        invariant(sim.open_count(Node::Ep1In) == 1 && sim.open_count(Node::Ep1Out) == 1,
                  "the endpoint files are not open once each after SET_CONFIGURATION 1");
        invariant(thread_args.fd_in.load() > 0 && thread_args.fd_out.load() > 0,
                  "the stream threads have no endpoint file");
        // The open upload and download, and at most one replaced descriptor
        // per direction that a stream thread still finishes with.
        invariant(sim.open_count(Node::Firmware) <= 4, "image descriptors pile up");
        invariant(sim.refused_opens() == 0, "an endpoint file was opened while still open");
        invariant(sim.errors().empty(), "a descriptor was used or closed after its close");
    }
    EXPECT_EQ(cycles, kCycles);
    // Every request of the cycles got exactly one reply, acknowledgement or
    // stall.
    for (const sim::EventRecord& r : sim.events()) {
        uint32_t type;
        std::memcpy(&type, &r.event.type, sizeof type);
        if (type == GADGETFS_SETUP) {
            EXPECT_EQ(r.calls.size(), 1u);
        }
    }

    // Whatever happened in between, once the pipes have drained a clean
    // upload and download still carry an image intact.
    ASSERT_TRUE(sim.wait_until(
        [&] { return sim.host_pending() == 0 && sim.blocked_count() == 1 && fdRFirmware.load() == 0; }));
    const Bytes data = sequence(5000, 77);
    ASSERT_TRUE(upload(data));
    const Bytes image_now = *sim.firmware();
    ASSERT_GE(image_now.size(), data.size());
    EXPECT_EQ(Bytes(image_now.begin(), image_now.begin() + 5000), data);
    sim.clear_host_received();
    sim.run_batch({vendor(ORVEN_READ_FIRMWARE, 0, 5000)});
    ASSERT_TRUE(sim.wait_until([&] { return fdRFirmware.load() == 0; }));
    EXPECT_EQ(sim.host_received(), data);

    stop_daemon();
    EXPECT_EQ(sim.failed_thread_creations(), 0);
    RecordProperty("cycles", cycles);
    RecordProperty("failures", failures);
    std::cout << "stress: " << cycles << " cycles, " << failures << " failures\n";
    EXPECT_EQ(failures, 0);
}

// ---- Faults found by the stress ----------------------------------------------------------

using StreamHandOver = StreamFixture;

TEST_F(StreamHandOver, ReplacedDownloadSendsNothingOfTheOldChunk) {
    // The TX thread has read a chunk and is about to write it to the IN
    // endpoint when the host asks for a new download. The old chunk must not
    // reach the host: the new download starts clean at offset 0. Here the
    // thread is held right before it enters the write, so the wake that the
    // new command sends arrives while it is outside the blocking call.
    const Bytes image = sequence(1000, 3);
    sim.set_firmware(image);
    configure();
    sim.hold_in_writes(true);
    sim.hold_next_in_write();
    sim.run_batch({vendor(ORVEN_READ_FIRMWARE)});
    ASSERT_TRUE(sim.wait_in_write_held());

    const int wakes = sim.wakes();
    sim.push_batch({vendor(ORVEN_READ_FIRMWARE, 0, 10)});
    // Let the thread go once the command has sent its wake (or has finished).
    sim.wait_until([&] { return sim.wakes() > wakes || readSize.load() == 10; }, 2s);
    sim.wait_until([&] { return sim.wakes() > wakes; }, 200ms);
    sim.release_in_write();
    sim.wait_ep0_idle();

    ASSERT_TRUE(sim.wait_until([&] { return sim.blocked_count() >= 2; }));  // RX read, TX write
    sim.hold_in_writes(false);
    ASSERT_TRUE(sim.wait_until([] { return fdRFirmware.load() == 0 && totalBytesRead.load() == 10; }));
    EXPECT_EQ(sim.host_received(), Bytes(image.begin(), image.begin() + 10))
        << sim.host_received().size() << " bytes reached the host";
}

TEST_F(StreamHandOver, FailedRxThreadStartLeavesNoEndpointFileBehind) {
    sim.fail_thread_creations(0b01);  // the first RX thread
    configure();
    ASSERT_EQ(sim.failed_thread_creations(), 1);
    // The host configures again, as after a reset: streaming must work.
    configure();
    EXPECT_EQ(sim.refused_opens(), 0) << "ep1out was still open from the failed start";
    EXPECT_LE(sim.open_count(Node::Ep1Out), 1);
    const Bytes data = sequence(2000, 9);
    EXPECT_TRUE(upload(data, 3s));
    EXPECT_EQ(sim.firmware(), data);
}

TEST_F(StreamHandOver, FailedTxThreadStartDoesNotCostTheNextConfiguration) {
    sim.fail_thread_creations(0b10);  // the first TX thread
    configure();
    ASSERT_EQ(sim.failed_thread_creations(), 1);
    configure();
    const Bytes data = sequence(2000, 11);
    EXPECT_TRUE(upload(data, 3s)) << "no RX thread serves the configuration after the failed start";
    EXPECT_EQ(sim.firmware(), data);
    sim.clear_host_received();
    sim.run_batch({vendor(ORVEN_READ_FIRMWARE, 0, 2000)});
    EXPECT_TRUE(sim.wait_until([] { return fdRFirmware.load() == 0; }, 3s));
    EXPECT_EQ(sim.host_received(), data);
}

}  // namespace
