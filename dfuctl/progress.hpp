// Progress of a bulk transfer: the texts (pure functions) and the meter that
// redraws one line on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace dfuctl {

using SteadyTime = std::chrono::steady_clock::time_point;
using NowFn = std::function<SteadyTime()>;

// Decimal megabytes per second; 0 when no time has passed.
double megabytes_per_second(std::uint64_t bytes, double seconds);
// "8.5 MB/s"
std::string format_rate(double mb_per_s);
// Remaining time as "m:ss" or "h:mm:ss"; "--:--" when unknown (rate 0, NaN, huge).
std::string format_eta(double seconds);
// "1.23 s"
std::string format_seconds(double seconds);

// The terminal line, e.g.
//   "52428800/104857600 bytes  50.0%  35.2 MB/s  ETA 0:01"
// or without a known total
//   "52428800 bytes  35.2 MB/s"
std::string format_progress(std::uint64_t done, std::optional<std::uint64_t> total, double seconds);

// "uploaded 10485767 bytes in 1.23 s (8.5 MB/s)"
std::string format_summary(const std::string& verb, std::uint64_t bytes, double seconds);

// Bar: one line redrawn in place. Json: one object per line, e.g.
//   {"phase":"upload","board":"1-1","serial":"abcdef01","bytes":1048576,
//    "total":null,"rate":35200000.0}
// (rate in bytes per second, total null when unknown), at most every
// kJsonInterval and once more at the end.
enum class ProgressStyle { None, Bar, Json };
inline constexpr std::chrono::milliseconds kJsonInterval{500};

// What a JSON progress line names: the phase ("upload", "verify",
// "download") and the board.
struct ProgressLabel {
    std::string phase;
    std::string board;  // bus path
    std::optional<std::string> serial;
};

// One JSON progress line (without the newline).
std::string format_progress_json(const ProgressLabel& label, std::uint64_t done,
                                 std::optional<std::uint64_t> total, double seconds);

class ProgressMeter {
public:
    ProgressMeter(ProgressStyle style, std::ostream& out, std::optional<std::uint64_t> total, NowFn now,
                  ProgressLabel label = {});
    // `live`: a bar on `out` (a terminal); otherwise nothing.
    ProgressMeter(bool live, std::ostream& out, std::optional<std::uint64_t> total, NowFn now)
        : ProgressMeter(live ? ProgressStyle::Bar : ProgressStyle::None, out, total, std::move(now)) {}
    // Ends a line left open by a transfer that failed, so the error starts afresh.
    ~ProgressMeter();
    ProgressMeter(const ProgressMeter&) = delete;
    ProgressMeter& operator=(const ProgressMeter&) = delete;
    // Restart the clock, e.g. once the board accepted the request.
    void start();
    // Redraws at most every 200 ms (a JSON line: every kJsonInterval).
    void update(std::uint64_t done);
    // Last redraw and the end of the line.
    void finish(std::uint64_t done);
    double seconds() const;

private:
    void draw(std::uint64_t done);

    ProgressStyle style_;
    ProgressLabel label_;
    std::ostream& out_;
    std::optional<std::uint64_t> total_;
    NowFn now_;
    SteadyTime started_;
    SteadyTime last_draw_;
    bool drawn_ = false;
    bool finished_ = false;
    std::size_t last_width_ = 0;
};

}  // namespace dfuctl
