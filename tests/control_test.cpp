// Control request dispatch, the stall convention, string requests and
// SET_CONFIGURATION, as a host sees them on ep0.
#include <cerrno>

#include "daemon_fixture.h"

namespace {

using sim::Bytes;
using sim::Node;
using sim::Outcome;

using ControlRequests = DaemonTest;

TEST_F(ControlRequests, EveryRequestEndsWithExactlyOneCall) {
    // All 256 request types with a spread of requests: one reply, ack or
    // stall each, and never a crash.
    for (int type = 0; type < 256; type += 3) {
        for (int req : {0, 1, 3, 5, 6, 7, 8, 10, 11, 12, 13, 0x20, 0x21, 0x22, 0x5A, 0xCD, 0xFF}) {
            // Leave out what talks to board tools or reconfigures: covered below.
            const int command = req & 0x0F;
            if ((type & 0x60) == 0x40 && command >= 1 && command <= 11) continue;
            if ((type & 0x60) < 0x40 && req == 9) continue;
            const Answer a =
                request(static_cast<uint8_t>(type), static_cast<uint8_t>(req), 0x0301, 0x0409, 64);
            EXPECT_EQ(a.record.calls.size(), 1u) << "type " << type << " request " << req;
        }
    }
}

TEST_F(ControlRequests, ClassificationLines) {
    const Answer reserved = request(0x60, 1);
    EXPECT_EQ(reserved.out, "1 event(s): Type:3. EP0 SETUP:Setup request 96 1 0 0\nReserved request\n.\n");
    EXPECT_EQ(reserved.err, "Stalled\n");
    EXPECT_EQ(reserved.outcome(), Outcome::Stall);
    ASSERT_EQ(reserved.record.calls.size(), 1u);
    EXPECT_TRUE(reserved.record.calls[0].is_write) << "host-to-device: stalled by a zero-length write";

    const Answer reserved_in = request(0xE0, 1);
    ASSERT_EQ(reserved_in.record.calls.size(), 1u);
    EXPECT_FALSE(reserved_in.record.calls[0].is_write) << "device-to-host: stalled by a zero-length read";

    EXPECT_NE(request(0x80, 0).out.find("Setup request 128 0 0 0\nStandard/Class request\n"),
              std::string::npos);
}

TEST_F(ControlRequests, StallDirectionFollowsTheRequest) {
    const Answer set_feature = request(0x00, 3, 1);
    EXPECT_EQ(set_feature.outcome(), Outcome::Stall);
    EXPECT_TRUE(set_feature.record.calls[0].is_write);
    EXPECT_TRUE(set_feature.record.calls[0].data.empty());

    for (uint8_t req : {0, 8}) {  // GET_STATUS, GET_CONFIGURATION
        const Answer a = request(0x80, req, 0, 0, 2);
        EXPECT_EQ(a.outcome(), Outcome::Stall);
        EXPECT_FALSE(a.record.calls[0].is_write);
        EXPECT_EQ(a.err, "Stalled\n");
    }
}

TEST_F(ControlRequests, FixedRepliesIgnoreDirectionAndLength) {
    EXPECT_EQ(request(0x81, 10, 0, 0, 0).reply(), (Bytes{0}));  // GET_INTERFACE, wLength 0
    EXPECT_EQ(request(0xA1, 10, 0, 0, 1).reply(), (Bytes{0}));  // class request alike
    for (uint8_t type : {0x00, 0x21, 0x80, 0xA1}) {
        for (uint8_t req : {0x20, 0x22}) {
            const Answer a = request(type, req, 0, 0, 4);
            ASSERT_EQ(a.record.calls.size(), 1u);
            EXPECT_EQ(a.record.calls[0].data, (Bytes{0, 0, 0, 0}));
        }
    }
    EXPECT_EQ(request(0xA1, 0x21).outcome(), Outcome::Stall);
    EXPECT_EQ(request(0xA1, 6, 0x0300).outcome(), Outcome::Stall);  // class GET_DESCRIPTOR
}

TEST_F(ControlRequests, DescriptorsOtherThanStringsAreRefused) {
    const Answer device = request(0x80, 6, 0x0100, 0, 18);
    EXPECT_EQ(device.outcome(), Outcome::Stall);
    EXPECT_EQ(device.err, "Cannot return descriptor 1\nStalled\n");

    for (uint8_t type : {0x81, 0xA0}) {
        const Answer a = request(type, 6, 0x0302, 0x0409, 255);
        EXPECT_EQ(a.outcome(), Outcome::Stall);
        EXPECT_EQ(a.err, "Stalled\n");
        EXPECT_EQ(a.out.find("Get string"), std::string::npos);
    }
}

TEST_F(ControlRequests, StringsByteForByte) {
    const Answer product = request(0x80, 6, 0x0302, 0x0409, 255);
    EXPECT_EQ(product.out,
              "1 event(s): Type:3. EP0 SETUP:Setup request 128 6 770 1033\nStandard/Class request\n"
              "Get string id #0x02 (max length 255)\nFound 28 bytes\n.\n");
    Bytes expected = {28, 3};
    for (char c : std::string("Velko Pro DFU")) {
        expected.push_back(static_cast<uint8_t>(c));
        expected.push_back(0);
    }
    EXPECT_EQ(product.reply(), expected);

    // The serial is the last 8 characters of the SoC serial, in any language.
    const Answer serial = request(0x80, 6, 0x0303, 0x0407, 255);
    EXPECT_EQ(serial.reply(), (Bytes{18, 3, 'a', 0, 'b', 0, 'c', 0, 'd', 0, 'e', 0, 'f', 0, '0', 0, '1', 0}));

    // Replies are never cut to wLength: the ep0 file does that.
    EXPECT_EQ(request(0x80, 6, 0x0301, 0x0409, 2).reply().size(), 22u);
}

TEST_F(ControlRequests, MicrosoftOsStringWithAnyLanguageAndLength) {
    const Bytes expected = {0x12, 0x03, 0x4D, 0x00, 0x53, 0x00, 0x46, 0x00, 0x54,
                            0x00, 0x31, 0x00, 0x30, 0x00, 0x30, 0x00, 0xCD, 0x00};
    for (uint16_t lang : {0x0000, 0x0409, 0x0407}) {
        const Answer a = request(0x80, 6, 0x03EE, lang, 4);
        EXPECT_EQ(a.reply(), expected);
        EXPECT_NE(a.out.find("Get string id #0xee (max length 4)\nasked for 0xee.\n"), std::string::npos);
    }
}

TEST_F(ControlRequests, MissingStringsAreStalled) {
    for (uint16_t index : {7, 8, 0x42, 0xED, 0xFF}) {
        const Answer a = request(0x80, 6, static_cast<uint16_t>(0x0300 | index), 0x0409, 255);
        EXPECT_EQ(a.outcome(), Outcome::Stall) << index;
        EXPECT_EQ(a.err, "String not found !!\nStalled\n");
    }
}

TEST_F(ControlRequests, SetConfigurationBranches) {
    const Answer bad = request(0x01, 9, 1);
    EXPECT_EQ(bad.err, "Bad dir\nStalled\n");
    EXPECT_EQ(bad.outcome(), Outcome::Stall);
    EXPECT_TRUE(bad.record.calls[0].is_write);
    EXPECT_EQ(request(0x20, 9, 1).err, "Bad dir\nStalled\n");  // class type, same row

    for (uint16_t value : {2, 0x0101}) {
        const Answer a = request(0x00, 9, value);
        EXPECT_EQ(a.err, "Unhandled configuration value " + std::to_string(value) + "\n");
        EXPECT_EQ(a.outcome(), Outcome::Ack);
    }
    EXPECT_EQ(thread_args.stop.load(), 0u);
    EXPECT_EQ(sim.open_count(Node::Ep1In), 0);

    const Answer disable = request(0x00, 9, 0);
    EXPECT_NE(disable.out.find("Disable threads\n"), std::string::npos);
    EXPECT_EQ(disable.outcome(), Outcome::Ack);
    EXPECT_EQ(thread_args.stop.load(), 1u);
    EXPECT_EQ(sim.usleep_total(), 0u);
}

TEST_F(ControlRequests, ConfigurationOneConfiguresBothEndpoints) {
    const Answer a = configure();
    EXPECT_EQ(a.outcome(), Outcome::Ack);
    const size_t set = a.out.find("Set config value\n");
    const size_t ep1 = a.out.find("ep1 configured\n");
    const size_t ep2 = a.out.find("ep2 configured\n");
    ASSERT_NE(set, std::string::npos);
    EXPECT_LT(set, ep1);
    EXPECT_LT(ep1, ep2);
    // stop started at 0: the first configuration pauses 200 ms.
    EXPECT_EQ(sim.usleep_total(), 200000u);

    const auto records = sim.endpoint_records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].path, "/dev/gadget/ep1in");
    // The tag, then the full-speed (64-byte packets) and high-speed (512) descriptor.
    EXPECT_EQ(records[0].record, (Bytes{1, 0, 0, 0, 7, 5, 0x81, 2, 64, 0, 0, 7, 5, 0x81, 2, 0, 2, 0}));
    EXPECT_EQ(records[1].path, "/dev/gadget/ep1out");
    EXPECT_EQ(records[1].record, (Bytes{1, 0, 0, 0, 7, 5, 0x01, 2, 64, 0, 0, 7, 5, 0x01, 2, 0, 2, 0}));

    EXPECT_TRUE(sim.wait_until([&] {
        return sim.err().find("Starting TX thread\n") != std::string::npos &&
               sim.err().find("Starting RX thread: 0\n") != std::string::npos;
    }));
    EXPECT_EQ(thread_args.stop.load(), 0u);
}

TEST_F(ControlRequests, ConfigurationZeroThenOneSkipsThePause) {
    request(0x00, 9, 0);
    configure();
    EXPECT_EQ(sim.usleep_total(), 0u);
    EXPECT_EQ(sim.open_count(Node::Ep1In), 1);
}

TEST_F(ControlRequests, ReconfiguringReplacesThePairAfterItLeft) {
    configure();
    ASSERT_TRUE(sim.wait_for_out("RX Thread read data from usb"));
    // The RX thread now waits in a read of ep1out: it must be woken and
    // gone before the endpoint files are opened again.
    configure();
    EXPECT_EQ(sim.open_count(Node::Ep1In), 1);
    EXPECT_EQ(sim.open_count(Node::Ep1Out), 1);
    EXPECT_NE(sim.out().find("RX Thread exiting\n"), std::string::npos);
    EXPECT_NE(sim.err().find(" TX Thread exiting\n"), std::string::npos);
    EXPECT_EQ(sim.endpoint_records().size(), 4u);
}

TEST_F(ControlRequests, MissingEp1InAcknowledgesWithoutThreads) {
    sim.ep1in_exists = false;
    const Answer a = configure();
    EXPECT_EQ(a.outcome(), Outcome::Ack);
    EXPECT_EQ(a.err, "Unable to open /dev/gadget/ep1in (No such file or directory)\n");
    EXPECT_EQ(thread_args.fd_in.load(), -1);
    EXPECT_EQ(thread_args.stop.load(), 1u);
}

TEST_F(ControlRequests, ShortEndpointRecordAcknowledgesWithoutThreads) {
    sim.ep1in_record_result = 10;
    const Answer a = configure();
    EXPECT_EQ(a.outcome(), Outcome::Ack);
    EXPECT_EQ(a.err.find("Write error 10 ("), 0u);
    EXPECT_EQ(a.out.find("ep1 configured"), std::string::npos);
    EXPECT_EQ(sim.open_count(Node::Ep1In), 0) << "a refused endpoint file is not kept open";
}

TEST_F(ControlRequests, HalfConfiguredPairIsClosedAndRetried) {
    sim.ep1out_exists = false;
    const Answer a = configure();
    EXPECT_NE(a.out.find("ep1 configured\n"), std::string::npos);
    EXPECT_EQ(a.err, "Unable to open /dev/gadget/ep1out (No such file or directory)\n");
    EXPECT_EQ(sim.open_count(Node::Ep1In), 0);
    EXPECT_EQ(thread_args.fd_in.load(), -1);
    EXPECT_EQ(thread_args.stop.load(), 1u) << "no threads on half a pair";

    // The next configuration configures both files afresh.
    sim.ep1out_exists = true;
    const Answer again = configure();
    EXPECT_NE(again.out.find("ep2 configured\n"), std::string::npos);
    EXPECT_EQ(sim.open_count(Node::Ep1In), 1);
    EXPECT_EQ(sim.open_count(Node::Ep1Out), 1);
}

TEST_F(ControlRequests, SetInterfaceNeverWaitsForTheStreams) {
    // No endpoint files open: nothing to clear, still acknowledged.
    const Answer idle = request(0x01, 11, 0, 0);
    EXPECT_EQ(idle.outcome(), Outcome::Ack);
    EXPECT_TRUE(sim.ioctls().empty());

    configure();
    ASSERT_TRUE(sim.wait_for_out("RX Thread read data from usb"));
    const Answer a = request(0x01, 11, 0, 0);
    EXPECT_EQ(a.outcome(), Outcome::Ack);
    EXPECT_NE(a.out.find("SET_INTERFACE\n"), std::string::npos);
    // The TX thread clears its halt at once; the RX thread once its read
    // returns, so that no data in flight is lost.
    EXPECT_TRUE(sim.wait_until([&] { return sim.ioctls().size() == 1; }));
    EXPECT_EQ(sim.ioctls()[0], (std::pair<Node, unsigned long>{Node::Ep1In, GADGETFS_CLEAR_HALT}));
    sim.host_send({1, 2, 3});
    EXPECT_TRUE(sim.wait_until([&] { return sim.ioctls().size() == 2; }));
    EXPECT_EQ(sim.ioctls()[1], (std::pair<Node, unsigned long>{Node::Ep1Out, GADGETFS_CLEAR_HALT}));
}

TEST_F(ControlRequests, DisconnectStopsTheStreamsWhichCloseTheirFiles) {
    configure();
    ASSERT_TRUE(sim.wait_for_out("RX Thread read data from usb"));
    sim.endpoints_gone(true);  // gadgetfs fails endpoint I/O after a disconnect
    sim.run_batch({sim::disconnect_event()});
    EXPECT_TRUE(sim.wait_until(
        [&] { return sim.open_count(Node::Ep1In) == 0 && sim.open_count(Node::Ep1Out) == 0; }));
    EXPECT_EQ(thread_args.fd_in.load(), -1);
    EXPECT_EQ(thread_args.fd_out.load(), -1);

    // A fresh enumeration configures again.
    sim.endpoints_gone(false);
    configure();
    EXPECT_EQ(sim.open_count(Node::Ep1Out), 1);
}

}  // namespace
