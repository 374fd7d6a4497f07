// What the board daemon and the host tool must agree on: the USB identity,
// the vendor command numbers and their reply lengths, the endpoints and the
// encoding of a download length into a SETUP packet.
//
// Plain constants only, so that both sides (and every target) include it
// without pulling anything else in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gadgetdfu {

// USB identity.
inline constexpr std::uint16_t kVendorId = 0x0A5C;
inline constexpr std::uint16_t kProductIdPrimary = 0x2712;    // "/dev/gadget/1000480000.usb"
inline constexpr std::uint16_t kProductIdSecondary = 0x2711;  // "/dev/gadget/fe980000.usb"
inline constexpr std::uint16_t kBcdDevice = 0x0002;
inline constexpr std::uint8_t kConfigurationValue = 1;
inline constexpr std::uint8_t kInterfaceNumber = 0;

// Bulk endpoints of the one interface.
inline constexpr std::uint8_t kEndpointIn = 0x81;   // board to host (download)
inline constexpr std::uint8_t kEndpointOut = 0x01;  // host to board (upload)
inline constexpr std::uint16_t kBulkMaxPacket = 512;          // high speed
inline constexpr std::uint16_t kBulkMaxPacketFullSpeed = 64;  // full speed (USB 2.0, 5.8.3)

// Transfer sizes on the board side. An upload is read in requests of
// kUploadReadSize bytes; a request ends early only at a short packet, so a
// host ends an upload with a zero-length packet (see the host tool).
inline constexpr std::size_t kUploadReadSize = 1048576;
inline constexpr std::size_t kDownloadChunkSize = 512000;

// String descriptor indexes.
enum : std::uint8_t {
    kStringManufacturer = 1,
    kStringProduct = 2,
    kStringSerial = 3,
    kStringConfigHighSpeed = 4,
    kStringConfigLowSpeed = 5,
    kStringInterface = 6,
    kStringMsOs = 0xEE,
};

// Microsoft OS 1.0 descriptors: the vendor code announced by string 0xEE and
// the wIndex of the extended compat ID request.
inline constexpr std::uint8_t kMsVendorCode = 0xCD;
inline constexpr std::uint16_t kMsCompatIdIndex = 4;
inline constexpr std::size_t kMsCompatIdLength = 40;
inline constexpr std::size_t kMsOsStringLength = 18;

// Vendor requests: bRequestType for a device-to-host vendor request to the
// device. The command number travels in the low nibble of bRequest.
inline constexpr std::uint8_t kVendorRequestIn = 0xC0;
inline constexpr std::uint8_t kCommandMask = 0x0F;

}  // namespace gadgetdfu

// The vendor command set, numbered as on the wire.
enum ORVEN_OPERATION : std::uint32_t {
    ORVEN_GET_VERSION = 1,
    ORVEN_GET_FLASHSIZE = 2,
    ORVEN_GET_EMMC_PROPERTIES = 3,
    ORVEN_GET_SERIAL = 4,
    ORVEN_LED_BREATHE_ORANGE = 5,
    ORVEN_LED_ROTATE_ORANGE = 6,
    ORVEN_LED_BREATHE_RED = 7,
    ORVEN_WRITE_FIRMWARE = 8,
    ORVEN_READ_FIRMWARE = 9,
    ORVEN_REBOOT = 10,
    ORVEN_SHUTDOWN = 11,
};

namespace gadgetdfu {

// Every vendor reply starts with the command number and three zero bytes.
inline constexpr std::size_t kReplyHeaderLength = 4;
inline constexpr std::size_t kReplyBufferLength = 512;
inline constexpr std::size_t kReplyPayloadMax = kReplyBufferLength - kReplyHeaderLength;

// Fixed reply lengths. GET_EMMC_PROPERTIES is the one variable reply: four
// header bytes, the value text and its NUL (at least 5 bytes).
inline constexpr std::size_t kReplyLengthVersion = 24;
inline constexpr std::size_t kReplyLengthFlashSize = 24;
inline constexpr std::size_t kReplyLengthEmmcMin = 5;
inline constexpr std::size_t kReplyLengthSerial = 39;
inline constexpr std::size_t kSerialAreaLength = 35;
inline constexpr std::size_t kReplyLengthLed = 104;
inline constexpr std::size_t kLedResultLength = 100;
inline constexpr std::size_t kReplyLengthFirmware = 24;
inline constexpr std::size_t kReplyLengthPower = 4;

// The firmware commands' reply: "Error" and its NUL at bytes 4..9 whatever
// happened (hosts have always read it so); bytes 12..15 carry the result of
// the board's open of its image file, 0 or an errno, little-endian.
inline constexpr std::size_t kFirmwareReplyErrnoOffset = 12;

// The board gives each of its tools (the bridge tool, mmc, reboot, shutdown)
// this long; then it kills the tool and answers as for one that cannot be
// started.
inline constexpr unsigned kToolLimitMs = 10000;

// Commands whose answer waits on the board's eMMC or on one of its tools: a
// host gives them longer than kToolLimitMs.
constexpr bool waits_on_board(std::uint32_t command) {
    switch (command) {
    case ORVEN_GET_FLASHSIZE:
    case ORVEN_GET_EMMC_PROPERTIES:
    case ORVEN_GET_SERIAL:
    case ORVEN_LED_BREATHE_ORANGE:
    case ORVEN_LED_ROTATE_ORANGE:
    case ORVEN_LED_BREATHE_RED:
    case ORVEN_REBOOT:
    case ORVEN_SHUTDOWN:
        return true;
    default:
        return false;
    }
}

// Reply length of a command, or 0 for a variable or unknown command.
constexpr std::size_t fixed_reply_length(std::uint32_t command) {
    switch (command) {
    case ORVEN_GET_VERSION:
        return kReplyLengthVersion;
    case ORVEN_GET_FLASHSIZE:
        return kReplyLengthFlashSize;
    case ORVEN_GET_SERIAL:
        return kReplyLengthSerial;
    case ORVEN_LED_BREATHE_ORANGE:
    case ORVEN_LED_ROTATE_ORANGE:
    case ORVEN_LED_BREATHE_RED:
        return kReplyLengthLed;
    case ORVEN_WRITE_FIRMWARE:
    case ORVEN_READ_FIRMWARE:
        return kReplyLengthFirmware;
    case ORVEN_REBOOT:
    case ORVEN_SHUTDOWN:
        return kReplyLengthPower;
    default:
        return 0;
    }
}

// A download length has 36 bits: bits 35..32 ride in the high nibble of
// bRequest, bits 31..16 in wValue and bits 15..0 in wIndex. 0 asks for the
// whole file.
inline constexpr std::uint64_t kMaxDownloadLength = (std::uint64_t{1} << 36) - 1;

struct DownloadRequest {
    std::uint8_t bRequest;
    std::uint16_t wValue;
    std::uint16_t wIndex;
};

constexpr DownloadRequest encode_download_length(std::uint64_t length) {
    return DownloadRequest{
        static_cast<std::uint8_t>(((length >> 32) & 0x0F) << 4 | ORVEN_READ_FIRMWARE),
        static_cast<std::uint16_t>((length >> 16) & 0xFFFF),
        static_cast<std::uint16_t>(length & 0xFFFF),
    };
}

constexpr std::uint64_t decode_download_length(std::uint8_t bRequest, std::uint16_t wValue,
                                               std::uint16_t wIndex) {
    return (std::uint64_t{bRequest} >> 4) << 32 | std::uint64_t{wValue} << 16 | wIndex;
}

static_assert(decode_download_length(0xF9, 0xFFFF, 0xFFFF) == kMaxDownloadLength);
static_assert(decode_download_length(0x09, 0x8000, 0) == 2147483648ULL);
static_assert(encode_download_length(4294967296ULL).bRequest == 0x19);

}  // namespace gadgetdfu
