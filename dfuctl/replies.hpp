// Checking and decoding of the vendor replies (the 4-byte header with the
// command number, then the payload), and the human texts for what they carry.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace dfuctl {

// Name of a vendor command for messages, e.g. "GET_VERSION".
std::string_view command_name(std::uint32_t command);

// gadgetfs sends at most this many bytes in the data stage of a control
// read, whatever the daemon writes.
inline constexpr std::uint16_t kGadgetfsControlReplyMax = 256;

// The wLength dfuctl asks for: the fixed reply length, or for the one
// variable reply (eMMC properties) as much as gadgetfs can send. Asking for
// more would leave the host waiting for the end of a reply that gadgetfs
// cut at a full packet.
std::uint16_t reply_request_length(std::uint32_t command);

// Throws Failure(Exit::Protocol) unless `reply` is a complete reply to
// `command`: long enough (exactly the fixed length, or at least the minimum
// of the variable reply) and starting with the command number and three
// zero bytes.
void check_reply(std::uint32_t command, std::span<const std::uint8_t> reply);

// Text at payload offset 0 (reply offset 4) up to the first NUL or the end
// of `reply`, at most `limit` bytes.
std::string payload_text(std::span<const std::uint8_t> reply, std::size_t limit = SIZE_MAX);

// Bytes 12..15 of a firmware command's reply (WRITE_FIRMWARE, READ_FIRMWARE):
// the errno of the board's open of its image file, 0 when it opened. Boards
// from before this field send 0 there.
std::uint32_t firmware_open_errno(std::span<const std::uint8_t> reply);

// Flash size: decimal byte count, or "-1" (eMMC device cannot be opened) or
// "-2" (size query failed).
struct FlashSize {
    std::optional<std::uint64_t> bytes;  // empty when the board could not tell
    std::string raw;                     // the text as sent
    std::string reason;                  // why it is empty
};
FlashSize decode_flash_size(std::span<const std::uint8_t> reply);

// eMMC wear: the concatenated values, e.g. "0x010x020x01" for life-time
// estimation A, B and the pre-EOL information, in that order.
struct WearValue {
    std::optional<std::string> raw;  // "0x01"; empty when the board sent none
    std::optional<unsigned> value;   // empty when missing or not a hex number
    std::string text;                // words for people
};
struct EmmcWear {
    std::string raw;  // whole text as sent
    WearValue life_time_est_a;
    WearValue life_time_est_b;
    WearValue pre_eol_info;
};
EmmcWear decode_emmc_wear(std::string_view text);
std::string life_time_text(std::optional<unsigned> value);
std::string pre_eol_text(std::optional<unsigned> value);

// Serial number: up to 35 bytes at offset 4 with trailing newline/NULs cut.
std::string decode_serial(std::span<const std::uint8_t> reply);

// Binary units with two decimals: "1023 B", "1.00 KiB", "7.28 GiB".
std::string format_iec(std::uint64_t bytes);

}  // namespace dfuctl
