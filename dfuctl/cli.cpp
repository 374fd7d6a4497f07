#include "cli.hpp"

#include <gadgetdfu/protocol.h>

#include <CLI/CLI.hpp>

#include <ostream>

#include "exit_codes.hpp"
#include "numbers.hpp"

#ifndef DFUCTL_VERSION
#define DFUCTL_VERSION "unknown"
#endif

namespace dfuctl {
namespace {

// Raw texts as CLI11 collects them; numbers are checked afterwards by
// parse_number, which reads 0x prefixes and never takes "010" for octal.
struct RawArgs {
    std::vector<std::string> serials, paths;
    std::string timeout;
    bool wait_given = false;
    bool json = false, quiet = false;
    std::string index, langid;
    std::string request_type, request, value, windex, wlength, data;
    std::string configuration;
    std::string file, length, idle_ms;
    bool reboot = false;
    std::string wait;
    bool all = false;
    std::string count;
    std::string led;
};

struct LedPattern {
    const char* name;
    std::uint32_t command;
};
constexpr LedPattern kLedPatterns[] = {
    {"breathe-orange", ORVEN_LED_BREATHE_ORANGE},
    {"rotate-orange", ORVEN_LED_ROTATE_ORANGE},
    {"breathe-red", ORVEN_LED_BREATHE_RED},
};

template <typename T>
T number(const std::string& text, std::uint64_t max, const char* what) {
    return static_cast<T>(parse_number(text, max, what));
}

Invocation finish(const RawArgs& raw, Command command) {
    Invocation inv;
    inv.command = command;
    for (const auto& v : raw.serials) {
        if (v.empty()) throw Failure(Exit::Usage, "--serial must not be empty");
    }
    for (const auto& v : raw.paths) {
        if (v.empty()) throw Failure(Exit::Usage, "--path must not be empty");
    }
    const bool several = raw.serials.size() > 1 || raw.paths.size() > 1;
    if (several && command != Command::Flash) {
        throw Failure(Exit::Usage, "--serial and --path name several boards only for flash");
    }
    if (raw.all && (!raw.serials.empty() || !raw.paths.empty())) {
        throw Failure(Exit::Usage, "--all takes no --serial or --path");
    }
    if (several) {
        inv.global.serials = raw.serials;
        inv.global.paths = raw.paths;
    } else {
        if (!raw.serials.empty()) inv.global.selector.serial = raw.serials.front();
        if (!raw.paths.empty()) inv.global.selector.path = raw.paths.front();
    }
    if (raw.wait_given) {
        inv.global.wait_seconds = raw.wait.empty() ? 0u : number<unsigned>(raw.wait, 86400, "--wait");
    }
    inv.global.json = raw.json;
    inv.global.quiet = raw.quiet;
    if (!raw.timeout.empty()) {
        inv.global.timeout_ms = number<unsigned>(raw.timeout, 3600000, "--timeout");
        if (inv.global.timeout_ms == 0) throw Failure(Exit::Usage, "--timeout must be at least 1 ms");
    }
    switch (command) {
    case Command::String:
        inv.string_index = number<std::uint8_t>(raw.index, 0xFF, "INDEX");
        if (!raw.langid.empty()) inv.langid = number<std::uint16_t>(raw.langid, 0xFFFF, "--langid");
        break;
    case Command::Control: {
        auto& c = inv.control;
        c.request_type = number<std::uint8_t>(raw.request_type, 0xFF, "BMREQUESTTYPE");
        c.request = number<std::uint8_t>(raw.request, 0xFF, "BREQUEST");
        c.value = number<std::uint16_t>(raw.value, 0xFFFF, "WVALUE");
        c.index = number<std::uint16_t>(raw.windex, 0xFFFF, "WINDEX");
        c.length = number<std::uint16_t>(raw.wlength, kMaxControlLength, "WLENGTH");
        const bool in = (c.request_type & 0x80) != 0;
        if (!raw.data.empty() || !in) c.data = parse_hex_bytes(raw.data, "--data");
        if (in && !raw.data.empty()) {
            throw Failure(Exit::Usage, "--data is for host-to-device requests (BMREQUESTTYPE bit 7 clear)");
        }
        if (!in && c.data.size() != c.length) {
            throw Failure(Exit::Usage, "WLENGTH " + std::to_string(c.length) + " but --data has " +
                                           std::to_string(c.data.size()) + " bytes");
        }
        break;
    }
    case Command::SetConfig:
        inv.configuration = number<std::uint8_t>(raw.configuration, 0xFF, "N");
        break;
    case Command::Download:
        if (!raw.length.empty())
            inv.length = parse_number(raw.length, gadgetdfu::kMaxDownloadLength, "--length");
        [[fallthrough]];
    case Command::Verify:
    case Command::Station:
        if (!raw.count.empty()) inv.count = number<unsigned>(raw.count, 1000000, "--count");
        [[fallthrough]];
    case Command::Flash:
        if (!raw.idle_ms.empty()) {
            inv.idle_ms = number<unsigned>(raw.idle_ms, 3600000, "--idle-ms");
            if (inv.idle_ms == 0) throw Failure(Exit::Usage, "--idle-ms must be at least 1 ms");
        }
        inv.reboot = raw.reboot;
        inv.all = raw.all;
        // After a reboot the same --wait limit applies to the board's return
        // (a bare --wait: a day).
        if (inv.reboot && inv.global.wait_seconds)
            inv.wait_seconds = *inv.global.wait_seconds ? *inv.global.wait_seconds : 86400;
        [[fallthrough]];
    case Command::Upload:
        inv.file = raw.file;
        if (inv.file.empty()) throw Failure(Exit::Usage, "FILE must not be empty");
        if (inv.file == "-" && command != Command::Download) {
            throw Failure(Exit::Usage, "FILE '-' (standard output) is only for download");
        }
        break;
    case Command::Led:
        for (const auto& p : kLedPatterns) {
            if (raw.led == p.name) {
                inv.led_command = p.command;
                inv.led_pattern = p.name;
            }
        }
        if (inv.led_command == 0) {
            throw Failure(Exit::Usage, "unknown LED pattern '" + raw.led +
                                           "' (breathe-orange, rotate-orange or breathe-red)");
        }
        break;
    default:
        break;
    }
    return inv;
}

}  // namespace

ParseResult parse_command_line(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    RawArgs raw;
    CLI::App app{"dfuctl: service tool for boards in firmware-update mode (USB 0a5c:2711 and 0a5c:2712)",
                 "dfuctl"};
    app.set_version_flag("--version", "dfuctl " DFUCTL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();  // global options also after the subcommand
    app.add_option("--serial", raw.serials,
                   "Use the board with this USB serial number (flash: may be given several times)")
        ->type_name("SERIAL")
        ->allow_extra_args(false);
    app.add_option("--path", raw.paths,
                   "Use the board at this bus path, e.g. 1-1 or 1-1.2 (flash: may be given several times)")
        ->type_name("PATH")
        ->allow_extra_args(false);
    CLI::Option* wait_option =
        app.add_option("--wait", raw.wait,
                       "Wait up to SECONDS (none given: without limit) for a matching board to appear; "
                       "with --reboot also for the board's return")
            ->expected(0, 1)
            ->type_name("[SECONDS]");
    app.add_flag("--json", raw.json, "Print JSON on standard output");
    app.add_option("--timeout", raw.timeout,
                   "Per control request and per stalled bulk transfer (default 5000)")
        ->type_name("MS");
    app.add_flag("--quiet", raw.quiet, "No progress line");

    struct Sub {
        CLI::App* app;
        Command command;
    };
    std::vector<Sub> subs;
    auto sub = [&](const char* name, const char* help, Command c) {
        CLI::App* s = app.add_subcommand(name, help);
        subs.push_back({s, c});
        return s;
    };
    sub("list", "List attached boards: SERIAL PATH PRODUCT", Command::List);
    sub("describe", "Show the device and configuration descriptors", Command::Describe);
    sub("strings", "Read string descriptors 0 to 6 and 0xEE", Command::Strings);
    auto* s_string = sub("string", "Read one string descriptor and print its raw bytes", Command::String);
    s_string->add_option("INDEX", raw.index, "String index, 0 to 255")->required();
    s_string->add_option("--langid", raw.langid, "Language id (default 0x0409)")->type_name("ID");
    auto* s_control = sub("control", "Send one raw control request", Command::Control);
    s_control->add_option("BMREQUESTTYPE", raw.request_type)->required();
    s_control->add_option("BREQUEST", raw.request)->required();
    s_control->add_option("WVALUE", raw.value)->required();
    s_control->add_option("WINDEX", raw.windex)->required();
    s_control->add_option("WLENGTH", raw.wlength)->required();
    s_control->add_option("--data", raw.data, "Bytes to send (host-to-device), e.g. 0a0b or \"0a 0b\"")
        ->type_name("HEX");
    auto* s_config = sub("set-config", "Send SET_CONFIGURATION N", Command::SetConfig);
    s_config->add_option("N", raw.configuration)->required();
    auto* s_upload = sub("upload", "Write FILE into the board's firmware image", Command::Upload);
    s_upload->add_option("FILE", raw.file)->required();
    auto* s_download =
        sub("download", "Read the board's firmware image into FILE ('-': stdout)", Command::Download);
    s_download->add_option("FILE", raw.file)->required();
    s_download->add_option("--length", raw.length, "Bytes to read (default 0: the whole image)")
        ->type_name("N");
    s_download->add_option("--idle-ms", raw.idle_ms, "End after this long without data (default 2000)")
        ->type_name("MS");
    auto* s_verify = sub("verify", "Compare FILE with the board's image (SHA-256)", Command::Verify);
    s_verify->add_option("FILE", raw.file)->required();
    s_verify->add_option("--idle-ms", raw.idle_ms, "End after this long without data (default 2000)")
        ->type_name("MS");
    auto* s_flash = sub("flash",
                        "Upload IMAGE, read it back and compare SHA-256; optionally reboot and wait for "
                        "the board to come back",
                        Command::Flash);
    s_flash->add_option("IMAGE", raw.file)->required();
    s_flash->add_flag("--reboot", raw.reboot, "Reboot the board once the read-back matched");
    s_flash->add_flag("--all", raw.all, "Flash every attached board at once");
    s_flash
        ->add_option("--idle-ms", raw.idle_ms, "Read-back: end after this long without data (default 2000)")
        ->type_name("MS");
    auto* s_station = sub("station",
                          "Flash every board that is plugged in, once each (by serial number), until "
                          "stopped (Ctrl-C) or --count boards",
                          Command::Station);
    s_station->add_option("IMAGE", raw.file)->required();
    s_station->add_option("--count", raw.count, "Stop after this many boards")->type_name("N");
    s_station->add_flag("--reboot", raw.reboot, "Reboot each board once its read-back matched");
    s_station
        ->add_option("--idle-ms", raw.idle_ms, "Read-back: end after this long without data (default 2000)")
        ->type_name("MS");
    sub("info", "Show version, flash size, eMMC wear and serial number", Command::Info);
    auto* s_led = sub("led", "Set the LED ring pattern", Command::Led);
    s_led->add_option("PATTERN", raw.led, "breathe-orange, rotate-orange or breathe-red")->required();
    sub("reboot", "Reboot the board", Command::Reboot);
    sub("shutdown", "Shut the board down", Command::Shutdown);
    // Only the top-level help lists the exit codes.
    app.footer(exit_code_help());

    auto usage_error = [&](const std::string& message) {
        err << "dfuctl: " << message << "\nRun 'dfuctl --help' for more information.\n";
        return ParseResult{std::nullopt, static_cast<int>(Exit::Usage)};
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return ParseResult{std::nullopt, app.exit(e, out, err)};
    } catch (const CLI::CallForAllHelp& e) {
        return ParseResult{std::nullopt, app.exit(e, out, err)};
    } catch (const CLI::CallForVersion& e) {
        return ParseResult{std::nullopt, app.exit(e, out, err)};
    } catch (const CLI::ParseError& e) {
        return usage_error(e.what());
    }
    raw.wait_given = wait_option->count() > 0;
    for (const auto& s : subs) {
        if (s.app->parsed()) {
            try {
                return ParseResult{finish(raw, s.command), 0};
            } catch (const Failure& f) {
                return usage_error(f.what());
            }
        }
    }
    return usage_error("no command given");
}

}  // namespace dfuctl
