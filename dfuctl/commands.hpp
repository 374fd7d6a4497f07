// Carrying out a parsed command against the board.
#pragma once

#include <iosfwd>

#include "cli.hpp"

namespace dfuctl {

// Runs one command; returns its exit status. Failures leave as Failure.
int execute(const Invocation& invocation, std::ostream& out, std::ostream& err);

// The whole program: parse, run, and turn failures into messages and
// exit statuses. main() only calls this.
int run(int argc, const char* const* argv);

}  // namespace dfuctl
