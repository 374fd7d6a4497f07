// Many boards at once: the same flash transaction on every selected board,
// each on a thread of its own, and the station loop that flashes each board
// once as it is plugged in.
//
// The scheduling and result logic here knows nothing of libusb: a board's
// work is a BoardJob, which the commands give the real transaction and the
// tests a simulated one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "board.hpp"
#include "cli.hpp"
#include "exit_codes.hpp"
#include "progress.hpp"

namespace dfuctl {

enum class BoardPhase { Waiting, Upload, ReadBack, Reboot, Flashed, Failed, Aborted };
std::string_view phase_name(BoardPhase phase);

struct BoardResult {
    BoardEntry board;
    BoardPhase phase = BoardPhase::Waiting;  // Flashed, Failed or Aborted once done
    Exit code = Exit::Ok;
    std::uint64_t bytes = 0;
    std::string sha256;  // of the image the board sent back
    double seconds = 0;  // the whole transaction
    std::string message;
};

// A board's job reports through this; report() throws Failure when the run
// was told to abort, so that a job ends at its next report.
class JobContext {
public:
    virtual ~JobContext() = default;
    virtual void report(BoardPhase phase, std::uint64_t done, std::uint64_t total) = 0;
    // Whether the run was told to abort: for a job that waits without
    // reporting (for image data still on its way).
    virtual bool aborted() const = 0;
};

// The transaction on one board. Returns the result of a board that has the
// image (phase Flashed); any failure leaves as a Failure.
using BoardJob = std::function<BoardResult(const BoardEntry& board, JobContext& context)>;

// Where a board stands, for the display.
struct BoardStatus {
    BoardEntry board;
    BoardPhase phase = BoardPhase::Waiting;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    SteadyTime phase_started{};
    bool finished = false;
};

// Runs jobs, one thread per board, as many at once as are started. All
// members are called from one controlling thread while jobs run. A job's
// thread and slot live until its result is taken, so that a station which
// flashes board after board for a whole shift holds only the boards in
// flight.
class Flasher {
public:
    Flasher(BoardJob job, NowFn now);
    ~Flasher();  // aborts what still runs and waits for it
    Flasher(const Flasher&) = delete;
    Flasher& operator=(const Flasher&) = delete;

    void start(const BoardEntry& board);
    // Jobs still running.
    std::size_t running() const;
    // The boards whose jobs run, in the order they were started.
    std::vector<BoardStatus> statuses() const;
    // Results of the jobs that ended since the last call, in the order they
    // ended; joins their threads and releases their slots.
    std::vector<BoardResult> take_finished();
    // Every phase a board entered since the last call, in order.
    std::vector<BoardStatus> take_events();
    // Waits up to `limit` for a job to end (or for `limit` to pass).
    void wait_any(std::chrono::milliseconds limit);
    // Tells the running jobs to stop at their next report; they end Aborted.
    void abort();

private:
    struct Slot;
    class Context;
    void run(Slot& slot);

    BoardJob job_;
    NowFn now_;
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    std::vector<std::unique_ptr<Slot>> slots_;  // in start order
    std::vector<BoardResult> finished_;
    std::vector<BoardStatus> events_;
    std::atomic<bool> abort_{false};
    std::size_t running_ = 0;
};

// A board's key for the station: its serial number, else its path.
std::string board_key(const BoardEntry& board);

// Which boards the station flashes: each board once while it stays plugged
// in. A board that leaves the bus while no job runs for it is forgotten,
// so it is flashed again when it comes back; a board that leaves while its
// job runs (a reboot) is not.
class StationBook {
public:
    // The boards of `attached` to start now; marks them as in flight.
    std::vector<BoardEntry> arrivals(const std::vector<BoardEntry>& attached);
    // The job of the board with this key has ended.
    void ended(const std::string& key);
    std::size_t in_flight() const { return in_flight_.size(); }

private:
    std::set<std::string> in_flight_;
    std::set<std::string> done_;
};

// The outcome of a run, counted as results come in (a station keeps no
// list of its boards).
struct RunTally {
    std::size_t boards = 0, flashed = 0, failed = 0, aborted = 0;
    int first_failure = 0;     // exit status of the first board that was not flashed
    bool interrupted = false;  // a signal stopped the run
    void add(const BoardResult& result);
    // 130 when a signal stopped the run, 0 when every board was flashed,
    // otherwise that of the first failed board (Exit::NoBoard when there
    // were none).
    int exit_code() const;
};

// The exit status of `results` counted in their order.
int overall_exit(const std::vector<BoardResult>& results, bool interrupted = false);

// How a run shows itself.
//   Table: one row per board on a terminal (standard error), redrawn;
//   Lines: a plain line per board event (standard error);
//   None:  nothing but the results.
enum class DisplayMode { Table, Lines, None };

// The results always go to standard output:
//   Text:       a line per board as it ends, and a summary line;
//   JsonLines:  a JSON object per board as it ends, and a summary object,
//               one per line (the station, which runs for hours);
//   JsonObject: one JSON object once all ended, {"boards": [...],
//               "summary": {...}} (flash with several boards).
enum class ResultFormat { Text, JsonLines, JsonObject };

class BoardDisplay {
public:
    BoardDisplay(DisplayMode mode, ResultFormat format, std::ostream& out, std::ostream& err, NowFn now);
    // `statuses`: the rows of the table; `events`: the phases entered since
    // the last update, for the plain lines.
    void update(const std::vector<BoardStatus>& statuses, const std::vector<BoardStatus>& events);
    void result(const BoardResult& result);
    // "dfuctl: TEXT" on standard error, below the table.
    void notice(const std::string& text);
    void summary(const RunTally& tally, double seconds);

private:
    void clear_table();
    DisplayMode mode_;
    ResultFormat format_;
    std::vector<BoardResult> collected_;  // JsonObject: the results so far
    std::ostream& out_;
    std::ostream& err_;
    NowFn now_;
    std::size_t rows_drawn_ = 0;
};

// "cafe0001  1-1       upload      45.0%   21.3 MB/s"
std::string format_board_row(const BoardStatus& status, SteadyTime now);
// "cafe0001 1-1: flashed 8388613 bytes in 3.20 s, sha256 f409..." or
// "cafe0002 1-2: FAILED (74): the board went away"
std::string format_board_result(const BoardResult& result);

// Runs `job` on every board of `boards` at once and shows the run; returns
// the results in the order of `boards`. `stop` (the signals caught) is
// polled: 1 lets the boards finish, 2 aborts them.
std::vector<BoardResult> flash_boards(const std::vector<BoardEntry>& boards, const BoardJob& job,
                                      BoardDisplay& display, const std::atomic<int>& stop, NowFn now);

struct StationOptions {
    unsigned count = 0;  // stop after this many boards (0: until stopped)
    std::chrono::milliseconds poll{500};
};

// The station loop: scans, flashes every newly plugged board once, shows
// each result and calls `record` with it. `stop` is polled: 1 stops
// taking new boards and lets the running jobs finish, 2 aborts them.
// Returns the count of the results.
RunTally run_station(const std::function<std::vector<BoardEntry>()>& scan, const BoardJob& job,
                     BoardDisplay& display, const std::function<void(const BoardResult&)>& record,
                     const std::atomic<int>& stop, const StationOptions& options, NowFn now,
                     const std::function<void(std::chrono::milliseconds)>& pause);

}  // namespace dfuctl

// ---- the commands (libusb) ----

namespace dfuctl {

class Bus;

// --wait: waits until the boards the options name are attached (any board
// when they name none); a bounded rescan, each scan on `bus.fresh()` (a
// libusb context that udev does not keep up to date, as on a host without
// udevd, never sees a board that arrives later). Exit::NoBoard after the
// limit. Returns the bus whose scan found the boards (`bus` itself without
// --wait): the command runs on it, since `bus` may not show them yet.
Bus& wait_for_boards(Bus& bus, const GlobalOptions& options);

// flash with --all or several --serial/--path: the boards at once.
int flash_several(Bus& bus, const Invocation& inv, std::ostream& out, std::ostream& err);
// station IMAGE: until stopped (SIGINT/SIGTERM) or --count boards.
// Both return 130 when a signal stopped them.
int station(Bus& bus, const Invocation& inv, std::ostream& out, std::ostream& err);

}  // namespace dfuctl
