// The board's tools (the bridge tool, mmc, reboot, shutdown): each runs as
// "/bin/sh -c COMMAND" in a process group of its own and has `limit_ms` from
// its start to its end. ep0 is not served while a tool runs, so the limit
// holds whatever the tool does: once it passes, the whole group is killed,
// also while output keeps arriving.
#pragma once

#include <cstdio>

// Starts a tool and returns a stream of its standard output, or nullptr with
// errno set when the shell cannot be started. The stream ends with the
// output, or where the limit passed.
FILE* tool_open(const char* command, unsigned limit_ms);
// Closes the stream and reaps the tool: its wait status, or -1 with errno
// ETIMEDOUT when it was killed for time.
int tool_close(FILE* stream);
// Runs a tool on the daemon's own console and waits for it within the
// limit; the result as for tool_close, or -1 when it cannot be started.
int tool_run(const char* command, unsigned limit_ms);
