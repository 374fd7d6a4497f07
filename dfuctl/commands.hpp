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
// ("dfuctl: ...") and its exit status. `out` is flushed first.
int report_failures(std::ostream& out, std::ostream& err, const std::function<int()>& command);

// The whole program: parse, run, and turn failures into messages and
// exit statuses. main() only calls this.
int run(int argc, const char* const* argv);

}  // namespace dfuctl
