// The vendor commands on arbitrary board tool output.
//
// Input: flags, the SETUP packet of one vendor request (bRequest, the low bits
// of bRequestType, wValue, wIndex), the result size given to set_led_ring,
// the eMMC size, then the tool output up to the end.
//
// flags bit 0: the tool cannot be started
//       bit 1: reading the tool's output fails after the bytes given
//       bit 2: "/dev/mmcblk0" does not exist
//       bit 3: the eMMC size query fails
//       bit 4: set_led_ring gets a pattern word too long for its command line
//
// get_eMMC_properties, read_serial and set_led_ring are called directly with
// heap blocks of exactly the payload area (508 bytes) or the result size, so
// ASan reports any write past them; their results are compared with models
// of the documented rules. Then one vendor request runs through the daemon's
// ep0 loop, and its reply must have the documented length, frame and payload.
#include <endian.h>

#include <algorithm>
#include <cstring>
#include <memory>
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

using gadgetdfu::kReplyPayloadMax;
using sim::Bytes;

const std::string kBridge = "/usr/sbin/velko-bridge-cli --baud 115200 --port /dev/ttyAMA1";
const std::string kSerialCmd = kBridge + " get_serial";
const std::string kMmcCmd = "mmc extcsd read /dev/mmcblk0 | grep EXT_CSD";
const char* const kLedWords[] = {"breathe_orange", "rotate_orange", "breathe_red"};

const std::string kLifeA = "eMMC Life Time Estimation A [EXT_CSD_DEVICE_LIFE_TIME_EST_TYP_A]: ";
const std::string kLifeB = "eMMC Life Time Estimation B [EXT_CSD_DEVICE_LIFE_TIME_EST_TYP_B]: ";
const std::string kPreEol = "eMMC Pre EOL information [EXT_CSD_PRE_EOL_INFO]: ";
const std::string kFailedToRun = "Failed to run command";

struct Tool {
    bool cannot_start = false;
    bool read_fails = false;  // after `output`
    std::string output;
};

void install(sim::SimGadget& sim, const std::string& command, const Tool& tool) {
    if (tool.cannot_start)
        sim.tools[command] = std::nullopt;
    else if (tool.read_fails)
        sim.failing_tools[command] = tool.output;
    else
        sim.tools[command] = tool.output;
}

// The lines fgets(line, size) hands out. A last line without newline that is
// shorter than the buffer is lost when the read after it fails: fgets then
// reports the error instead of the partial line.
std::vector<std::string> lines_of(const Tool& tool, size_t size) {
    std::vector<std::string> lines;
    const std::string& out = tool.output;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = pos;
        while (end < out.size() && end - pos < size - 1 && out[end] != '\n') ++end;
        const bool newline = end < out.size() && out[end] == '\n' && end - pos < size - 1;
        if (newline) ++end;
        const bool partial = !newline && end - pos < size - 1;
        if (!(partial && tool.read_fails)) lines.push_back(out.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

// What C string functions see of a line: up to its first NUL.
std::string c_text(const std::string& line) { return std::string(line.c_str()); }

std::string emmc_values(const Tool& tool) {
    if (tool.cannot_start) return "";
    const std::string* prefixes[] = {&kLifeA, &kLifeB, &kPreEol};
    std::string values;
    for (const std::string& raw : lines_of(tool, 100)) {
        const std::string line = c_text(raw);
        for (const std::string* p : prefixes) {
            if (line.compare(0, p->size(), *p) != 0) continue;
            size_t length = line.size() > p->size() + 1 ? line.size() - p->size() - 1 : 0;
            length = std::min(length, kReplyPayloadMax - 1 - values.size());
            values += line.substr(p->size(), length);
            break;
        }
    }
    return values;
}

std::string serial_bytes(const Tool& tool) {
    if (tool.cannot_start) return "";
    return tool.output.substr(0, gadgetdfu::kSerialAreaLength);
}

// The `size` bytes set_led_ring leaves in a zeroed result area.
std::string led_result(const Tool& tool, size_t size) {
    std::string text;
    if (tool.cannot_start) {
        if (size == 0) return "";
        text = kFailedToRun.substr(0, size - 1);
    } else {
        for (const std::string& line : lines_of(tool, 1035)) text += c_text(line);
        text = text.substr(0, size);
    }
    text.resize(size, '\0');
    return text;
}

std::string flash_size_text(const sim::SimGadget& sim) {
    if (!sim.emmc_exists) return "-1";
    if (!sim.emmc_size) return "-2";
    const std::string digits = std::to_string(*sim.emmc_size);
    return digits.size() < 20 ? digits : "-2";
}

std::string hex(const Bytes& b) {
    std::string s;
    char two[4];
    for (uint8_t c : b) {
        std::snprintf(two, sizeof two, "%02x", c);
        s += two;
    }
    return s;
}

void check_direct_calls(sim::SimGadget& sim, const Tool& tool, size_t led_size, bool long_word) {
    // get_eMMC_properties: the values and their NUL inside the payload area.
    {
        auto area = std::make_unique<char[]>(kReplyPayloadMax);
        std::memset(area.get(), 0, kReplyPayloadMax);
        const size_t n = get_eMMC_properties(area.get());
        const std::string expected = emmc_values(tool);
        FUZZ_CHECK(n == expected.size() + 1, std::to_string(n));
        FUZZ_CHECK(n >= 1 && n <= kReplyPayloadMax);
        FUZZ_CHECK(std::memcmp(area.get(), expected.c_str(), n) == 0);
    }
    // read_serial: at most the 35-byte serial area, nothing after it.
    {
        auto area = std::make_unique<char[]>(kReplyPayloadMax);
        std::memset(area.get(), 0, kReplyPayloadMax);
        read_serial(area.get());
        std::string expected = serial_bytes(tool);
        expected.resize(kReplyPayloadMax, '\0');
        FUZZ_CHECK(std::memcmp(area.get(), expected.data(), kReplyPayloadMax) == 0);
    }
    // set_led_ring with a result block of exactly `size` bytes.
    {
        std::string word = kLedWords[led_size % 3];
        if (long_word) word = std::string(300, 'w');
        // The command line is cut to 254 characters.
        const std::string command = (kBridge + " set_ledring " + word).substr(0, 254);
        install(sim, command, tool);
        auto result = std::make_unique<char[]>(led_size);
        std::memset(result.get(), 0, led_size);
        set_led_ring(word.c_str(), result.get(), static_cast<int>(led_size));
        FUZZ_CHECK(sim.popen_log().back() == command);
        const std::string expected = led_result(tool, led_size);
        FUZZ_CHECK(std::memcmp(result.get(), expected.data(), led_size) == 0);
    }
}

void check_request(sim::SimGadget& sim, const Tool& tool, const usb_gadgetfs_event& event) {
    sim.push_batch({event});
    sim.end_script();
    FUZZ_CHECK(gadget_main() == -1);

    const std::vector<sim::EventRecord> events = sim.events();
    FUZZ_CHECK(events.size() == 1);
    const std::vector<sim::Ep0Call>& calls = events[0].calls;
    FUZZ_CHECK(calls.size() == 1, std::to_string(calls.size()) + " ep0 calls");
    const sim::Ep0Call& call = calls[0];

    const usb_ctrlrequest& setup = event.u.setup;
    const bool in = setup.bRequestType & USB_DIR_IN;
    const unsigned command = setup.bRequest & gadgetdfu::kCommandMask;
    if (command == 0 || command > ORVEN_SHUTDOWN) {
        if (setup.bRequest == gadgetdfu::kMsVendorCode && in &&
            le16toh(setup.wIndex) == gadgetdfu::kMsCompatIdIndex) {
            FUZZ_CHECK(call.is_write &&
                       call.data == Bytes(u8ExtendedCompatIDOSFeatDesc, u8ExtendedCompatIDOSFeatDesc + 40));
            return;
        }
        // The stall: a zero-length call against the request's direction.
        FUZZ_CHECK(call.is_write == !in && call.data.empty(),
                   "no stall for command " + std::to_string(command));
        return;
    }

    std::string payload;  // the expected payload, zeros to the reply's end
    size_t length = gadgetdfu::fixed_reply_length(command);
    switch (command) {
    case ORVEN_GET_VERSION:
        payload = std::string("v1.4", 5);
        break;
    case ORVEN_GET_FLASHSIZE:
        payload = flash_size_text(sim);
        break;
    case ORVEN_GET_EMMC_PROPERTIES:
        payload = emmc_values(tool);
        length = gadgetdfu::kReplyHeaderLength + payload.size() + 1;
        break;
    case ORVEN_GET_SERIAL:
        payload = serial_bytes(tool);
        break;
    case ORVEN_LED_BREATHE_ORANGE:
    case ORVEN_LED_ROTATE_ORANGE:
    case ORVEN_LED_BREATHE_RED:
        payload = led_result(tool, gadgetdfu::kLedResultLength);
        break;
    case ORVEN_WRITE_FIRMWARE:
    case ORVEN_READ_FIRMWARE:
        payload = "Error";
        break;
    default:
        break;
    }
    Bytes expected(length, 0);
    expected[0] = static_cast<uint8_t>(command);
    std::memcpy(expected.data() + 4, payload.data(), std::min(payload.size(), length - 4));

    FUZZ_CHECK(call.is_write, "command " + std::to_string(command) + " did not reply");
    FUZZ_CHECK(call.data == expected, "command " + std::to_string(command) + ": " + hex(call.data));

    if (command == ORVEN_REBOOT || command == ORVEN_SHUTDOWN) {
        // The reply first, then the shell command.
        const std::vector<std::string> trace = sim.trace();
        FUZZ_CHECK(trace.size() >= 2 && trace[trace.size() - 2] == "ep0 reply 4" &&
                   trace.back() == (command == ORVEN_REBOOT ? "system reboot" : "system shutdown"));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t flags = in.byte();
    const uint8_t bRequest = in.byte();
    const uint8_t bRequestType = static_cast<uint8_t>(0x40 | (in.byte() & 0x9F));
    const uint16_t wValue = in.le16();
    const uint16_t wIndex = in.le16();
    const size_t led_size = in.le16() % (kReplyPayloadMax + 1);
    const uint64_t emmc_size = in.le64();

    Tool tool;
    tool.cannot_start = flags & 1;
    tool.read_fails = flags & 2;
    tool.output = in.rest();

    sim::SimGadget sim;
    sim.emmc_exists = !(flags & 4);
    if (flags & 8)
        sim.emmc_size.reset();
    else
        sim.emmc_size = emmc_size;
    install(sim, kMmcCmd, tool);
    install(sim, kSerialCmd, tool);
    for (const char* word : kLedWords) install(sim, kBridge + " set_ledring " + word, tool);

    check_direct_calls(sim, tool, led_size, flags & 16);
    check_request(sim, tool, sim::setup_event(bRequestType, bRequest, wValue, wIndex, 512));
    FUZZ_CHECK(sim.errors().empty(), sim.errors().front());
    return 0;
}
