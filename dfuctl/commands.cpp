#include "commands.hpp"

#include <gadgetdfu/protocol.h>

#include <algorithm>
#include <iostream>
#include <new>

#include "descriptors.hpp"
#include "digest.hpp"
#include "files.hpp"
#include "firmware.hpp"
#include "image_source.hpp"
#include "interrupt.hpp"
#include "log.hpp"
#include "numbers.hpp"
#include "output.hpp"
#include "platform.hpp"
#include "replies.hpp"
#include "station.hpp"
#include "usb.hpp"

namespace dfuctl {
namespace {

// Verify compares the file in pieces of this size.
constexpr std::size_t kCompareSize = 1 << 20;

constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kStandardIn = 0x80;
constexpr std::uint16_t kStringRequestLength = 255;
constexpr std::uint16_t kDefaultLangid = 0x0409;

NowFn clock_of(Bus& bus) {
    return [&bus] { return bus.now(); };
}

// A transfer's options, with the meter started once the board accepted the
// request and kept up to date.
StreamOptions transfer_options(Session& s, Bus& bus, const std::string& operation, ProgressMeter& meter,
                               unsigned idle_ms) {
    StreamOptions o = stream_options(s, operation, clock_of(bus), std::chrono::milliseconds(idle_ms),
                                     [&meter](std::uint64_t done) { meter.update(done); });
    o.on_start = [&meter] { meter.start(); };
    trace(operation + " on " + o.board + ": bulk transfers of up to " +
          std::to_string(o.transfer_size / 1024) + " KiB, " + std::to_string(kTransferSlots) + " in flight");
    return o;
}

ProgressStyle progress_style(const GlobalOptions& g) {
    switch (g.progress) {
    case ProgressMode::None:
        return ProgressStyle::None;
    case ProgressMode::Bar:
        return ProgressStyle::Bar;
    case ProgressMode::Json:
        return ProgressStyle::Json;
    case ProgressMode::Auto:
        break;
    }
    return !g.quiet && platform::stderr_is_terminal() ? ProgressStyle::Bar : ProgressStyle::None;
}

ProgressLabel progress_label(const Session& s, const std::string& phase) {
    return {phase, s.board().path, s.board().serial};
}

// The image's bytes and SHA-256 for the summary and the log.
void record_image(std::uint64_t bytes, const std::string& sha256) {
    command_record().bytes = bytes;
    command_record().sha256 = sha256;
}

void warn_if_full_speed(Session& s, std::ostream& err) {
    if (!s.link().full_speed()) return;
    err << "dfuctl: warning: " << s.label()
        << " runs at full speed (12 Mbit/s): transfers are about 40 times slower; plug it into a high-speed "
           "USB port\n";
}

// ---- the commands ----

int cmd_list(Bus& bus, const GlobalOptions& g, std::ostream& out) {
    const auto boards = bus.scan(true);
    // For a script an empty list is an answer, not a failure.
    if (boards.empty() && g.json) {
        print_json(out, Json::array());
        return 0;
    }
    if (boards.empty()) throw Failure(Exit::NoBoard, "no board attached");
    if (g.json) {
        Json arr = Json::array();
        for (const auto& b : boards) {
            arr.push_back(Json{{"serial", b.serial ? Json(*b.serial) : Json(nullptr)},
                               {"path", b.path},
                               {"product_id", b.product_id},
                               {"bus", b.bus},
                               {"address", b.address}});
        }
        print_json(out, arr);
    } else {
        for (const auto& b : boards) out << format_board_line(b) << '\n';
    }
    return 0;
}

int cmd_describe(Bus& bus, const GlobalOptions& g, std::ostream& out) {
    const DescriptorInfo info = bus.descriptors(select_one(bus, g));
    if (g.json) {
        print_json(out, describe_json(info));
    } else {
        for (const auto& [key, value] : describe_lines(info)) out << key << ' ' << value << '\n';
    }
    return 0;
}

int cmd_strings(Bus& bus, const Invocation& inv, std::ostream& out) {
    Session s = open_session(bus, inv.global);
    auto get = [&](std::uint8_t index, std::uint16_t langid) {
        return s.control_in_or_stall(kStandardIn, kGetDescriptor, static_cast<std::uint16_t>(0x0300 | index),
                                     langid, kStringRequestLength,
                                     "GET_DESCRIPTOR(string " + std::to_string(index) + ")");
    };
    auto malformed = [](const std::string& what, const std::vector<std::uint8_t>& bytes) {
        return Failure(Exit::Protocol, "malformed " + what + ": [" + to_hex(bytes) + "]");
    };

    std::optional<std::vector<std::uint16_t>> langids;
    if (const auto r = get(0, 0)) {
        langids = decode_langids(*r);
        if (!langids) throw malformed("language list (string 0)", *r);
    }
    const std::uint16_t langid = langids && !langids->empty() ? langids->front() : kDefaultLangid;
    std::vector<std::optional<std::string>> texts;
    for (std::uint8_t i = 1; i <= gadgetdfu::kStringInterface; ++i) {
        const auto r = get(i, langid);
        if (!r) {
            texts.emplace_back();
            continue;
        }
        auto text = decode_string_descriptor(*r);
        if (!text) throw malformed("string descriptor " + std::to_string(i), *r);
        texts.push_back(std::move(text));
    }
    std::optional<OsStringDescriptor> os;
    if (const auto r = get(gadgetdfu::kStringMsOs, 0)) {
        os = decode_os_string(*r);
        if (!os) throw malformed("OS string descriptor (string 0xee)", *r);
    }

    if (s.options().json) {
        Json j;
        j["langids"] = langids ? Json(*langids) : Json(nullptr);
        Json strings = Json::object();
        for (std::size_t i = 0; i < texts.size(); ++i) {
            strings[std::to_string(i + 1)] = texts[i] ? Json(*texts[i]) : Json(nullptr);
        }
        j["strings"] = std::move(strings);
        j["ms_os"] =
            os ? Json{{"signature", os->signature}, {"vendor_code", os->vendor_code}} : Json(nullptr);
        print_json(out, j);
        return 0;
    }
    out << "0";
    if (!langids)
        out << " (stalled)";
    else
        for (auto id : *langids) out << ' ' << hex_value(id, 4);
    out << '\n';
    for (std::size_t i = 0; i < texts.size(); ++i)
        out << i + 1 << ' ' << texts[i].value_or("(stalled)") << '\n';
    if (os) {
        out << "0xee " << os->signature << " vendor-code " << hex_value(os->vendor_code, 2) << '\n';
    } else {
        out << "0xee (stalled)\n";
    }
    return 0;
}

int cmd_string(Bus& bus, const Invocation& inv, std::ostream& out) {
    Session s = open_session(bus, inv.global);
    const auto bytes =
        s.control_in(kStandardIn, kGetDescriptor, static_cast<std::uint16_t>(0x0300 | inv.string_index),
                     inv.langid, kStringRequestLength, "");
    print_bytes(out, s.options(), bytes, "in");
    return 0;
}

int cmd_control(Bus& bus, const Invocation& inv, std::ostream& out) {
    Session s = open_session(bus, inv.global);
    const auto& c = inv.control;
    if (c.request_type & 0x80) {
        const auto bytes = s.control_in(c.request_type, c.request, c.value, c.index, c.length, "");
        print_bytes(out, s.options(), bytes, "in");
    } else {
        s.control_out(c.request_type, c.request, c.value, c.index, c.data, "");
        if (s.options().json) print_bytes(out, s.options(), c.data, "out");
    }
    return 0;
}

int cmd_set_config(Bus& bus, const Invocation& inv, std::ostream& out) {
    Session s = open_session(bus, inv.global);
    s.set_configuration(inv.configuration);
    if (s.options().json) print_json(out, Json{{"configuration", inv.configuration}});
    return 0;
}

int cmd_upload(Bus& bus, const Invocation& inv, std::ostream& out, std::ostream& err) {
    ImageSource image = ImageSource::open(inv.file, inv.raw);
    refuse_empty(image, "upload");
    Session s = open_session(bus, inv.global);
    warn_if_full_speed(s, err);
    ProgressMeter meter(progress_style(s.options()), err, image.size(), clock_of(bus),
                        progress_label(s, "upload"));
    const auto result =
        upload_image(s, image_reader(image), transfer_options(s, bus, "upload", meter, inv.idle_ms));
    meter.finish(result.bytes);
    const std::string sha256 = image.sha256();
    record_image(result.bytes, sha256);
    print_image_summary(out, s.options(), "upload", "uploaded", result.bytes, meter.seconds(), sha256,
                        format_name(image.format()));
    return 0;
}

int cmd_download(Bus& bus, const Invocation& inv, std::ostream& out, std::ostream& err) {
    Session s = open_session(bus, inv.global);
    warn_if_full_speed(s, err);
    OutputFile output(inv.file);
    ProgressMeter meter(progress_style(s.options()), err,
                        inv.length ? std::optional<std::uint64_t>(inv.length) : std::nullopt, clock_of(bus),
                        progress_label(s, "download"));
    const auto result = read_image(
        s, inv.length, [&](std::span<const std::uint8_t> data) { write_full(output.fd(), data, inv.file); },
        transfer_options(s, bus, "download", meter, inv.idle_ms));
    meter.finish(result.bytes);
    command_record().bytes = result.bytes;
    if (inv.length != 0 && result.bytes < inv.length) {
        throw Failure(Exit::Mismatch, "the board sent " + std::to_string(result.bytes) + " of " +
                                          std::to_string(inv.length) + " bytes (its image is shorter)" +
                                          (inv.file == "-" ? "" : "; " + inv.file + " was not written"));
    }
    if (result.bytes == 0) err << "dfuctl: warning: the board sent no data (its image is empty or missing)\n";
    output.commit();
    print_transfer_summary(out, s.options(), "download", "downloaded", result.bytes, meter.seconds());
    return 0;
}

int cmd_verify(Bus& bus, const Invocation& inv, std::ostream& out, std::ostream& err) {
    ImageSource image = ImageSource::open(inv.file, inv.raw);
    refuse_empty(image, "verify");
    const auto size = image.size();
    if (size && *size > gadgetdfu::kMaxDownloadLength) {
        throw Failure(Exit::Usage, inv.file + " is larger than the largest image the board can send (" +
                                       std::to_string(gadgetdfu::kMaxDownloadLength) + " bytes)");
    }
    Session s = open_session(bus, inv.global);
    warn_if_full_speed(s, err);
    Sha256 board_hash;
    std::vector<std::uint8_t> local(kCompareSize);
    std::uint64_t compared = 0;  // bytes of the board's image compared with the local image
    std::optional<std::uint64_t> first_difference;
    ProgressMeter meter(progress_style(s.options()), err, size, clock_of(bus), progress_label(s, "verify"));
    {
        // A compressed image or a pipe has no size beforehand: the whole
        // image is asked for, compared while the local image streams, and
        // the download left once the local image has ended.
        struct LocalEnded {};
        try {
            read_image(
                s, size.value_or(0),
                [&](std::span<const std::uint8_t> data) {
                    const std::size_t n = image.read(std::span(local).first(data.size()));
                    board_hash.update(data.first(n));
                    if (!first_difference) {
                        const auto m = std::mismatch(
                            local.begin(), local.begin() + static_cast<std::ptrdiff_t>(n), data.begin());
                        const auto at = static_cast<std::uint64_t>(m.first - local.begin());
                        if (at < n) first_difference = compared + at;
                    }
                    compared += n;
                    if (n < data.size() || (!size && image.at_end())) throw LocalEnded{};
                },
                transfer_options(s, bus, "verify", meter, inv.idle_ms));
        } catch (const LocalEnded&) {
            // The rest of the board's image lies beyond the local one.
        }
    }
    // The rest of the local image, when the board sent less.
    while (image.read(local) == local.size()) check_interrupted();
    const std::uint64_t image_bytes = image.bytes();
    if (!first_difference && compared < image_bytes) first_difference = compared;
    meter.finish(compared);
    const std::string sha_local = image.sha256();
    const std::string sha_board = board_hash.hex_digest();
    const bool match = !first_difference && sha_local == sha_board;
    const double seconds = meter.seconds();
    record_image(image_bytes, sha_local);
    if (s.options().json) {
        print_json(out, Json{{"operation", "verify"},
                             {"bytes", compared},
                             {"seconds", seconds},
                             {"mb_per_s", megabytes_per_second(compared, seconds)},
                             {"image_bytes", image_bytes},
                             {"format", format_name(image.format())},
                             {"sha256_local", sha_local},
                             {"sha256_board", sha_board},
                             {"match", match}});
    } else {
        out << "sha256 local  " << sha_local << '\n' << "sha256 board  " << sha_board << '\n';
        out << format_summary("verified", compared, seconds) << (match ? ": match" : ": MISMATCH") << '\n';
    }
    if (match) return 0;
    out.flush();
    command_record().failure = image.name() + " differs from the board's image";
    if (compared < image_bytes) {
        err << "dfuctl: " << image.name() << " differs from the board's image: the board sent " << compared
            << " of " << image_bytes << " bytes\n";
    } else {
        err << "dfuctl: " << image.name() << " differs from the board's image; first difference at byte "
            << first_difference.value_or(0) << '\n';
    }
    return static_cast<int>(Exit::Mismatch);
}

// The USB serial number, by which a rebooted board is recognised.
std::string serial_for_return(Session& s) {
    std::optional<std::string> serial = s.board().serial;
    if (!serial) {
        const auto r =
            s.control_in_or_stall(kStandardIn, kGetDescriptor, 0x0300 | gadgetdfu::kStringSerial,
                                  kDefaultLangid, kStringRequestLength, "GET_DESCRIPTOR(string 3)");
        if (r) serial = decode_string_descriptor(*r);
    }
    if (!serial || serial->empty()) {
        throw Failure(Exit::Protocol, "cannot wait for " + s.label() +
                                          " to come back: it shows no serial number to know it by");
    }
    return *serial;
}

int cmd_flash(Bus& bus, const Invocation& inv, std::ostream& out, std::ostream& err) {
    ImageSource image = ImageSource::open(inv.file, inv.raw);
    Session s = open_session(bus, inv.global);
    const GlobalOptions& g = s.options();
    BoardEntry board = s.board();
    if (inv.wait_seconds > 0) board.serial = serial_for_return(s);
    warn_if_full_speed(s, err);

    std::optional<ProgressMeter> meter;
    FlashStage shown = FlashStage::Upload;
    FlashOptions fo;
    fo.reboot = inv.reboot;
    fo.idle = std::chrono::milliseconds(inv.idle_ms);
    fo.now = clock_of(bus);
    fo.progress = [&](FlashStage stage, std::uint64_t done, std::optional<std::uint64_t> total) {
        if (meter && stage != shown) meter->finish(total.value_or(done));
        if (!meter || stage != shown) {
            meter.emplace(progress_style(g), err, total, clock_of(bus),
                          progress_label(s, stage == FlashStage::Upload ? "upload" : "read-back"));
        }
        shown = stage;
        meter->update(done);
    };
    const FlashResult r = flash_image(s, image, fo);
    record_image(r.bytes, r.sha256_local);
    if (meter) meter->finish(shown == FlashStage::Upload ? r.bytes : r.read_back);

    if (!g.json) {
        out << format_summary("uploaded", r.bytes, r.upload_seconds) << '\n'
            << format_summary("read back", r.read_back, r.read_back_seconds) << '\n'
            << "sha256 local  " << r.sha256_local << " (" << format_name(image.format()) << ")\n"
            << "sha256 board  " << r.sha256_board << '\n'
            << (r.match ? "flashed: the board's image matches" : "MISMATCH") << '\n';
        if (r.rebooted) out << "board is rebooting\n";
        out.flush();
    }
    std::optional<std::string> version;
    std::optional<Failure> not_back;
    if (r.rebooted && inv.wait_seconds > 0) {
        try {
            version = wait_for_return(bus, board, g, std::chrono::seconds(inv.wait_seconds));
        } catch (const Failure& f) {
            not_back = f;
        }
    }
    if (g.json) {
        Json j{{"operation", "flash"},
               {"bytes", r.bytes},
               {"upload_seconds", r.upload_seconds},
               {"read_back_bytes", r.read_back},
               {"read_back_seconds", r.read_back_seconds},
               {"format", format_name(image.format())},
               {"sha256_local", r.sha256_local},
               {"sha256_board", r.sha256_board},
               {"match", r.match},
               {"rebooted", r.rebooted},
               {"version", version ? Json(*version) : Json(nullptr)}};
        // The board that did not come back fails the command inside the same
        // object, so that standard output keeps one JSON value.
        if (not_back)
            j["error"] = Json{{"exit", static_cast<int>(not_back->code())}, {"message", not_back->what()}};
        print_json(out, j);
    } else if (version) {
        out << board_label(board) << " is back: version " << *version << '\n';
    }
    if (not_back && g.json) {
        // The flash object above is the one JSON value; the failure is told on standard error.
        err << "dfuctl: " << not_back->what() << '\n';
        command_record().failure = not_back->what();
        return static_cast<int>(not_back->code());
    }
    if (not_back) throw *not_back;
    if (r.match) return 0;
    out.flush();
    command_record().failure = "the board's image differs from " + image.name();
    if (r.read_back < r.bytes) {
        err << "dfuctl: the board's image differs from " << image.name() << " after the upload: it sent back "
            << r.read_back << " of " << r.bytes << " bytes\n";
    } else {
        err << "dfuctl: the board's image differs from " << image.name() << " after the upload\n";
    }
    return static_cast<int>(Exit::Mismatch);
}

int cmd_info(Bus& bus, const Invocation& inv, std::ostream& out) {
    Session s = open_session(bus, inv.global);
    const std::string version = payload_text(s.vendor(ORVEN_GET_VERSION));
    const FlashSize flash = decode_flash_size(s.vendor(ORVEN_GET_FLASHSIZE));
    const EmmcWear wear = decode_emmc_wear(payload_text(s.vendor(ORVEN_GET_EMMC_PROPERTIES)));
    const std::string serial = decode_serial(s.vendor(ORVEN_GET_SERIAL));

    if (s.options().json) {
        auto wear_json = [](const WearValue& w) {
            return Json{{"raw", w.raw ? Json(*w.raw) : Json(nullptr)}, {"text", w.text}};
        };
        Json j;
        j["version"] = version;
        j["flash_size_bytes"] = flash.bytes ? Json(*flash.bytes) : Json(nullptr);
        if (!flash.bytes) j["flash_size_error"] = flash.raw + ": " + flash.reason;
        j["emmc"] = Json{{"life_time_est_a", wear_json(wear.life_time_est_a)},
                         {"life_time_est_b", wear_json(wear.life_time_est_b)},
                         {"pre_eol_info", wear_json(wear.pre_eol_info)}};
        j["serial"] = serial;
        print_json(out, j);
        return 0;
    }
    auto line = [&](const std::string& key, const std::string& value) {
        out << key << std::string(key.size() < 24 ? 24 - key.size() : 1, ' ') << value << '\n';
    };
    auto wear_line = [&](const std::string& key, const WearValue& w) {
        line(key, w.raw ? *w.raw + " (" + w.text + ")" : w.text);
    };
    line("version", version);
    line("flash size", flash.bytes
                           ? std::to_string(*flash.bytes) + " bytes (" + format_iec(*flash.bytes) + ")"
                           : "unavailable (" + flash.raw + ": " + flash.reason + ")");
    wear_line("life time estimation A", wear.life_time_est_a);
    wear_line("life time estimation B", wear.life_time_est_b);
    wear_line("pre-EOL information", wear.pre_eol_info);
    line("serial", serial.empty() ? "(none)" : serial);
    return 0;
}

int cmd_led(Bus& bus, const Invocation& inv, std::ostream& out) {
    Session s = open_session(bus, inv.global);
    const std::string text = payload_text(s.vendor(inv.led_command), gadgetdfu::kLedResultLength);
    if (s.options().json) {
        print_json(out, Json{{"pattern", inv.led_pattern}, {"output", text}});
    } else if (!text.empty()) {
        out << text << (text.back() == '\n' ? "" : "\n");
    }
    return 0;
}

int cmd_power(Bus& bus, const Invocation& inv, std::uint32_t command, std::ostream& out) {
    Session s = open_session(bus, inv.global);
    (void)s.vendor(command);
    const bool reboot = command == ORVEN_REBOOT;
    const char* message = reboot ? "board is rebooting" : "board is shutting down";
    if (s.options().json) {
        print_json(out, Json{{"operation", reboot ? "reboot" : "shutdown"}, {"message", message}});
    } else {
        out << message << '\n';
    }
    return 0;
}

}  // namespace

int execute(const Invocation& inv, Bus& bus, std::ostream& out, std::ostream& err) {
    switch (inv.command) {
    case Command::List:
        return cmd_list(bus, inv.global, out);
    case Command::Describe:
        return cmd_describe(bus, inv.global, out);
    case Command::Strings:
        return cmd_strings(bus, inv, out);
    case Command::String:
        return cmd_string(bus, inv, out);
    case Command::Control:
        return cmd_control(bus, inv, out);
    case Command::SetConfig:
        return cmd_set_config(bus, inv, out);
    case Command::Upload:
        return cmd_upload(bus, inv, out, err);
    case Command::Download:
        return cmd_download(bus, inv, out, err);
    case Command::Verify:
        return cmd_verify(bus, inv, out, err);
    case Command::Flash:
        if (inv.all || !inv.global.serials.empty() || !inv.global.paths.empty()) {
            return flash_several(bus, inv, out, err);
        }
        return cmd_flash(bus, inv, out, err);
    case Command::Station:
        return station(bus, inv, out, err);
    case Command::Info:
        return cmd_info(bus, inv, out);
    case Command::Led:
        return cmd_led(bus, inv, out);
    case Command::Reboot:
        return cmd_power(bus, inv, ORVEN_REBOOT, out);
    case Command::Shutdown:
        return cmd_power(bus, inv, ORVEN_SHUTDOWN, out);
    }
    throw Failure(Exit::Internal, "unhandled command");
}

int report_failures(std::ostream& out, std::ostream& err, const std::function<int()>& command, bool json,
                    std::string* message) {
    auto failed = [&](Exit code, const std::string& text) {
        out.flush();
        err << "dfuctl: " << text << '\n';
        if (json) print_error_json(out, static_cast<int>(code), text);
        if (message != nullptr) *message = text;
        return static_cast<int>(code);
    };
    try {
        const int rc = command();
        out.flush();
        return rc;
    } catch (const Failure& f) {
        return failed(f.code(), f.what());
    } catch (const std::bad_alloc&) {
        return failed(Exit::OsError, "out of memory");
    } catch (const std::exception& e) {
        return failed(Exit::Internal, std::string("internal error: ") + e.what());
    }
}

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, const BusFactory& make_bus) {
    // From the start: a signal during the parse stops the command at its
    // first step.
    const StopSignals signals;
    const ParseResult parsed = parse_command_line(argc, argv, out, err);
    if (!parsed.invocation) return parsed.exit_code;
    const Invocation& inv = *parsed.invocation;
    // With the image on standard output every report, JSON included, goes
    // to standard error.
    std::ostream& report = image_on_stdout(inv) ? err : out;
    set_verbosity(inv.global.verbose, &err);
    command_record() = CommandRecord{};
    command_record().operation = command_word(inv.command);
    std::optional<CommandLog> log;
    std::string message;
    const int status = report_failures(
        report, err,
        [&] {
            log.emplace(inv.global.log_file);  // a log that cannot be written stops the command first
            Bus& bus = make_bus(inv.global);
            return execute(inv, wait_for_boards(bus, inv.global), report, err);
        },
        inv.global.json, &message);
    if (message.empty()) message = command_record().failure;
    if (log) log->append(command_record(), status, message, err);
    set_verbosity(0, nullptr);
    return status;
}

int run(int argc, const char* const* argv) {
    std::optional<usb::LibusbBus> bus;
    return run(argc, argv, std::cout, std::cerr,
               [&](const GlobalOptions& g) -> Bus& { return bus.emplace(g.timeout_ms, g.verbose); });
}

}  // namespace dfuctl
