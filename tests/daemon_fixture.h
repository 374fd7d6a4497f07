// A running daemon on the simulated gadgetfs, and one-request helpers; with
// the daemon's headers.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "control.h"
#include "ep0.h"
#include "gadget.h"
#include "os.h"
#include "paths.h"
#include "sim_gadgetfs.h"
#include "transfer.h"
#include "vendor.h"

struct Answer {
    sim::EventRecord record;
    std::string out;  // console text the request added, per stream
    std::string err;

    sim::Outcome outcome() const { return record.outcome(); }
    sim::Bytes reply() const { return record.reply(); }
};

struct DaemonTest : testing::Test {
    sim::SimGadget sim;

    void SetUp() override {
        sim.start_daemon();
        sim.wait_ep0_idle();
    }

    void TearDown() override {
        sim.wait_daemon();
        EXPECT_TRUE(sim.errors().empty()) << testing::PrintToString(sim.errors());
        // The tools the daemon starts must not inherit its files.
        EXPECT_TRUE(sim.inheritable_opens().empty()) << testing::PrintToString(sim.inheritable_opens());
    }

    Answer request(uint8_t bRequestType, uint8_t bRequest, uint16_t wValue = 0, uint16_t wIndex = 0,
                   uint16_t wLength = 0) {
        const size_t out_before = sim.out().size();
        const size_t err_before = sim.err().size();
        sim.run_batch({sim::setup_event(bRequestType, bRequest, wValue, wIndex, wLength)});
        Answer a{sim.events().back(), sim.out().substr(out_before), sim.err().substr(err_before)};
        return a;
    }

    Answer vendor(uint8_t bRequest, uint16_t wValue = 0, uint16_t wIndex = 0, uint16_t wLength = 512) {
        return request(0xC0, bRequest, wValue, wIndex, wLength);
    }

    // SET_CONFIGURATION 1: the stream threads are running afterwards.
    Answer configure() { return request(0x00, 9, 1); }

    // Wait until the stream thread has ended the transfer (the descriptor
    // is back to 0); false after the simulation's time limit.
    bool wait_upload_closed() {
        return sim.wait_until([] { return fdFirmware.load() == 0; });
    }
    bool wait_download_closed() {
        return sim.wait_until([] { return fdRFirmware.load() == 0; });
    }
};
