// What a run leaves behind besides its output: the --log file (one line
// per command) and the -v trace on standard error.
#pragma once

#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <optional>
#include <string>

#include "files.hpp"

namespace dfuctl {

// What the command did, filled in as it goes: the board once chosen, the
// image's bytes and SHA-256 once moved.
struct CommandRecord {
    std::string operation;
    std::optional<std::string> serial;
    std::optional<std::string> path;
    std::optional<std::uint64_t> bytes;
    std::optional<std::string> sha256;
    // Why a command that reports its own failure (a mismatch) failed.
    std::string failure;
};

// The record of the command being run (one command per run).
CommandRecord& command_record();

// One JSON object, e.g.
//   {"time":"2026-12-07T18:30:00Z","serial":"abcdef01","path":"1-1",
//    "operation":"upload","bytes":10485767,"sha256":"9f86...","exit":0,"result":"ok"}
// and on failure "result":"failed" and "message" ("result":"interrupted"
// for exit status 130: stopped by SIGINT or SIGTERM).
std::string format_log_line(const CommandRecord& record, int exit_status, const std::string& message,
                            std::time_t when);

class CommandLog {
public:
    // Opens `path` for appending, creating it (mode 0666 less the umask);
    // "" keeps no log. Throws Failure(Exit::CantCreate).
    explicit CommandLog(const std::string& path);
    // Appends the line of `record`. A failed write is a warning on `err`:
    // the command itself has already happened.
    void append(const CommandRecord& record, int exit_status, const std::string& message, std::ostream& err);

private:
    std::string path_;
    UniqueFd fd_;
};

// -v: 1 traces requests and transfers, 2 also turns on libusb's debug
// messages. Trace lines go to `sink` (standard error), "dfuctl: " first.
void set_verbosity(int level, std::ostream* sink);
int verbosity();
void trace(const std::string& message);

}  // namespace dfuctl
