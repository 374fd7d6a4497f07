// Start-up, registration and the ep0 event loop, against the simulated
// gadgetfs.
#include <gtest/gtest.h>

#include <string>

#include "daemon_fixture.h"

namespace {

using sim::Bytes;
using sim::SimGadget;

Bytes hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ' || text[i] == '/') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

const char kRecordBlocks[] =
    "00 00 00 00 "
    // Full speed: bulk packets of 64 bytes; high speed: 512.
    "09 02 20 00 01 01 05 C0 00 / 09 04 00 00 02 FF 00 00 06 / 07 05 81 02 40 00 00 / 07 05 01 02 40 00 00 "
    "09 02 20 00 01 01 04 C0 00 / 09 04 00 00 02 FF 00 00 06 / 07 05 81 02 00 02 00 / 07 05 01 02 00 02 00 ";

TEST(Ep0Record, BytesForBothProductIds) {
    uint8_t buffer[kRecordBufferLength];
    ASSERT_EQ(build_ep0_config(0x2712, buffer), kEp0RecordLength);
    EXPECT_EQ(Bytes(buffer, buffer + 86),
              hex(std::string(kRecordBlocks) + "12 01 00 00 FF 00 00 40 5C 0A 12 27 02 00 01 02 03 01"));
    ASSERT_EQ(build_ep0_config(0x2711, buffer), kEp0RecordLength);
    EXPECT_EQ(Bytes(buffer, buffer + 86),
              hex(std::string(kRecordBlocks) + "12 01 00 00 FF 00 00 40 5C 0A 11 27 02 00 01 02 03 01"));
}

TEST(Ep0Record, BlocksAreAsLongAsTheirTotalLength) {
    uint8_t buffer[kRecordBufferLength];
    build_ep0_config(0x2711, buffer);
    for (size_t block : {4u, 36u}) {
        const unsigned total = buffer[block + 2] | buffer[block + 3] << 8;
        EXPECT_EQ(total, 32u);
        EXPECT_EQ(buffer[block + 32 + 1], block == 4 ? USB_DT_CONFIG : USB_DT_DEVICE);
    }
}

struct StartUp : testing::Test {
    SimGadget sim;
};

TEST_F(StartUp, RegistersTheSecondaryNodeAndServesTheSerialTail) {
    sim.start_daemon();
    sim.wait_ep0_idle();
    EXPECT_EQ(sim.wait_daemon(), -1);

    EXPECT_EQ(sim.ep0_record().size(), 86u);
    EXPECT_EQ(sim.ep0_record()[78], 0x11);
    EXPECT_EQ(sim.out(), "vog Vv1.4\n SOC Serial number [10000000abcdef01] \nep0 configured\n");
    EXPECT_EQ(sim.err(), "Read error -1 (Input/output error)\n");
    EXPECT_STREQ(stringtab[kSerialStringEntry].s, "abcdef01");
    EXPECT_EQ(sim.open_count(sim::Node::Controller), 0) << "the node is closed on the way out";
}

TEST_F(StartUp, PrimaryNodeWinsWhenBothExist) {
    sim.primary_node = true;
    sim.start_daemon();
    EXPECT_EQ(sim.wait_daemon(), -1);
    EXPECT_EQ(sim.ep0_record()[78], 0x12);
    EXPECT_EQ(sim.ep0_record()[79], 0x27);
}

TEST_F(StartUp, NoSerialLineEndsWithStatus2) {
    sim.cpuinfo = "processor\t: 0\nSerial  : 10000000abcdef01\nHardware\t: x\n";
    EXPECT_EQ(gadget_main(), 2);
    EXPECT_EQ(sim.out(), "vog Vv1.4\n");
    EXPECT_EQ(sim.err().find("Unable to open /proc/cpuinfo ("), 0u);
    EXPECT_NE(sim.err().find(")\n Aborting \n"), std::string::npos);
    EXPECT_EQ(sim.open_count(sim::Node::Controller), 0);

    sim.cpuinfo.reset();
    EXPECT_EQ(gadget_main(), 2);
}

TEST_F(StartUp, FirstSerialLineCountsAndShortValuesEndAtTheLine) {
    sim.cpuinfo = "Serial\t\t: 1234\nSerial\t\t: ffffffffffffffff\n";
    sim.start_daemon();
    EXPECT_EQ(sim.wait_daemon(), -1);
    EXPECT_NE(sim.out().find(" SOC Serial number [1234] \n"), std::string::npos);
    // Fewer than 9 characters leave the USB serial empty, never garbage.
    EXPECT_STREQ(stringtab[kSerialStringEntry].s, "");
}

TEST_F(StartUp, SerialInsideALineIsFound) {
    sim.cpuinfo = "x Serial\t\t: 0123456789abcdefXYZ\r\n";
    sim.start_daemon();
    EXPECT_EQ(sim.wait_daemon(), -1);
    EXPECT_STREQ(stringtab[kSerialStringEntry].s, "89abcdef");
}

TEST_F(StartUp, NoControllerNodeEndsWithStatus1) {
    sim.secondary_node = false;
    EXPECT_EQ(gadget_main(), 1);
    EXPECT_EQ(sim.err(),
              "Unable to open /dev/gadget/1000480000.usb and /dev/gadget/fe980000.usb (No such file or "
              "directory)\nDid you forget to execute this:\nmkdir /dev/gadget ; mount -t gadgetfs "
              "gadgetfs /dev/gadget\n?\n");
}

TEST_F(StartUp, ShortRegistrationWriteEndsWith255) {
    sim.ep0_record_result = 85;
    EXPECT_EQ(gadget_main(), -1);
    EXPECT_EQ(sim.out().find("ep0 configured"), std::string::npos);
    EXPECT_EQ(sim.err().find("Write error 85 ("), 0u);
    EXPECT_EQ(sim.open_count(sim::Node::Controller), 0);
}

struct EventLoop : testing::Test {
    SimGadget sim;
    void SetUp() override {
        sim.start_daemon();
        sim.wait_ep0_idle();
    }
    std::string loop_output() {
        const std::string o = sim.out();
        return o.substr(o.find("ep0 configured\n") + 15);
    }
};

TEST_F(EventLoop, ConnectBatchMakesOneLine) {
    sim.run_batch({sim::connect_event()});
    sim.wait_daemon();
    EXPECT_EQ(loop_output(), "1 event(s): Type:1. EP0 CONNECT\n.\n");
}

TEST_F(EventLoop, MoreThanFivePendingEventsComeInBatches) {
    std::vector<usb_gadgetfs_event> seven(7, sim::typed_event(0));
    sim.run_batch(seven);
    sim.wait_daemon();
    EXPECT_EQ(loop_output(),
              "5 event(s): Type:0. Type:0. Type:0. Type:0. Type:0. .\n"
              "2 event(s): Type:0. Type:0. .\n");
}

TEST_F(EventLoop, UnknownTypesAndShortReads) {
    sim.run_batch({sim::typed_event(9), sim::typed_event(5)});
    sim.push_raw(Bytes(11, 0x03));  // less than one record
    sim.push_raw({});
    sim.wait_ep0_idle();
    sim.wait_daemon();
    EXPECT_EQ(loop_output(), "2 event(s): Type:9. Type:5. .\n0 event(s): .\n0 event(s): .\n");
    EXPECT_TRUE(sim.errors().empty());
}

TEST_F(EventLoop, RemainderOfARecordIsIgnored) {
    Bytes raw(12 + 7, 0);
    raw[8] = GADGETFS_CONNECT;
    sim.push_raw(raw);
    sim.wait_ep0_idle();
    sim.wait_daemon();
    EXPECT_EQ(loop_output(), "1 event(s): Type:1. EP0 CONNECT\n.\n");
}

TEST_F(EventLoop, DisconnectAndSuspendRaiseTheStopFlag) {
    sim.run_batch({sim::disconnect_event()});
    EXPECT_EQ(thread_args.stop.load(), 1u);
    thread_args.stop.store(0);
    sim.run_batch({sim::suspend_event()});
    EXPECT_EQ(thread_args.stop.load(), 1u);
    sim.wait_daemon();
    EXPECT_EQ(loop_output(),
              "1 event(s): Type:2. EP0 DISCONNECT\n.\n1 event(s): Type:4. Suspend Request!\n.\n");
    // The suspend's zero-length read on ep0.
    const auto events = sim.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].calls.empty());
    ASSERT_EQ(events[1].calls.size(), 1u);
    EXPECT_FALSE(events[1].calls[0].is_write);
}

TEST_F(EventLoop, SetupsInABatchAreAnsweredInOrder) {
    sim.run_batch({sim::setup_event(0x80, 6, 0x0300, 0x0409, 255), sim::connect_event(),
                   sim::setup_event(0x81, 10, 0, 0, 1)});
    sim.wait_daemon();
    const auto events = sim.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].reply(), (Bytes{4, 3, 9, 4}));
    EXPECT_TRUE(events[1].calls.empty());
    EXPECT_EQ(events[2].reply(), (Bytes{0}));
    EXPECT_EQ(loop_output().find("3 event(s): Type:3. EP0 SETUP:Setup request 128 6 768 1033\n"
                                 "Standard/Class request\nGet string id #0x00 (max length 255)\n"
                                 "Found 4 bytes\nType:1. EP0 CONNECT\nType:3. EP0 SETUP:"),
              0u);
}

TEST_F(EventLoop, SupersededRequestIsNotTheEnd) {
    sim.push_read_error(EIDRM);
    sim.push_batch({sim::setup_event(0x80, 6, 0x0300, 0x0409, 255)});
    EXPECT_EQ(sim.wait_daemon(), -1);  // at the end of the script
    const auto events = sim.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].reply(), (Bytes{4, 3, 9, 4}));
    EXPECT_EQ(loop_output().find("EP0 request superseded by the host's next one\n1 event(s): Type:3."), 0u);
}

TEST_F(EventLoop, ReadErrorEndsTheProcessWith255) {
    sim.push_read_error(ESHUTDOWN);
    EXPECT_EQ(sim.wait_daemon(), -1);
    EXPECT_EQ(sim.err(), "Read error -1 (Cannot send after transport endpoint shutdown)\n");
}

}  // namespace
