#include "station.hpp"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "interrupt.hpp"
#include "output.hpp"

namespace dfuctl {

std::string_view phase_name(BoardPhase phase) {
    switch (phase) {
    case BoardPhase::Waiting:
        return "waiting";
    case BoardPhase::Upload:
        return "upload";
    case BoardPhase::ReadBack:
        return "read-back";
    case BoardPhase::Reboot:
        return "reboot";
    case BoardPhase::Flashed:
        return "flashed";
    case BoardPhase::Failed:
        return "failed";
    case BoardPhase::Aborted:
        return "aborted";
    }
    return "?";
}

// ---- Flasher ----

struct Flasher::Slot {
    BoardStatus status;
    SteadyTime started{};
    std::thread thread;
};

class Flasher::Context final : public JobContext {
public:
    Context(Flasher& owner, Slot& slot) : owner_(owner), slot_(slot) {}
    void report(BoardPhase phase, std::uint64_t done, std::uint64_t total) override {
        if (aborted()) throw Failure(Exit::Aborted, "aborted");
        const std::lock_guard lock(owner_.mutex_);
        BoardStatus& s = slot_.status;
        if (s.phase != phase) {
            s.phase = phase;
            s.phase_started = owner_.now_();
            owner_.events_.push_back(s);
        }
        s.done = done;
        s.total = total;
    }
    bool aborted() const override { return owner_.abort_.load(std::memory_order_acquire); }

private:
    Flasher& owner_;
    Slot& slot_;
};

Flasher::Flasher(BoardJob job, NowFn now) : job_(std::move(job)), now_(std::move(now)) {}

Flasher::~Flasher() {
    abort();
    for (auto& s : slots_) {
        if (s->thread.joinable()) s->thread.join();
    }
}

void Flasher::start(const BoardEntry& board) {
    const std::lock_guard lock(mutex_);
    auto slot = std::make_unique<Slot>();
    slot->status.board = board;
    slot->status.phase_started = slot->started = now_();
    Slot& s = *slot;
    slots_.push_back(std::move(slot));
    ++running_;
    s.thread = std::thread([this, &s] { run(s); });
}

void Flasher::run(Slot& slot) {
    BoardResult r;
    try {
        Context context(*this, slot);
        r = job_(slot.status.board, context);
        r.phase = BoardPhase::Flashed;
        r.code = Exit::Ok;
    } catch (const Failure& f) {
        r.phase = f.code() == Exit::Aborted ? BoardPhase::Aborted : BoardPhase::Failed;
        r.code = f.code();
        r.message = f.what();
    } catch (const std::exception& e) {
        r.phase = BoardPhase::Failed;
        r.code = Exit::Internal;
        r.message = std::string("internal error: ") + e.what();
    }
    // The last touch of the slot: once `finished` is seen under the lock,
    // the controlling thread may join this thread and free the slot.
    const std::lock_guard lock(mutex_);
    r.board = slot.status.board;
    r.seconds = std::chrono::duration<double>(now_() - slot.started).count();
    slot.status.phase = r.phase;
    slot.status.finished = true;
    finished_.push_back(std::move(r));
    --running_;
    ended_.notify_all();
}

std::size_t Flasher::running() const {
    const std::lock_guard lock(mutex_);
    return running_;
}

std::vector<BoardStatus> Flasher::statuses() const {
    const std::lock_guard lock(mutex_);
    std::vector<BoardStatus> v;
    v.reserve(slots_.size());
    for (const auto& s : slots_) {
        if (!s->status.finished) v.push_back(s->status);
    }
    return v;
}

std::vector<BoardResult> Flasher::take_finished() {
    std::vector<BoardResult> results;
    std::vector<std::unique_ptr<Slot>> done;
    {
        const std::lock_guard lock(mutex_);
        results.swap(finished_);
        for (auto& s : slots_) {
            if (s->status.finished) done.push_back(std::move(s));
        }
        std::erase(slots_, nullptr);
    }
    // Each of these threads has left the lock for good and only returns.
    for (auto& s : done) s->thread.join();
    return results;
}

std::vector<BoardStatus> Flasher::take_events() {
    const std::lock_guard lock(mutex_);
    std::vector<BoardStatus> v;
    v.swap(events_);
    return v;
}

void Flasher::wait_any(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    ended_.wait_for(lock, limit, [this] { return !finished_.empty(); });
}

void Flasher::abort() { abort_.store(true, std::memory_order_release); }

// ---- the station's book ----

std::string board_key(const BoardEntry& board) { return board.serial ? *board.serial : "path " + board.path; }

std::vector<BoardEntry> StationBook::arrivals(const std::vector<BoardEntry>& attached) {
    std::set<std::string> present;
    std::vector<BoardEntry> fresh;
    for (const auto& b : attached) {
        const std::string key = board_key(b);
        present.insert(key);
        if (in_flight_.contains(key) || done_.contains(key)) continue;
        in_flight_.insert(key);
        fresh.push_back(b);
    }
    std::erase_if(done_, [&](const std::string& key) { return !present.contains(key); });
    return fresh;
}

void StationBook::ended(const std::string& key) {
    in_flight_.erase(key);
    done_.insert(key);
}

void RunTally::add(const BoardResult& r) {
    ++boards;
    if (r.phase == BoardPhase::Flashed) {
        ++flashed;
        return;
    }
    ++(r.phase == BoardPhase::Aborted ? aborted : failed);
    if (first_failure == 0) first_failure = static_cast<int>(r.code == Exit::Ok ? Exit::Internal : r.code);
}

int RunTally::exit_code() const {
    if (interrupted) return static_cast<int>(Exit::Aborted);
    return boards == 0 ? static_cast<int>(Exit::NoBoard) : first_failure;
}

int overall_exit(const std::vector<BoardResult>& results, bool interrupted) {
    RunTally t;
    for (const auto& r : results) t.add(r);
    t.interrupted = interrupted;
    return t.exit_code();
}

// ---- display ----

namespace {

std::string serial_text(const BoardEntry& b) { return b.serial ? *b.serial : "?"; }

Json result_json(const BoardResult& r) {
    return Json{{"serial", r.board.serial ? Json(*r.board.serial) : Json(nullptr)},
                {"path", r.board.path},
                {"bytes", r.bytes},
                {"sha256", r.sha256.empty() ? Json(nullptr) : Json(r.sha256)},
                {"seconds", r.seconds},
                {"result", std::string(phase_name(r.phase))},
                {"exit_code", static_cast<int>(r.code)},
                {"message", r.message}};
}

}  // namespace

std::string format_board_row(const BoardStatus& s, SteadyTime now) {
    char pct[16] = "";
    char rate[32] = "";
    const bool moving = s.phase == BoardPhase::Upload || s.phase == BoardPhase::ReadBack;
    if (moving && s.total > 0) {
        std::snprintf(pct, sizeof pct, "%5.1f%%",
                      100.0 * static_cast<double>(s.done) / static_cast<double>(s.total));
        const double secs = std::chrono::duration<double>(now - s.phase_started).count();
        std::snprintf(rate, sizeof rate, "%s", format_rate(megabytes_per_second(s.done, secs)).c_str());
    }
    char line[160];
    std::snprintf(line, sizeof line, "%-16s  %-10s  %-9s  %6s  %12s", serial_text(s.board).c_str(),
                  s.board.path.c_str(), std::string(phase_name(s.phase)).c_str(), pct, rate);
    std::string text = line;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string format_board_result(const BoardResult& r) {
    std::string head = serial_text(r.board) + " " + r.board.path + ": ";
    if (r.phase == BoardPhase::Flashed) {
        return head + format_summary("flashed", r.bytes, r.seconds) + ", sha256 " + r.sha256 +
               (r.message.empty() ? "" : ", " + r.message);
    }
    if (r.phase == BoardPhase::Aborted) return head + "ABORTED";
    return head + "FAILED (" + std::to_string(static_cast<int>(r.code)) + "): " + r.message;
}

BoardDisplay::BoardDisplay(DisplayMode mode, ResultFormat format, std::ostream& out, std::ostream& err,
                           NowFn now)
    : mode_(mode), format_(format), out_(out), err_(err), now_(std::move(now)) {}

void BoardDisplay::clear_table() {
    if (rows_drawn_ == 0) return;
    err_ << "\x1b[" << rows_drawn_ << "A\x1b[J";
    rows_drawn_ = 0;
}

void BoardDisplay::update(const std::vector<BoardStatus>& statuses, const std::vector<BoardStatus>& events) {
    if (mode_ == DisplayMode::Table) {
        clear_table();
        const SteadyTime now = now_();
        for (const auto& s : statuses) err_ << format_board_row(s, now) << '\n';
        rows_drawn_ = statuses.size();
        err_.flush();
    } else if (mode_ == DisplayMode::Lines && !events.empty()) {
        for (const auto& e : events)
            err_ << serial_text(e.board) << ' ' << e.board.path << ": " << phase_name(e.phase) << '\n';
        err_.flush();
    }
}

void BoardDisplay::result(const BoardResult& r) {
    if (format_ == ResultFormat::JsonObject) {
        collected_.push_back(r);  // all at once with the summary
        return;
    }
    clear_table();
    if (format_ == ResultFormat::JsonLines) {
        print_json(out_, result_json(r));
    } else {
        out_ << format_board_result(r) << '\n';
    }
    out_.flush();
}

void BoardDisplay::notice(const std::string& text) {
    clear_table();
    err_ << "dfuctl: " << text << '\n' << std::flush;
}

void BoardDisplay::summary(const RunTally& c, double seconds) {
    clear_table();
    const Json summary{{"boards", c.boards},   {"flashed", c.flashed}, {"failed", c.failed},
                       {"aborted", c.aborted}, {"seconds", seconds},   {"exit_code", c.exit_code()}};
    if (format_ == ResultFormat::JsonObject) {
        Json boards = Json::array();
        for (const auto& r : collected_) boards.push_back(result_json(r));
        print_json(out_, Json{{"boards", std::move(boards)}, {"summary", summary}});
    } else if (format_ == ResultFormat::JsonLines) {
        print_json(out_, Json{{"summary", summary}});
    } else {
        char secs[32];
        std::snprintf(secs, sizeof secs, "%.2f", seconds);
        out_ << c.boards << " board(s) in " << secs << " s: " << c.flashed << " flashed, " << c.failed
             << " failed" << (c.aborted ? ", " + std::to_string(c.aborted) + " aborted" : "") << '\n';
    }
    out_.flush();
}

// ---- the runs ----

namespace {
constexpr std::chrono::milliseconds kRedraw{200};

// Tells what the signals caught so far do to the boards in flight, once
// each: the first lets them finish, the second aborts them.
class StopWatch {
public:
    StopWatch(const std::atomic<int>& stop, Flasher& flasher, BoardDisplay& display, const char* first)
        : stop_(stop), flasher_(flasher), display_(display), first_(first) {}
    int poll() {
        const int n = stop_.load(std::memory_order_acquire);
        if (n >= 1 && seen_ < 1 && flasher_.running() > 0) {
            display_.notice(std::string(first_) +
                            "; the boards in flight go on (a second SIGINT or SIGTERM "
                            "aborts them)");
        }
        if (n >= 2 && seen_ < 2) {
            display_.notice("aborting the boards in flight");
            flasher_.abort();
        }
        seen_ = std::max(seen_, n);
        return n;
    }

private:
    const std::atomic<int>& stop_;
    Flasher& flasher_;
    BoardDisplay& display_;
    const char* first_;
    int seen_ = 0;
};

}  // namespace

std::vector<BoardResult> flash_boards(const std::vector<BoardEntry>& boards, const BoardJob& job,
                                      BoardDisplay& display, const std::atomic<int>& stop, NowFn now) {
    const SteadyTime started = now();
    Flasher flasher(job, now);
    StopWatch watch(stop, flasher, display, "stopping");
    for (const auto& b : boards) flasher.start(b);
    // The table keeps a row for every board, also once its job has ended.
    std::vector<BoardStatus> rows(boards.size());
    for (std::size_t i = 0; i < boards.size(); ++i) rows[i].board = boards[i];
    auto row_of = [&boards](const BoardEntry& b) {
        std::size_t i = 0;
        while (i + 1 < boards.size() && boards[i].path != b.path) ++i;
        return i;
    };
    std::vector<BoardResult> results(boards.size());
    std::size_t left = boards.size();
    while (left > 0) {
        watch.poll();
        flasher.wait_any(kRedraw);
        for (const auto& st : flasher.statuses()) rows[row_of(st.board)] = st;
        const auto ended = flasher.take_finished();
        for (const auto& r : ended) {
            BoardStatus& row = rows[row_of(r.board)];
            row.phase = r.phase;
            row.finished = true;
        }
        display.update(rows, flasher.take_events());
        for (const auto& r : ended) {
            results[row_of(r.board)] = r;
            display.result(r);
            --left;
        }
    }
    RunTally tally;
    for (const auto& r : results) tally.add(r);
    tally.interrupted = watch.poll() > 0;
    display.summary(tally, std::chrono::duration<double>(now() - started).count());
    return results;
}

RunTally run_station(const std::function<std::vector<BoardEntry>()>& scan, const BoardJob& job,
                     BoardDisplay& display, const std::function<void(const BoardResult&)>& record,
                     const std::atomic<int>& stop, const StationOptions& options, NowFn now,
                     const std::function<void(std::chrono::milliseconds)>& pause) {
    const SteadyTime started = now();
    Flasher flasher(job, now);
    StopWatch watch(stop, flasher, display, "stopping: no new board is taken");
    StationBook book;
    RunTally tally;
    std::size_t started_boards = 0;
    SteadyTime next_scan = started;
    for (;;) {
        const int stopping = watch.poll();
        const bool taking = stopping == 0 && (options.count == 0 || started_boards < options.count);
        if (taking && now() >= next_scan) {
            for (const auto& b : book.arrivals(scan())) {
                if (options.count != 0 && started_boards >= options.count) {
                    book.ended(board_key(b));  // not taken: this run is full
                    continue;
                }
                flasher.start(b);
                ++started_boards;
            }
            next_scan = now() + options.poll;
        }
        const bool idle = flasher.running() == 0;  // before the results: none is missed
        display.update({}, flasher.take_events());
        for (auto& r : flasher.take_finished()) {
            book.ended(board_key(r.board));
            display.result(r);
            if (record) record(r);
            tally.add(r);
        }
        if (idle && !taking) break;
        display.update(flasher.statuses(), {});
        if (flasher.running() > 0) {
            flasher.wait_any(kRedraw);
        } else {
            pause(kRedraw);
        }
    }
    tally.interrupted = watch.poll() > 0;
    display.summary(tally, std::chrono::duration<double>(now() - started).count());
    return tally;
}

}  // namespace dfuctl
