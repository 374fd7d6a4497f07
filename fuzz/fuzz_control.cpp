// The control handler on arbitrary gadgetfs event batches.
//
// Input: board flags, a thread-creation failure mask, the SoC serial text,
// the firmware image size, then chunks of [length][bytes], each delivered as
// the result of one read of the controller node (so records can arrive whole,
// split or cut short).
//
// flags bit 0: the primary controller node exists (else the secondary)
//       bit 1: "/dev/gadget/ep1in" is missing
//       bit 2: "/dev/gadget/ep1out" is missing
//       bit 3: the ep1in configuration record is taken short
//       bit 4: "/tmp/firmware" is missing
//       bit 5: the host has an upload (data and a zero-length packet) queued
//       bit 6: stream thread creation fails where the mask says so
//       bit 7: the host does not read the IN endpoint
//
// The daemon runs whole: gadget_main on this thread, with SET_CONFIGURATION,
// the firmware commands and their stream threads, and the board tools with
// fixed outputs. Every SETUP event must end with exactly one ep0 call, of the
// kind and length the request calls for; no other event but SUSPEND may make
// one. No descriptor may be used after it was closed, and once the daemon has
// returned no endpoint or controller file may be left open.
#include <endian.h>
#include <errno.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "ep0.h"
#include "fuzz_input.h"
#include "gadget.h"
#include "os.h"
#include "paths.h"
#include "sim_gadgetfs.h"
#include "transfer.h"
#include "vendor.h"

namespace {

using sim::Bytes;
using sim::Node;

const std::string kBridge = "/usr/sbin/velko-bridge-cli --baud 115200 --port /dev/ttyAMA1";
const std::string kLifeA = "eMMC Life Time Estimation A [EXT_CSD_DEVICE_LIFE_TIME_EST_TYP_A]: ";
const std::string kPreEol = "eMMC Pre EOL information [EXT_CSD_PRE_EOL_INFO]: ";

// ---- What a request must get -------------------------------------------------------

enum class Kind { Reply, Ack, Stall, ReplyOrStall };
struct Expected {
    Kind kind;
    size_t length = 0;  // of a reply; 0 when it depends on a tool or the serial
};

Expected expected_for(const usb_ctrlrequest& s) {
    const unsigned type = (s.bRequestType >> 5) & 3;
    const uint16_t wValue = le16toh(s.wValue);
    const uint16_t wIndex = le16toh(s.wIndex);
    if (type == 2) {
        const unsigned command = s.bRequest & gadgetdfu::kCommandMask;
        if (command >= ORVEN_GET_VERSION && command <= ORVEN_SHUTDOWN)
            return {Kind::Reply, gadgetdfu::fixed_reply_length(command)};
        if (s.bRequest == gadgetdfu::kMsVendorCode && (s.bRequestType & USB_DIR_IN) &&
            wIndex == gadgetdfu::kMsCompatIdIndex)
            return {Kind::Reply, gadgetdfu::kMsCompatIdLength};
        return {Kind::Stall};
    }
    if (type == 3) return {Kind::Stall};

    switch (s.bRequest) {
    case USB_REQ_GET_DESCRIPTOR: {
        if (s.bRequestType != 0x80 || wValue >> 8 != USB_DT_STRING) return {Kind::Stall};
        // The fixed texts of the string table, by index.
        static const size_t lengths[] = {4, 22, 28, 0, 50, 48, 34};
        const unsigned index = wValue & 0xFF;
        if (index == gadgetdfu::kStringMsOs) return {Kind::Reply, gadgetdfu::kMsOsStringLength};
        if (index >= 7) return {Kind::Stall};
        // The serial text comes from the SoC and may not be encodable.
        if (index == gadgetdfu::kStringSerial) return {Kind::ReplyOrStall};
        return {Kind::Reply, lengths[index]};
    }
    case USB_REQ_SET_CONFIGURATION:
        return {s.bRequestType == 0x00 ? Kind::Ack : Kind::Stall};
    case USB_REQ_GET_INTERFACE:
        return {Kind::Reply, 1};
    case USB_REQ_SET_INTERFACE:
        return {Kind::Ack};
    case 0x20:
    case 0x22:
        return {Kind::Reply, 4};
    default:
        return {Kind::Stall};
    }
}

void check_setup(const sim::EventRecord& record, size_t number) {
    const usb_ctrlrequest& s = record.event.u.setup;
    const std::string which = "event " + std::to_string(number) + " (" + std::to_string(s.bRequestType) +
                              " " + std::to_string(s.bRequest) + " " + std::to_string(le16toh(s.wValue)) +
                              " " + std::to_string(le16toh(s.wIndex)) + ")";
    FUZZ_CHECK(record.calls.size() == 1, which + ": " + std::to_string(record.calls.size()) + " ep0 calls");
    const sim::Ep0Call& call = record.calls[0];
    const bool in = s.bRequestType & USB_DIR_IN;
    const Expected e = expected_for(s);
    switch (e.kind) {
    case Kind::Reply:
        FUZZ_CHECK(call.is_write && !call.data.empty(), which + ": no reply");
        if (e.length != 0)
            FUZZ_CHECK(call.data.size() == e.length,
                       which + ": reply of " + std::to_string(call.data.size()));
        break;
    case Kind::Ack:
        FUZZ_CHECK(!call.is_write, which + ": not acknowledged");
        break;
    case Kind::Stall:
        FUZZ_CHECK(call.is_write == !in && call.data.empty(), which + ": not stalled");
        break;
    case Kind::ReplyOrStall:
        FUZZ_CHECK(call.is_write ? !call.data.empty() : in, which + ": neither reply nor stall");
        break;
    }
}

// The raw type word: the kernel's enumeration has no room for the values an
// arbitrary record carries, so it is never loaded as that enumeration here.
uint32_t type_of(const usb_gadgetfs_event& event) {
    uint32_t type;
    std::memcpy(&type, &event.type, sizeof type);
    return type;
}

Bytes image(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + 1);
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t flags = in.byte();
    const uint8_t fail_mask = in.byte();
    const std::string serial = in.text(in.byte() % 32);
    const size_t image_size = in.byte();

    sim::SimGadget sim;
    sim.primary_node = flags & 1;
    sim.secondary_node = !(flags & 1);
    sim.ep1in_exists = !(flags & 2);
    sim.ep1out_exists = !(flags & 4);
    if (flags & 8) sim.ep1in_record_result = 10;
    sim.set_firmware(flags & 16 ? std::nullopt : std::optional<Bytes>(image(image_size)));
    sim.cpuinfo = "processor\t: 0\nSerial\t\t: " + serial + "\n";
    sim.tools["mmc extcsd read /dev/mmcblk0 | grep EXT_CSD"] = kLifeA + "0x01\n" + kPreEol + "0x01\n";
    sim.tools[kBridge + " get_serial"] = "10000000abcdef01\n";
    for (const char* word : {"breathe_orange", "rotate_orange", "breathe_red"})
        sim.tools[kBridge + " set_ledring " + word] = "ok\n";
    if (flags & 32) {
        sim.host_send(image(100));
        sim.host_send_zlp();
    }
    sim.hold_in_writes(flags & 128);

    // Only the first eight creations can fail.
    sim.fail_thread_creations(flags & 64 ? fail_mask : 0);

    while (in.remaining() > 0) {
        const size_t length = in.byte() % 100;
        sim.push_raw(in.bytes(length));
    }
    sim.end_script();
    FUZZ_CHECK(gadget_main() == -1);

    const std::vector<sim::EventRecord> events = sim.events();
    for (size_t i = 0; i < events.size(); ++i) {
        const sim::EventRecord& r = events[i];
        const uint32_t type = type_of(r.event);
        if (type == GADGETFS_SETUP)
            check_setup(r, i);
        else if (type == GADGETFS_SUSPEND)
            FUZZ_CHECK(r.calls.size() == 1 && !r.calls[0].is_write, "suspend without its zero-length read");
        else
            FUZZ_CHECK(r.calls.empty(), "event " + std::to_string(i) + " of type " + std::to_string(type) +
                                            " made an ep0 call");
    }
    const std::vector<std::string> errors = sim.errors();
    FUZZ_CHECK(errors.empty(), errors.front());

    // gadget_main has stopped and joined the stream threads and closed the
    // controller node. Only the open transfers keep their descriptors.
    FUZZ_CHECK(sim.open_count(Node::Controller) == 0);
    FUZZ_CHECK(sim.open_count(Node::Emmc) == 0);
    if (sim.failed_thread_creations() == 0) {
        FUZZ_CHECK(sim.open_count(Node::Ep1In) == 0, "ep1in left open");
        FUZZ_CHECK(sim.open_count(Node::Ep1Out) == 0, "ep1out left open");
    }
    const int transfers = (fdFirmware.load() > 0) + (fdRFirmware.load() > 0);
    FUZZ_CHECK(sim.open_count(Node::Firmware) == transfers,
               std::to_string(sim.open_count(Node::Firmware)) + " image descriptors open");
    return 0;
}
