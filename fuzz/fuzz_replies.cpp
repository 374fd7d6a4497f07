// dfuctl's checking and decoding of vendor replies, on any bytes a board
// may send: the reply check, then what `info`, `led` and the firmware
// commands make of an accepted reply (version, flash size, eMMC wear,
// serial, LED output, the errno of the image file's open), in text and
// JSON.
//
// Input: the command number (one byte, unknown numbers included), then the
// reply as it came off ep0.
//
// Checked: check_reply accepts exactly the documented replies (length and
// header) and refuses the rest with Exit::Protocol and a message; a decoder
// fails only with Exit::Protocol; the decoded values keep their documented
// limits; the JSON of `info` is always printable.
#include <gadgetdfu/protocol.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "exit_codes.hpp"
#include "fuzz_input.h"
#include "output.hpp"
#include "replies.hpp"

namespace {

using namespace dfuctl;

bool documented_reply(std::uint32_t command, const std::vector<std::uint8_t>& r) {
    const std::size_t fixed = gadgetdfu::fixed_reply_length(command);
    if (fixed != 0 ? r.size() != fixed : r.size() < gadgetdfu::kReplyLengthEmmcMin) return false;
    return r[0] == command && r[1] == 0 && r[2] == 0 && r[3] == 0;
}

void check_wear(const WearValue& w, const std::string& text) {
    FUZZ_CHECK(!w.text.empty(), "wear value without words");
    FUZZ_CHECK(!w.value || w.raw, "wear value without its text");
    if (w.raw) FUZZ_CHECK(text.find(*w.raw) != std::string::npos, "wear value not from the reply");
}

// What `info` prints of the decoded reply, both ways.
void print_both(const Json& j) {
    std::ostringstream out;
    print_json(out, j);
    FUZZ_CHECK(!out.str().empty() && out.str().back() == '\n');
}

void decode(std::uint32_t command, const std::vector<std::uint8_t>& reply) {
    switch (command) {
    case ORVEN_GET_VERSION: {
        const std::string v = payload_text(reply);
        FUZZ_CHECK(v.size() <= reply.size() - 4 && v.find('\0') == std::string::npos);
        print_both(Json{{"version", v}});
        break;
    }
    case ORVEN_GET_FLASHSIZE: {
        try {
            const FlashSize f = decode_flash_size(reply);
            FUZZ_CHECK(f.bytes.has_value() == f.reason.empty(), "flash size without value or reason");
            if (f.bytes) {
                FUZZ_CHECK(!f.raw.empty() && std::all_of(f.raw.begin(), f.raw.end(),
                                                         [](char c) { return c >= '0' && c <= '9'; }),
                           "flash size from a text that is no decimal number: ", f.raw);
                const std::string iec = format_iec(*f.bytes);
                FUZZ_CHECK(!iec.empty() && iec.size() < 16, iec);
            }
            print_both(Json{{"flash_size_bytes", f.bytes ? Json(*f.bytes) : Json(nullptr)},
                            {"flash_size_error", f.raw + ": " + f.reason}});
        } catch (const Failure& e) {
            FUZZ_CHECK(e.code() == Exit::Protocol, "flash size failure ", e.what());
        }
        break;
    }
    case ORVEN_GET_EMMC_PROPERTIES: {
        const std::string text = payload_text(reply);
        const EmmcWear w = decode_emmc_wear(text);
        FUZZ_CHECK(w.raw == text);
        check_wear(w.life_time_est_a, text);
        check_wear(w.life_time_est_b, text);
        check_wear(w.pre_eol_info, text);
        Json j = Json::object();
        for (const WearValue* v : {&w.life_time_est_a, &w.life_time_est_b, &w.pre_eol_info}) {
            j[v->text] = v->raw ? Json(*v->raw) : Json(nullptr);
        }
        print_both(j);
        break;
    }
    case ORVEN_GET_SERIAL: {
        const std::string s = decode_serial(reply);
        FUZZ_CHECK(s.size() <= gadgetdfu::kSerialAreaLength, "serial too long");
        FUZZ_CHECK(s.empty() || (s.back() != '\0' && s.back() != '\n' && s.back() != '\r'),
                   "serial keeps its line end");
        print_both(Json{{"serial", s}});
        break;
    }
    case ORVEN_LED_BREATHE_ORANGE:
    case ORVEN_LED_ROTATE_ORANGE:
    case ORVEN_LED_BREATHE_RED: {
        const std::string t = payload_text(reply, gadgetdfu::kLedResultLength);
        FUZZ_CHECK(t.size() <= gadgetdfu::kLedResultLength);
        print_both(Json{{"output", t}});
        break;
    }
    case ORVEN_WRITE_FIRMWARE:
    case ORVEN_READ_FIRMWARE: {
        const std::uint32_t e = firmware_open_errno(reply);
        const std::uint32_t want = std::uint32_t{reply[12]} | std::uint32_t{reply[13]} << 8 |
                                   std::uint32_t{reply[14]} << 16 | std::uint32_t{reply[15]} << 24;
        FUZZ_CHECK(e == want, "errno field read from the wrong bytes");
        break;
    }
    default:
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const std::uint32_t command = in.byte();
    const std::vector<std::uint8_t> reply = in.bytes(in.remaining());

    bool accepted = true;
    try {
        check_reply(command, reply);
    } catch (const Failure& e) {
        FUZZ_CHECK(e.code() == Exit::Protocol, "reply check failure ", e.what());
        FUZZ_CHECK(std::string(e.what()).size() > 10, "reply check failure without a message");
        accepted = false;
    }
    FUZZ_CHECK(accepted == documented_reply(command, reply), "check_reply disagrees with the protocol");
    // Texts from any reply, as the decoders may be handed them.
    FUZZ_CHECK(payload_text(reply).size() <= std::max<std::size_t>(reply.size(), 4) - 4);
    FUZZ_CHECK(decode_serial(reply).size() <= gadgetdfu::kSerialAreaLength);
    if (accepted) decode(command, reply);
    return 0;
}
