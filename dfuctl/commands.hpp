// Carrying out a parsed command against the board.
#pragma once

#include <functional>
#include <iosfwd>

#include "cli.hpp"
#include "session.hpp"

namespace dfuctl {

// Runs one command against the boards on `bus`; returns its exit status.
// Failures leave as Failure.
int execute(const Invocation& invocation, Bus& bus, std::ostream& out, std::ostream& err);

// Runs `command`; a Failure or other exception becomes its message on `err`
// ("dfuctl: ...") and its exit status. `out` is flushed first. `json`: the
// failure is also printed on `out` as {"error": {"exit": N, "message": M}}.
// `message` receives the failure's message.
int report_failures(std::ostream& out, std::ostream& err, const std::function<int()>& command,
                    bool json = false, std::string* message = nullptr);

// The bus a command runs against, made once the options are known.
using BusFactory = std::function<Bus&(const GlobalOptions&)>;

// Parse, run, turn failures into messages and exit statuses, and append
// the --log line.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, const BusFactory& make_bus);
// The same on the host's USB buses, standard output and error. main()
// only calls this.
int run(int argc, const char* const* argv);

}  // namespace dfuctl
