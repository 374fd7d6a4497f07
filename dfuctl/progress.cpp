#include "progress.hpp"

#include <cmath>
#include <cstdio>
#include <ostream>

#include <nlohmann/json.hpp>

namespace dfuctl {

double megabytes_per_second(std::uint64_t bytes, double seconds) {
    if (!(seconds > 0.0)) return 0.0;
    return static_cast<double>(bytes) / seconds / 1e6;
}

std::string format_rate(double mb_per_s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MB/s", mb_per_s);
    return buf;
}

std::string format_eta(double seconds) {
    // Beyond 100 days the figure means nothing; show it as unknown.
    if (!std::isfinite(seconds) || seconds < 0.0 || seconds > 100.0 * 86400.0) return "--:--";
    const auto total = static_cast<std::uint64_t>(std::llround(seconds));
    const auto h = total / 3600;
    const auto m = total / 60 % 60;
    const auto s = total % 60;
    char buf[32];
    if (h > 0) {
        std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", static_cast<unsigned long long>(h),
                      static_cast<unsigned long long>(m), static_cast<unsigned long long>(s));
    } else {
        std::snprintf(buf, sizeof buf, "%llu:%02llu", static_cast<unsigned long long>(m),
                      static_cast<unsigned long long>(s));
    }
    return buf;
}

std::string format_seconds(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", seconds);
    return buf;
}

std::string format_progress(std::uint64_t done, std::optional<std::uint64_t> total, double seconds) {
    const double rate = megabytes_per_second(done, seconds);
    std::string line = std::to_string(done);
    if (total) {
        // Piece by piece: GCC 12 at -O3 warns (-Wrestrict) about the
        // temporary concatenation.
        line += '/';
        line += std::to_string(*total);
        line += " bytes";
        char pct[16];
        const double p =
            *total == 0 ? 100.0 : 100.0 * static_cast<double>(done) / static_cast<double>(*total);
        std::snprintf(pct, sizeof pct, "  %.1f%%", p);
        line += pct;
        line += "  " + format_rate(rate);
        const double remaining = *total > done ? static_cast<double>(*total - done) : 0.0;
        const double eta = remaining == 0.0 ? 0.0 : rate > 0.0 ? remaining / (rate * 1e6) : NAN;
        line += "  ETA " + format_eta(eta);
    } else {
        line += " bytes  " + format_rate(rate);
    }
    return line;
}

std::string format_summary(const std::string& verb, std::uint64_t bytes, double seconds) {
    return verb + " " + std::to_string(bytes) + " bytes in " + format_seconds(seconds) + " (" +
           format_rate(megabytes_per_second(bytes, seconds)) + ")";
}

std::string format_progress_json(const ProgressLabel& label, std::uint64_t done,
                                 std::optional<std::uint64_t> total, double seconds) {
    const nlohmann::ordered_json j{
        {"phase", label.phase},
        {"board", label.board},
        {"serial", label.serial ? nlohmann::ordered_json(*label.serial) : nlohmann::ordered_json(nullptr)},
        {"bytes", done},
        {"total", total ? nlohmann::ordered_json(*total) : nlohmann::ordered_json(nullptr)},
        {"rate", megabytes_per_second(done, seconds) * 1e6},
    };
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

ProgressMeter::ProgressMeter(ProgressStyle style, std::ostream& out, std::optional<std::uint64_t> total,
                             NowFn now, ProgressLabel label)
    : style_(style),
      label_(std::move(label)),
      out_(out),
      total_(total),
      now_(std::move(now)),
      started_(now_()),
      last_draw_(started_) {}

ProgressMeter::~ProgressMeter() {
    if (style_ == ProgressStyle::Bar && drawn_ && !finished_) out_ << '\n' << std::flush;
}

void ProgressMeter::start() {
    started_ = now_();
    last_draw_ = started_;
}

double ProgressMeter::seconds() const { return std::chrono::duration<double>(now_() - started_).count(); }

void ProgressMeter::update(std::uint64_t done) {
    if (style_ == ProgressStyle::None) return;
    const auto t = now_();
    const auto interval = style_ == ProgressStyle::Json ? kJsonInterval : std::chrono::milliseconds(200);
    if (drawn_ && t - last_draw_ < interval) return;
    last_draw_ = t;
    draw(done);
}

void ProgressMeter::finish(std::uint64_t done) {
    if (style_ == ProgressStyle::None) return;
    draw(done);
    if (style_ == ProgressStyle::Bar) out_ << '\n' << std::flush;
    finished_ = true;
}

void ProgressMeter::draw(std::uint64_t done) {
    if (style_ == ProgressStyle::Json) {
        out_ << format_progress_json(label_, done, total_, seconds()) << '\n' << std::flush;
        drawn_ = true;
        return;
    }
    const std::string line = format_progress(done, total_, seconds());
    // Blank out what is left of a longer earlier line.
    const std::size_t pad = last_width_ > line.size() ? last_width_ - line.size() : 0;
    out_ << '\r' << line << std::string(pad, ' ') << std::flush;
    last_width_ = line.size();
    drawn_ = true;
}

}  // namespace dfuctl
