// The command line: parsing and checking every argument before anything
// touches the bus.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board.hpp"

namespace dfuctl {

enum class Command {
    List,
    Describe,
    Strings,
    String,
    Control,
    SetConfig,
    Upload,
    Download,
    Verify,
    Flash,
    Station,
    Info,
    Led,
    Reboot,
    Shutdown,
};

// --progress: Auto draws a bar when standard error is a terminal (and
// --quiet is not given), nothing otherwise.
enum class ProgressMode { Auto, None, Bar, Json };

struct GlobalOptions {
    Selector selector;
    // --serial/--path given several times (flash only): every board named.
    std::vector<std::string> serials;
    std::vector<std::string> paths;
    // --wait[=SECONDS]: wait for a matching board to appear (0: no limit).
    std::optional<unsigned> wait_seconds;
    bool json = false;
    bool quiet = false;
    unsigned timeout_ms = 5000;
    bool timeout_given = false;  // --timeout given: it holds for every request
    ProgressMode progress = ProgressMode::Auto;
    std::string log_file;  // --log: append one line per command ("": none)
    int verbose = 0;       // -v: requests and transfers; -vv: libusb's debug messages too
};

struct ControlArgs {
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    std::vector<std::uint8_t> data;  // host-to-device only
};

struct Invocation {
    GlobalOptions global;
    Command command = Command::List;
    std::uint8_t string_index = 0;   // string
    std::uint16_t langid = 0x0409;   // string
    ControlArgs control;             // control
    std::uint8_t configuration = 0;  // set-config
    std::string file;                // upload, download, verify, flash ("-": standard input or output)
    bool raw = false;                // upload, verify, flash: send or compare FILE as it is
    std::uint64_t length = 0;        // download (0: the whole image)
    unsigned idle_ms = 2000;         // download, verify, flash (its read-back)
    bool reboot = false;             // flash: reboot once the read-back matched
    unsigned wait_seconds = 0;       // flash: wait this long for the board to come back (0: not)
    bool all = false;                // flash: every attached board
    unsigned count = 0;              // station: stop after this many boards (0: not)
    std::uint32_t led_command = 0;   // led: the vendor command number
    std::string led_pattern;         // led: as given
};

// Largest wLength that usbfs passes on for one control transfer.
inline constexpr std::uint16_t kMaxControlLength = 4096;

struct ParseResult {
    std::optional<Invocation> invocation;  // empty: help, version or a usage error was printed
    int exit_code = 0;
};

// Parses argv. Help and version go to `out`; usage errors go to `err` and
// give exit status 64 (with --json also as {"error": ...} on `out`).
ParseResult parse_command_line(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The command writes the image to standard output (download -): its
// reports, JSON included, go to standard error.
bool image_on_stdout(const Invocation& invocation);

// The command's name on the command line ("upload").
std::string_view command_word(Command command);

// The command name closest to a mistyped one ("" when none is close).
std::string suggest_command(const std::string& typed);

}  // namespace dfuctl
