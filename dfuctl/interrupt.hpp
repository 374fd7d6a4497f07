// SIGINT and SIGTERM while a command runs. The handler only counts them;
// the command looks at the count where it can stop cleanly (between
// transfers, between requests, while it waits for a board), throws
// Failure(Exit::Aborted) and unwinds, so that temporary files go, the
// --log line and the --json value are written, and the exit status is 130.
//
// Which signal stops a command: the first, except while several boards
// are flashed (flash --all, several --serial/--path, station), where the
// first takes no new board and lets the boards in flight finish and the
// second aborts them, in whatever phase they are (the wait for a rebooted
// board included).
//
// Any thread may call these. The image that several boards share needs no
// clean-up of its own: its spill file is unlinked as it is created, and a
// board waiting for its data is aborted with the board.
#pragma once

#include <atomic>
#include <string>

namespace dfuctl {

// Catches SIGINT and SIGTERM while it lives, counting from 0 (and the
// count is 0 again once it is gone). One per run.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
};

// Signals caught since the run began.
const std::atomic<int>& stop_requests();
// What the handler does: counts `signal` (the tests call it too).
void note_stop_signal(int signal);

// While it lives, a command needs two signals to stop (several boards).
class SecondSignalStops {
public:
    SecondSignalStops();
    ~SecondSignalStops();
    SecondSignalStops(const SecondSignalStops&) = delete;
    SecondSignalStops& operator=(const SecondSignalStops&) = delete;
};

// Enough signals arrived to stop the command.
bool interrupted();
// Throws Failure(Exit::Aborted, interruption_message()) when interrupted().
void check_interrupted();
// "interrupted by SIGINT": the first signal caught.
std::string interruption_message();

}  // namespace dfuctl
