#include "cli.hpp"

#include <gadgetdfu/protocol.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <ostream>

#include "exit_codes.hpp"
#include "numbers.hpp"
#include "output.hpp"

#ifndef DFUCTL_VERSION
#define DFUCTL_VERSION "unknown"
#endif

namespace dfuctl {
namespace {

// Raw texts as CLI11 collects them; numbers are checked afterwards by
// parse_number, which reads 0x prefixes and never takes "010" for octal.
struct RawArgs {
    std::vector<std::string> serials, paths;
    std::string timeout, progress, log;
    bool wait_given = false;
    bool json = false, quiet = false, raw = false;
    int verbose = 0;
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

// A bus path as the system names a USB port: the bus, '-', then one to
// seven port numbers joined by '.' ("1-1", "3-1.4.2"), each 1 to 255.
bool is_bus_path(const std::string& path) {
    std::size_t i = 0;
    int fields = 0;
    while (true) {
        const std::size_t start = i;
        unsigned value = 0;
        while (i < path.size() && path[i] >= '0' && path[i] <= '9' && value <= 255)
            value = value * 10 + static_cast<unsigned>(path[i++] - '0');
        if (i == start || value == 0 || value > 255) return false;
        ++fields;
        if (i == path.size()) return fields >= 2 && fields <= 8;
        if (path[i] != (fields == 1 ? '-' : '.')) return false;
        ++i;
    }
}

Invocation finish(const RawArgs& raw, Command command) {
    Invocation inv;
    inv.command = command;
    for (const auto& v : raw.serials) {
        if (v.empty()) throw Failure(Exit::Usage, "--serial must not be empty");
    }
    for (const auto& v : raw.paths) {
        if (!is_bus_path(v)) {
            throw Failure(Exit::Usage,
                          "--path '" + v + "' is not a bus path such as 1-1 or 1-1.2 (see dfuctl list)");
        }
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
    inv.global.verbose = raw.verbose;
    inv.global.log_file = raw.log;
    if (raw.progress == "bar") inv.global.progress = ProgressMode::Bar;
    if (raw.progress == "json") inv.global.progress = ProgressMode::Json;
    if (raw.progress == "none") inv.global.progress = ProgressMode::None;
    inv.raw = raw.raw;
    if (!raw.timeout.empty()) {
        inv.global.timeout_ms = number<unsigned>(raw.timeout, 3600000, "--timeout");
        inv.global.timeout_given = true;
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
        if (inv.reboot && inv.global.wait_seconds) {
            inv.wait_seconds = *inv.global.wait_seconds ? *inv.global.wait_seconds : 86400;
        }
        [[fallthrough]];
    case Command::Upload:
        inv.file = raw.file;
        if (inv.file.empty()) throw Failure(Exit::Usage, "FILE must not be empty");
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

namespace {

struct CommandInfo {
    const char* name;
    const char* help;
    Command command;
};
// The commands in the order --help lists them; "help" is handled apart.
constexpr CommandInfo kCommands[] = {
    {"list", "List attached boards: SERIAL PATH PRODUCT", Command::List},
    {"describe", "Show the device and configuration descriptors", Command::Describe},
    {"strings", "Read string descriptors 0 to 6 and 0xEE", Command::Strings},
    {"string", "Read one string descriptor and print its raw bytes", Command::String},
    {"control", "Send one raw control request", Command::Control},
    {"set-config", "Send SET_CONFIGURATION N", Command::SetConfig},
    {"upload", "Write an image into the board (compressed images are decompressed)", Command::Upload},
    {"download", "Read the board's firmware image into FILE ('-': stdout)", Command::Download},
    {"verify", "Compare an image with the board's copy (SHA-256)", Command::Verify},
    {"flash",
     "Upload IMAGE, read it back and compare SHA-256; optionally reboot and wait for the board to come back",
     Command::Flash},
    {"station",
     "Flash every board that is plugged in, once each (by serial number), until stopped (Ctrl-C) or --count "
     "boards",
     Command::Station},
    {"info", "Show version, flash size, eMMC wear and serial number", Command::Info},
    {"led", "Set the LED ring pattern", Command::Led},
    {"reboot", "Reboot the board", Command::Reboot},
    {"shutdown", "Shut the board down", Command::Shutdown},
};

// The global options: one table for the parser, the pre-check of option
// values and the text every command's help ends with.
struct GlobalOption {
    const char* name;
    const char* value;  // nullptr: a flag
    const char* help;
};
constexpr GlobalOption kGlobalOptions[] = {
    {"--serial", "SERIAL", "Use the board with this USB serial number (flash: may be given several times)"},
    {"--path", "PATH",
     "Use the board at this bus path, e.g. 1-1 or 1-1.2 (flash: may be given several times)"},
    {"--json", nullptr,
     "Print one JSON value on standard output, also on failure (station: JSON lines; download -: on "
     "standard error)"},
    {"--timeout", "MS",
     "Per control request and per stalled bulk transfer (default 5000; 12000 for requests a board tool "
     "answers)"},
    {"--quiet", nullptr, "No progress line"},
    {"--progress", "MODE", "Progress on standard error: bar, json (one object per line) or none"},
    {"--log", "FILE", "Append one line per command to FILE"},
    {"-v", nullptr,
     "Show each control request and bulk transfer (at most 10 transfer lines a second) (-vv: also libusb's "
     "debug messages)"},
    {"--wait", "[=SECONDS]",
     "Wait (without limit, or up to SECONDS; a number after --wait is SECONDS) for a matching board to "
     "appear; with --reboot also for its return"},
};

std::string global_options_help() {
    std::string s = "Global options (before or after the command):\n";
    auto line = [&s](std::string left, const char* help) {
        left.resize(std::max<std::size_t>(left.size() + 2, 30), ' ');
        s += left + help + "\n";
    };
    for (const auto& o : kGlobalOptions) {
        line(std::string("  ") + o.name + (o.value ? std::string(" ") + o.value : ""), o.help);
    }
    line("  --help", "Show help (also: dfuctl help COMMAND)");
    return s;
}

const GlobalOption* value_option(const std::string& arg) {
    for (const auto& o : kGlobalOptions) {
        // "[=...]": the value is optional and written with '='.
        if (o.value != nullptr && o.value[0] != '[' && arg == o.name) return &o;
    }
    return nullptr;
}

bool is_command(const std::string& word) {
    if (word == "help") return true;
    for (const auto& c : kCommands) {
        if (word == c.name) return true;
    }
    return false;
}

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// No command begins with a digit: such a word after --wait is its value
// (checked as a number later).
bool is_number_word(const std::string& word) { return !word.empty() && word[0] >= '0' && word[0] <= '9'; }

// What the parser cannot say well by itself: a global option whose value is
// missing (CLI11 would take the command for it) and an unknown command.
// Returns the message of a usage error, or "".
std::string check_words(int argc, const char* const* argv) {
    bool help_or_version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h" || arg == "--version") help_or_version = true;
        // A number after --wait is its value.
        if (arg == "--wait" && i + 1 < argc && is_number_word(argv[i + 1])) {
            ++i;
            continue;
        }
        if (const GlobalOption* o = value_option(arg)) {
            if (i + 1 >= argc) return std::string(o->name) + " needs a value (" + o->value + ")";
            const std::string next = argv[i + 1];
            if (is_command(next)) {
                return std::string(o->name) + " needs a value (" + o->value + ") before the command '" +
                       next + "' (write " + o->name + "=" + next + " if that is the value)";
            }
            ++i;
            continue;
        }
        if (arg.empty() || arg[0] == '-') continue;
        // The first word that is not an option or its value is the command.
        if (is_command(arg)) return "";
        const std::string close = suggest_command(arg);
        return "unknown command '" + arg + "'" + (close.empty() ? "" : "; did you mean '" + close + "'?");
    }
    return help_or_version ? "" : "no command given (see 'dfuctl help')";
}

bool wants_json(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg == "--json") return true;
    }
    return false;
}

// download with FILE '-', before the line is parsed: a usage error's JSON
// then goes to standard error too.
bool download_to_stdout(int argc, const char* const* argv) {
    bool download = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "download") download = true;
        if (download && arg == "-") return true;
    }
    return false;
}

}  // namespace

bool image_on_stdout(const Invocation& inv) { return inv.command == Command::Download && inv.file == "-"; }

std::string_view command_word(Command command) {
    for (const auto& c : kCommands) {
        if (c.command == command) return c.name;
    }
    return "?";
}

std::string suggest_command(const std::string& typed) {
    std::string best;
    std::size_t best_distance = 3;  // at most two edits away
    for (const auto& c : kCommands) {
        const std::string name = c.name;
        const bool prefix = typed.size() >= 2 && name.rfind(typed, 0) == 0;
        const std::size_t d = prefix ? 1 : edit_distance(typed, name);
        if (d < best_distance) {
            best_distance = d;
            best = name;
        }
    }
    return best;
}

ParseResult parse_command_line(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    RawArgs raw;
    const bool json = wants_json(argc, argv);
    std::ostream& report = download_to_stdout(argc, argv) ? err : out;
    auto usage_error = [&](const std::string& message) {
        err << "dfuctl: " << message << "\nRun 'dfuctl --help' for more information.\n";
        if (json) print_error_json(report, static_cast<int>(Exit::Usage), message);
        return ParseResult{std::nullopt, static_cast<int>(Exit::Usage)};
    };
    if (const std::string problem = check_words(argc, argv); !problem.empty()) return usage_error(problem);

    CLI::App app{"dfuctl: service tool for boards in firmware-update mode (USB 0a5c:2711 and 0a5c:2712)",
                 "dfuctl"};
    // Options are "--name" everywhere: on Windows "/images/a.bin" is a path too.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", "dfuctl " DFUCTL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();  // global options also after the subcommand
    const std::string globals = global_options_help();
    std::vector<std::string> progress_modes = {"auto", "bar", "json", "none"};
    app.add_option("--serial", raw.serials, kGlobalOptions[0].help)
        ->type_name("SERIAL")
        ->allow_extra_args(false);
    app.add_option("--path", raw.paths, kGlobalOptions[1].help)->type_name("PATH")->allow_extra_args(false);
    app.add_flag("--json", raw.json, kGlobalOptions[2].help);
    app.add_option("--timeout", raw.timeout, kGlobalOptions[3].help)->type_name("MS");
    app.add_flag("--quiet", raw.quiet, kGlobalOptions[4].help);
    app.add_option("--progress", raw.progress, kGlobalOptions[5].help)
        ->type_name("MODE")
        ->check(CLI::IsMember(progress_modes));
    app.add_option("--log", raw.log, kGlobalOptions[6].help)->type_name("FILE");
    app.add_flag("-v,--verbose", raw.verbose, kGlobalOptions[7].help);
    CLI::Option* wait_option =
        app.add_option("--wait", raw.wait, kGlobalOptions[8].help)->expected(0, 1)->type_name("[SECONDS]");

    struct Sub {
        CLI::App* app;
        Command command;
    };
    std::vector<Sub> subs;
    std::map<std::string, CLI::App*> by_name;
    for (const auto& c : kCommands) {
        CLI::App* s = app.add_subcommand(c.name, c.help);
        s->footer(globals);
        subs.push_back({s, c.command});
        by_name[c.name] = s;
    }
    auto* s_help = app.add_subcommand("help", "Show help for dfuctl or for one COMMAND");
    std::string help_topic;
    s_help->add_option("COMMAND", help_topic, "The command to explain")->type_name("");

    auto* s_string = by_name["string"];
    s_string->add_option("INDEX", raw.index, "String index, 0 to 255")->required()->type_name("");
    s_string->add_option("--langid", raw.langid, "Language id (default 0x0409)")->type_name("ID");
    auto* s_control = by_name["control"];
    s_control->add_option("BMREQUESTTYPE", raw.request_type, "Request type; bit 7 set: device-to-host")
        ->required()
        ->type_name("");
    s_control->add_option("BREQUEST", raw.request, "Request number")->required()->type_name("");
    s_control->add_option("WVALUE", raw.value, "wValue, 0 to 0xffff")->required()->type_name("");
    s_control->add_option("WINDEX", raw.windex, "wIndex, 0 to 0xffff")->required()->type_name("");
    s_control->add_option("WLENGTH", raw.wlength, "Bytes to read, or the length of --data (at most 4096)")
        ->required()
        ->type_name("");
    s_control->add_option("--data", raw.data, "Bytes to send (host-to-device), e.g. 0a0b or \"0a 0b\"")
        ->type_name("HEX");
    by_name["set-config"]
        ->add_option("N", raw.configuration, "Configuration value, 0 to 255")
        ->required()
        ->type_name("");
    const char* image_help =
        "The image: a file, or '-' for standard input. gzip, xz, zstd and bzip2 images are "
        "recognised by their content and decompressed on the way";
    const char* raw_help = "Take FILE as it is, even when it looks compressed";
    auto* s_upload = by_name["upload"];
    s_upload->add_option("FILE", raw.file, image_help)->required()->type_name("");
    s_upload->add_flag("--raw", raw.raw, raw_help);
    auto* s_download = by_name["download"];
    s_download->add_option("FILE", raw.file, "Where the image goes; '-' for standard output")
        ->required()
        ->type_name("");
    s_download->add_option("--length", raw.length, "Bytes to read (default 0: the whole image)")
        ->type_name("N");
    s_download->add_option("--idle-ms", raw.idle_ms, "End after this long without data (default 2000)")
        ->type_name("MS");
    auto* s_verify = by_name["verify"];
    s_verify->add_option("FILE", raw.file, image_help)->required()->type_name("");
    s_verify->add_flag("--raw", raw.raw, raw_help);
    s_verify->add_option("--idle-ms", raw.idle_ms, "End after this long without data (default 2000)")
        ->type_name("MS");
    auto* s_flash = by_name["flash"];
    s_flash->add_option("IMAGE", raw.file, image_help)->required()->type_name("");
    s_flash->add_flag("--raw", raw.raw, "Take IMAGE as it is, even when it looks compressed");
    s_flash->add_flag("--reboot", raw.reboot, "Reboot the board once the read-back matched");
    s_flash->add_flag("--all", raw.all, "Flash every attached board at once");
    s_flash
        ->add_option("--idle-ms", raw.idle_ms, "Read-back: end after this long without data (default 2000)")
        ->type_name("MS");
    auto* s_station = by_name["station"];
    s_station->add_option("IMAGE", raw.file, image_help)->required()->type_name("");
    s_station->add_flag("--raw", raw.raw, "Take IMAGE as it is, even when it looks compressed");
    s_station->add_option("--count", raw.count, "Stop after this many boards")->type_name("N");
    s_station->add_flag("--reboot", raw.reboot, "Reboot each board once its read-back matched");
    s_station
        ->add_option("--idle-ms", raw.idle_ms, "Read-back: end after this long without data (default 2000)")
        ->type_name("MS");
    by_name["led"]
        ->add_option("PATTERN", raw.led, "breathe-orange, rotate-orange or breathe-red")
        ->required()
        ->type_name("");
    // The top-level help lists the commands, the global options and the exit codes.
    app.footer(exit_code_help());

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
    if (s_help->parsed()) {
        // App::help() would explain the help command itself.
        const auto formatter = app.get_formatter();
        if (help_topic.empty()) {
            out << formatter->make_help(&app, "dfuctl", CLI::AppFormatMode::Normal);
        } else if (const auto it = by_name.find(help_topic); it != by_name.end()) {
            out << formatter->make_help(it->second, "dfuctl " + help_topic, CLI::AppFormatMode::Normal);
        } else {
            const std::string close = suggest_command(help_topic);
            return usage_error("unknown command '" + help_topic + "'" +
                               (close.empty() ? "" : "; did you mean '" + close + "'?"));
        }
        return ParseResult{std::nullopt, 0};
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
