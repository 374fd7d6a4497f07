#include "replies.hpp"

#include <gadgetdfu/protocol.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

#include "exit_codes.hpp"
#include "numbers.hpp"

namespace dfuctl {

std::string_view command_name(std::uint32_t command) {
    switch (command) {
    case ORVEN_GET_VERSION:
        return "GET_VERSION";
    case ORVEN_GET_FLASHSIZE:
        return "GET_FLASHSIZE";
    case ORVEN_GET_EMMC_PROPERTIES:
        return "GET_EMMC_PROPERTIES";
    case ORVEN_GET_SERIAL:
        return "GET_SERIAL";
    case ORVEN_LED_BREATHE_ORANGE:
        return "LED_BREATHE_ORANGE";
    case ORVEN_LED_ROTATE_ORANGE:
        return "LED_ROTATE_ORANGE";
    case ORVEN_LED_BREATHE_RED:
        return "LED_BREATHE_RED";
    case ORVEN_WRITE_FIRMWARE:
        return "WRITE_FIRMWARE";
    case ORVEN_READ_FIRMWARE:
        return "READ_FIRMWARE";
    case ORVEN_REBOOT:
        return "REBOOT";
    case ORVEN_SHUTDOWN:
        return "SHUTDOWN";
    default:
        return "unknown command";
    }
}

std::uint16_t reply_request_length(std::uint32_t command) {
    const std::size_t fixed = gadgetdfu::fixed_reply_length(command);
    return static_cast<std::uint16_t>(
        fixed != 0 ? fixed : std::min<std::size_t>(gadgetdfu::kReplyBufferLength, kGadgetfsControlReplyMax));
}

std::uint32_t firmware_open_errno(std::span<const std::uint8_t> reply) {
    constexpr std::size_t at = gadgetdfu::kFirmwareReplyErrnoOffset;
    if (reply.size() < at + 4) return 0;
    return std::uint32_t{reply[at]} | std::uint32_t{reply[at + 1]} << 8 | std::uint32_t{reply[at + 2]} << 16 |
           std::uint32_t{reply[at + 3]} << 24;
}

void check_reply(std::uint32_t command, std::span<const std::uint8_t> reply) {
    const std::string name =
        std::string(command_name(command)) + " (command " + std::to_string(command) + ")";
    const std::size_t fixed = gadgetdfu::fixed_reply_length(command);
    const std::size_t minimum = fixed != 0 ? fixed : gadgetdfu::kReplyLengthEmmcMin;
    if (reply.size() < minimum) {
        throw Failure(Exit::Protocol, "short reply to " + name + ": " + std::to_string(reply.size()) +
                                          " bytes, expected " + std::to_string(minimum) +
                                          (reply.empty() ? "" : " [" + to_hex(reply) + "]"));
    }
    if (fixed != 0 && reply.size() != fixed) {
        throw Failure(Exit::Protocol, "reply to " + name + " has " + std::to_string(reply.size()) +
                                          " bytes, expected " + std::to_string(fixed));
    }
    const bool header_ok = reply[0] == command && reply[1] == 0 && reply[2] == 0 && reply[3] == 0;
    if (!header_ok) {
        throw Failure(Exit::Protocol, "malformed reply to " + name + ": header " +
                                          to_hex(reply.first(gadgetdfu::kReplyHeaderLength)) + ", expected " +
                                          hex_value(command, 2).substr(2) + " 00 00 00");
    }
}

std::string payload_text(std::span<const std::uint8_t> reply, std::size_t limit) {
    if (reply.size() <= gadgetdfu::kReplyHeaderLength) return {};
    auto payload = reply.subspan(gadgetdfu::kReplyHeaderLength);
    if (payload.size() > limit) payload = payload.first(limit);
    const auto nul = std::find(payload.begin(), payload.end(), std::uint8_t{0});
    return std::string(payload.begin(), nul);
}

FlashSize decode_flash_size(std::span<const std::uint8_t> reply) {
    FlashSize out;
    out.raw = payload_text(reply);
    if (out.raw == "-1") {
        out.reason = "the board cannot open its eMMC device";
        return out;
    }
    if (out.raw == "-2") {
        out.reason = "the board's eMMC size query failed";
        return out;
    }
    std::uint64_t bytes = 0;
    const char* first = out.raw.data();
    const char* last = first + out.raw.size();
    auto [end, ec] = std::from_chars(first, last, bytes, 10);
    if (out.raw.empty() || ec != std::errc() || end != last) {
        throw Failure(Exit::Protocol, "malformed flash size '" + out.raw + "' in the reply to GET_FLASHSIZE");
    }
    out.bytes = bytes;
    return out;
}

namespace {

// "0x01" (blanks around it ignored) to its value; empty for anything else.
std::optional<unsigned> parse_wear_token(std::string_view token) {
    if (token.size() < 3 || token.size() > 10 || token[0] != '0' || (token[1] != 'x' && token[1] != 'X')) {
        return std::nullopt;
    }
    unsigned value = 0;
    const char* first = token.data() + 2;
    const char* last = token.data() + token.size();
    auto [end, ec] = std::from_chars(first, last, value, 16);
    if (ec != std::errc() || end != last) return std::nullopt;
    return value;
}

std::string_view trim(std::string_view s) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

}  // namespace

std::string life_time_text(std::optional<unsigned> value) {
    if (!value || *value == 0) return "not defined";
    if (*value <= 0x0A) {
        return std::to_string((*value - 1) * 10) + "-" + std::to_string(*value * 10) + "% of life used";
    }
    if (*value == 0x0B) return "exceeded its maximum estimated life";
    return "reserved value " + hex_value(*value, 2);
}

std::string pre_eol_text(std::optional<unsigned> value) {
    if (!value || *value == 0) return "not defined";
    switch (*value) {
    case 1:
        return "normal";
    case 2:
        return "warning (80% of reserved blocks consumed)";
    case 3:
        return "urgent";
    default:
        return "reserved value " + hex_value(*value, 2);
    }
}

EmmcWear decode_emmc_wear(std::string_view text) {
    EmmcWear out;
    out.raw = std::string(text);
    // The values follow each other without a separator. Each one starts with
    // "0x" and hex digits never contain an 'x', so every "0x" starts a value.
    std::vector<std::size_t> starts{0};
    for (std::size_t p = 1; p < text.size(); ++p) {
        if ((text[p] == 'x' || text[p] == 'X') && text[p - 1] == '0' && p - 1 != starts.back()) {
            starts.push_back(p - 1);
        }
    }
    std::vector<std::string_view> tokens;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        const auto token = trim(text.substr(starts[i], end - starts[i]));
        if (!token.empty()) tokens.push_back(token);
    }
    WearValue* fields[] = {&out.life_time_est_a, &out.life_time_est_b, &out.pre_eol_info};
    for (std::size_t i = 0; i < 3; ++i) {
        WearValue& f = *fields[i];
        if (i < tokens.size()) {
            f.raw = std::string(tokens[i]);
            f.value = parse_wear_token(tokens[i]);
        }
        if (f.raw && !f.value) {
            f.text = "unrecognised value";
        } else {
            f.text = i < 2 ? life_time_text(f.value) : pre_eol_text(f.value);
        }
    }
    return out;
}

std::string decode_serial(std::span<const std::uint8_t> reply) {
    if (reply.size() <= gadgetdfu::kReplyHeaderLength) return {};
    auto area = reply.subspan(gadgetdfu::kReplyHeaderLength);
    if (area.size() > gadgetdfu::kSerialAreaLength) area = area.first(gadgetdfu::kSerialAreaLength);
    std::string s(area.begin(), area.end());
    while (!s.empty() && (s.back() == '\0' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

std::string format_iec(std::uint64_t bytes) {
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (v >= 1024.0 && unit + 1 < std::size(kUnits)) {
        v /= 1024.0;
        ++unit;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f %s", v, kUnits[unit]);
    return buf;
}

}  // namespace dfuctl
