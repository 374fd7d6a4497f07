// The vendor command service: the command set carried in the low nibble of
// bRequest, its reply frame, and the commands themselves.
#include "vendor.h"

#include <endian.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "ep0.h"
#include "gadgetdfu/protocol.h"
#include "os.h"
#include "paths.h"
#include "tool.h"
#include "transfer.h"

using namespace gadgetdfu;

namespace {

constexpr const char kFailedToRun[] = "Failed to run command";

// A board tool that has not finished after kToolLimitMs is killed, with all
// it started, and the command answers as for a tool that cannot be started:
// ep0 is not served while a tool runs.
//
// Looks at a tool's end (the result of tool_close or tool_run): false, after
// a line that says so, when it was killed for time.
bool finish_tool(const char* command, int status) {
    if (status != -1 || errno != ETIMEDOUT) return true;
    log_err("Tool stopped after %u s without an end: %s\n", kToolLimitMs / 1000, command);
    return false;
}

constexpr const char lifeTimeEstTypA[] = "eMMC Life Time Estimation A [EXT_CSD_DEVICE_LIFE_TIME_EST_TYP_A]: ";
constexpr const char lifeTimeEstTypB[] = "eMMC Life Time Estimation B [EXT_CSD_DEVICE_LIFE_TIME_EST_TYP_B]: ";
constexpr const char preEolInfo[] = "eMMC Pre EOL information [EXT_CSD_PRE_EOL_INFO]: ";
static_assert(sizeof lifeTimeEstTypA - 1 == 66 && sizeof lifeTimeEstTypB - 1 == 66 &&
              sizeof preEolInfo - 1 == 49);

// One request's working storage: the reply frame and the firmware commands'
// result text.
struct vendor_reply {
    uint8_t buffer[kReplyBufferLength];
    char resStr[10];

    char* payload() { return reinterpret_cast<char*>(buffer + kReplyHeaderLength); }
};

using command_fn = size_t (*)(const usb_ctrlrequest* setup, vendor_reply& reply);

size_t cmd_get_version(const usb_ctrlrequest*, vendor_reply& reply) {
    std::memcpy(reply.payload(), kVersionText, sizeof kVersionText);
    return kReplyLengthVersion;
}

size_t cmd_get_flashsize(const usb_ctrlrequest*, vendor_reply& reply) {
    char size_text[20] = {};
    get_eMMC_size(size_text);
    std::memcpy(reply.payload(), size_text, std::strlen(size_text) + 1);
    return kReplyLengthFlashSize;
}

size_t cmd_get_emmc_properties(const usb_ctrlrequest*, vendor_reply& reply) {
    return kReplyHeaderLength + get_eMMC_properties(reply.payload());
}

size_t cmd_get_serial(const usb_ctrlrequest*, vendor_reply& reply) {
    read_serial(reply.payload());
    return kReplyLengthSerial;
}

template <const char* pattern>
size_t cmd_led(const usb_ctrlrequest*, vendor_reply& reply) {
    set_led_ring(pattern, reply.payload(), static_cast<int>(kLedResultLength));
    return kReplyLengthLed;
}
constexpr const char kBreatheOrange[] = "breathe_orange";
constexpr const char kRotateOrange[] = "rotate_orange";
constexpr const char kBreatheRed[] = "breathe_red";

// The firmware commands keep "Error" at bytes 4..9 whatever the open gave,
// as hosts have always read it; bytes 12..15 carry the open's result: 0, or
// its errno, little-endian.
size_t firmware_reply(vendor_reply& reply, int open_result) {
    std::strcpy(reply.resStr, "Error");
    std::memcpy(reply.payload(), reply.resStr, std::strlen(reply.resStr) + 1);
    const uint32_t err = htole32(static_cast<uint32_t>(open_result < 0 ? -open_result : 0));
    std::memcpy(reply.buffer + kFirmwareReplyErrnoOffset, &err, sizeof err);
    return kReplyLengthFirmware;
}

size_t cmd_write_firmware(const usb_ctrlrequest*, vendor_reply& reply) {
    return firmware_reply(reply, open_upload());
}

size_t cmd_read_firmware(const usb_ctrlrequest* setup, vendor_reply& reply) {
    const int result = open_download(
        decode_download_length(setup->bRequest, le16toh(setup->wValue), le16toh(setup->wIndex)));
    return firmware_reply(reply, result);
}

size_t cmd_power(const usb_ctrlrequest*, vendor_reply&) { return kReplyLengthPower; }

struct vendor_command {
    const char* name;        // names the command in its result line
    command_fn run;          // fills the payload, returns the reply length
    const char* afterwards;  // shell command run after the reply is out
};

// Indexed by command number; 0 and 12 to 15 are no commands.
const vendor_command kCommands[16] = {
    {},
    {"ORVEN_GET_VERSION", cmd_get_version, nullptr},
    {"ORVEN_GET_FLASHSIZE", cmd_get_flashsize, nullptr},
    {"ORVEN_GET_EMMC_PROPERTIES", cmd_get_emmc_properties, nullptr},
    {"ORVEN_GET_SERIAL", cmd_get_serial, nullptr},
    {"ORVEN_LED_BREATHE_ORANGE", cmd_led<kBreatheOrange>, nullptr},
    {"ORVEN_LED_ROTATE_ORANGE", cmd_led<kRotateOrange>, nullptr},
    {"ORVEN_LED_BREATHE_RED", cmd_led<kBreatheRed>, nullptr},
    {"ORVEN_WRITE_FIRMWARE", cmd_write_firmware, nullptr},
    {"ORVEN_READ_FIRMWARE", cmd_read_firmware, nullptr},
    {"ORVEN_REBOOT", cmd_power, kRebootCommand},
    {"ORVEN_SHUTDOWN", cmd_power, kShutdownCommand},
    {},
    {},
    {},
    {},
};

bool is_compat_id_request(const usb_ctrlrequest* setup) {
    return setup->bRequest == kMsVendorCode && (setup->bRequestType & USB_DIR_IN) &&
           le16toh(setup->wIndex) == kMsCompatIdIndex;
}

}  // namespace

void handle_vendor_request(int fd, const usb_ctrlrequest* setup) {
    log_line("Vendor request");
    const int bRequest = setup->bRequest & kCommandMask;
    log_out("bRequest: %d\n", bRequest);

    vendor_reply reply;
    std::memset(&reply, 0, sizeof reply);

    const vendor_command& command = kCommands[bRequest];
    if (command.run == nullptr) {
        if (is_compat_id_request(setup)) {
            const ssize_t result =
                reply_ep0(fd, u8ExtendedCompatIDOSFeatDesc, sizeof u8ExtendedCompatIDOSFeatDesc);
            log_err("MS_EXTENDED_COMPAT_ID write result= [%d]\n", static_cast<int>(result));
            return;
        }
        stall_ep0(fd, setup->bRequestType);
        return;
    }

    const size_t length = command.run(setup, reply);
    reply.buffer[0] = static_cast<uint8_t>(bRequest);
    const ssize_t result = reply_ep0(fd, reply.buffer, length);
    log_err("%s write result= [%d]\n", command.name, static_cast<int>(result));
    if (command.afterwards != nullptr)
        (void)finish_tool(command.afterwards, tool_run(command.afterwards, kToolLimitMs));
}

// ---- Device information ---------------------------------------------------------

void get_eMMC_size(char* buff) {
    const int fd = os->open(kEmmcPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log_out("get_eMMC_size: error opening [%s] err[%d]\n", kEmmcPath, -1);
        std::strcpy(buff, "-1");
        return;
    }
    uint64_t size = 0;
    if (os->ioctl(fd, BLKGETSIZE64, &size) == -1) {
        std::strcpy(buff, "-2");
    } else {
        // A size of 20 digits cannot be told in the 20-byte text; report it
        // as a failed query rather than as a wrong number.
        const int n = std::snprintf(buff, 20, "%" PRIu64, size);
        if (n < 0 || n >= 20) std::strcpy(buff, "-2");
    }
    os->close(fd);
}

size_t get_eMMC_properties(char* buffer) {
    FILE* fp = tool_open(kEmmcCommand, kToolLimitMs);
    if (fp == nullptr) {
        log_err("Failed to run command\n");
        buffer[0] = '\0';
        return 1;
    }

    struct prefix {
        const char* text;
        size_t length;
    };
    static const prefix prefixes[] = {
        {lifeTimeEstTypA, sizeof lifeTimeEstTypA - 1},
        {lifeTimeEstTypB, sizeof lifeTimeEstTypB - 1},
        {preEolInfo, sizeof preEolInfo - 1},
    };
    // The values and their NUL must stay inside the payload area.
    constexpr size_t capacity = kReplyPayloadMax - 1;

    char line[100];
    size_t read = 0;
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        for (const prefix& p : prefixes) {
            if (std::strncmp(line, p.text, p.length) != 0) continue;
            // The characters between the prefix and the line's last one
            // (normally its newline). A line that ends right after its
            // prefix adds nothing.
            const size_t line_length = std::strlen(line);
            size_t length = line_length > p.length + 1 ? line_length - p.length - 1 : 0;
            if (length > capacity - read) length = capacity - read;
            std::memcpy(buffer + read, line + p.length, length);
            read += length;
            break;
        }
    }
    buffer[read] = '\0';
    if (!finish_tool(kEmmcCommand, tool_close(fp))) {
        log_err("Failed to run command\n");
        std::memset(buffer, 0, read + 1);
        return 1;
    }
    return read + 1;
}

void read_serial(char* buffer) {
    FILE* fp = tool_open(kSerialCommand, kToolLimitMs);
    if (fp == nullptr) {
        log_err("Failed to run command\n");
        return;
    }
    size_t read = 0;
    while (!std::feof(fp) && read != kSerialAreaLength) {
        const size_t n = std::fread(buffer + read, 1, kSerialAreaLength - read, fp);
        if (n == 0) break;  // the end of the output, or a read error: either ends the collection
        read += n;
    }
    if (!finish_tool(kSerialCommand, tool_close(fp))) {
        log_err("Failed to run command\n");
        std::memset(buffer, 0, kSerialAreaLength);
    }
}

// ---- LED ring -------------------------------------------------------------------

void set_led_ring(const char* led_command, char* result, int size) {
    char command[256];
    std::snprintf(command, 255, kLedCommandFormat, kBridgeTool, led_command);

    FILE* fp = tool_open(command, kToolLimitMs);
    if (fp == nullptr) {
        log_err("Failed to run command\n");
        std::snprintf(result, static_cast<size_t>(size), "%s", kFailedToRun);
        return;
    }

    // The first `size` bytes of everything the tool prints, newlines
    // included; the rest is read and dropped.
    char output[1035];
    int offset = 0;
    while (std::fgets(output, sizeof output, fp) != nullptr) {
        const size_t line_length = std::strlen(output);
        if (offset < size) {
            const size_t room = static_cast<size_t>(size - offset);
            const size_t n = line_length < room ? line_length : room;
            std::memcpy(result + offset, output, n);
        }
        // Only the comparison with `size` matters; stop counting there so
        // that endless output cannot overflow the count.
        offset =
            line_length < static_cast<size_t>(size - offset) ? offset + static_cast<int>(line_length) : size;
    }
    if (!finish_tool(command, tool_close(fp))) {
        log_err("Failed to run command\n");
        std::memset(result, 0, static_cast<size_t>(size));
        std::snprintf(result, static_cast<size_t>(size), "%s", kFailedToRun);
    }
}
