// Several boards at once and the station loop, with simulated boards: the
// jobs stand for the flash transaction and fail, vanish or reboot on cue.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "station.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocator counts what it hands out (their runtime exports it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace dfuctl {
namespace {

BoardEntry board(const std::string& serial, const std::string& path) {
    BoardEntry b;
    b.serial = serial;
    b.path = path;
    return b;
}

NowFn steady() {
    return [] { return std::chrono::steady_clock::now(); };
}

// Every job waits here until all `n` have started, so the run only ends
// when the boards are flashed at the same time (one at a time, the first
// would give up and fail).
class StartLine {
public:
    explicit StartLine(std::size_t n) : left_(n) {}
    void arrive() {
        std::unique_lock lock(mutex_);
        if (--left_ == 0) all_.notify_all();
        if (!all_.wait_for(lock, std::chrono::seconds(10), [this] { return left_ == 0; })) {
            throw Failure(Exit::Internal, "the boards were not flashed at the same time");
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable all_;
    std::size_t left_;
};

// The simulated transaction: what each serial number does.
enum class Fate { Flashes, Refuses, Vanishes, Reboots };

BoardResult simulated(Fate fate, JobContext& c, StartLine* line = nullptr) {
    if (line) line->arrive();
    c.report(BoardPhase::Upload, 0, 1000);
    c.report(BoardPhase::Upload, 500, 1000);
    if (fate == Fate::Refuses) throw Failure(Exit::NotStored, "it refused the data after 500 bytes");
    if (fate == Fate::Vanishes) throw Failure(Exit::Vanished, "the board vanished");
    c.report(BoardPhase::ReadBack, 1000, 1000);
    BoardResult r;
    r.bytes = 1000;
    r.sha256 = "ab12";
    if (fate == Fate::Reboots) {
        c.report(BoardPhase::Reboot, 0, 0);
        r.message = "back with version v1.4";
    }
    return r;
}

TEST(Station, EachBoardGetsItsOwnResultAndOneFailureFailsAlone) {
    const std::vector<BoardEntry> boards{board("a1", "1-1"), board("b2", "1-2"), board("c3", "1-3"),
                                         board("d4", "1-4")};
    const std::map<std::string, Fate> fates{
        {"a1", Fate::Flashes}, {"b2", Fate::Refuses}, {"c3", Fate::Vanishes}, {"d4", Fate::Reboots}};
    StartLine line(boards.size());
    std::ostringstream out, err;
    BoardDisplay display(DisplayMode::Lines, ResultFormat::JsonObject, out, err, steady());
    const std::atomic<int> no_signal{0};
    const auto results = flash_boards(
        boards, [&](const BoardEntry& b, JobContext& c) { return simulated(fates.at(*b.serial), c, &line); },
        display, no_signal, steady());

    struct Want {
        BoardPhase phase;
        Exit code;
        const char* message;
    };
    const Want want[] = {{BoardPhase::Flashed, Exit::Ok, ""},
                         {BoardPhase::Failed, Exit::NotStored, "it refused the data after 500 bytes"},
                         {BoardPhase::Failed, Exit::Vanished, "the board vanished"},
                         {BoardPhase::Flashed, Exit::Ok, "back with version v1.4"}};
    ASSERT_EQ(results.size(), boards.size());
    for (std::size_t i = 0; i < boards.size(); ++i) {
        SCOPED_TRACE(boards[i].path);
        EXPECT_EQ(results[i].board.path, boards[i].path);
        EXPECT_EQ(results[i].phase, want[i].phase);
        EXPECT_EQ(results[i].code, want[i].code);
        EXPECT_EQ(results[i].message, want[i].message);
    }
    // The first failed board in the list gives the exit status.
    EXPECT_EQ(overall_exit(results), static_cast<int>(Exit::NotStored));

    // --json: one value, the boards (in the order they ended) and the summary.
    const auto j = nlohmann::json::parse(out.str());  // throws on a second value
    std::map<std::string, nlohmann::json> by_serial;
    for (const auto& b : j["boards"]) by_serial[b["serial"]] = b;
    const nlohmann::json summary = j["summary"];
    ASSERT_EQ(by_serial.size(), 4u);
    EXPECT_EQ(by_serial["a1"]["result"], "flashed");
    EXPECT_EQ(by_serial["a1"]["bytes"], 1000);
    EXPECT_EQ(by_serial["a1"]["sha256"], "ab12");
    EXPECT_EQ(by_serial["c3"]["result"], "failed");
    EXPECT_EQ(by_serial["c3"]["exit_code"], 74);
    EXPECT_EQ(by_serial["c3"]["message"], "the board vanished");
    EXPECT_EQ(summary["flashed"], 2);
    EXPECT_EQ(summary["failed"], 2);
    EXPECT_EQ(summary["exit_code"], 79);
    // Without a terminal: plain lines per board event.
    EXPECT_NE(err.str().find("a1 1-1: upload\n"), std::string::npos) << err.str();
}

TEST(Station, BookFlashesABoardOncePerPlugging) {
    // Each step: the boards on the bus, the job that ended before the scan,
    // and the boards the station must start.
    struct Step {
        std::vector<BoardEntry> attached;
        const char* ended;
        std::vector<std::string> start;
    };
    const auto a = board("a1", "1-1");
    const auto b = board("b2", "1-2");
    BoardEntry no_serial;
    no_serial.path = "1-3";
    const Step steps[] = {
        {{a}, nullptr, {"a1"}},                            // plugged in
        {{a, b}, nullptr, {"b2"}},                         // a runs; b arrives
        {{b}, nullptr, {}},                                // a reboots: gone while its job runs
        {{a, b}, nullptr, {}},                             // a is back, still its job
        {{a, b}, "a1", {}},                                // a done: not again while plugged
        {{b}, nullptr, {}},                                // a unplugged
        {{a, b, no_serial}, nullptr, {"a1", "path 1-3"}},  // a plugged again; a board without serial
        {{a, b, no_serial}, "b2", {}},
    };
    StationBook book;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        if (steps[i].ended) book.ended(steps[i].ended);
        std::vector<std::string> started;
        for (const auto& s : book.arrivals(steps[i].attached)) started.push_back(board_key(s));
        EXPECT_EQ(started, steps[i].start);
    }
    EXPECT_EQ(book.in_flight(), 2u);  // a again, and the board without serial
}

TEST(Station, LoopFlashesEachPluggedBoardOnceThenStopsOrAborts) {
    // Boards are plugged one after another; one reboots (leaves the bus
    // while its job runs), and the run stops after --count 3.
    std::mutex mutex;
    std::vector<std::vector<BoardEntry>> plan{
        {board("a1", "1-1")},
        {board("a1", "1-1"), board("b2", "1-2")},
        {board("b2", "1-2")},  // a1 rebooting
        {board("a1", "1-1"), board("b2", "1-2"), board("c3", "1-3")},
    };
    std::size_t scans = 0;
    auto scan = [&] {
        const std::lock_guard lock(mutex);
        return plan[std::min(scans++, plan.size() - 1)];
    };
    std::map<std::string, int> runs;
    auto job = [&](const BoardEntry& b, JobContext& c) {
        {
            const std::lock_guard lock(mutex);
            ++runs[*b.serial];
        }
        if (*b.serial == "a1") {
            // Its transaction waits for the rebooted board's return.
            for (;;) {
                {
                    const std::lock_guard lock(mutex);
                    if (scans >= plan.size()) break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return simulated(*b.serial == "b2" ? Fate::Refuses : Fate::Reboots, c);
    };
    std::vector<std::string> recorded;
    std::ostringstream out, err;
    BoardDisplay display(DisplayMode::None, ResultFormat::Text, out, err, steady());
    std::atomic<int> stop{0};
    StationOptions options;
    options.count = 3;
    options.poll = std::chrono::milliseconds(1);
    const RunTally tally = run_station(
        scan, job, display, [&](const BoardResult& r) { recorded.push_back(*r.board.serial); }, stop, options,
        steady(), [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); });

    EXPECT_EQ(runs, (std::map<std::string, int>{{"a1", 1}, {"b2", 1}, {"c3", 1}}));
    EXPECT_EQ(tally.boards, 3u);
    EXPECT_EQ(recorded.size(), 3u);
    EXPECT_EQ(tally.exit_code(), static_cast<int>(Exit::NotStored));
    EXPECT_NE(out.str().find("b2 1-2: FAILED (79): it refused the data after 500 bytes"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("3 board(s) in "), std::string::npos);
    EXPECT_NE(out.str().find(": 2 flashed, 1 failed"), std::string::npos);

    // A second signal aborts a board in flight; the summary counts it.
    std::atomic<bool> in_job{false};
    auto slow = [&](const BoardEntry&, JobContext& c) -> BoardResult {
        in_job = true;
        for (;;) {
            c.report(BoardPhase::Upload, 1, 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    std::atomic<int> stop2{0};
    std::thread signaller([&] {
        while (!in_job) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stop2 = 2;
    });
    std::ostringstream out2;
    BoardDisplay display2(DisplayMode::None, ResultFormat::Text, out2, err, steady());
    StationOptions forever;
    forever.poll = std::chrono::milliseconds(1);
    const RunTally aborted = run_station([] { return std::vector<BoardEntry>{board("a1", "1-1")}; }, slow,
                                     display2, nullptr, stop2, forever, steady(),
                                     [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); });
    signaller.join();
    EXPECT_EQ(aborted.boards, 1u);
    EXPECT_EQ(aborted.aborted, 1u);
    EXPECT_EQ(aborted.exit_code(), static_cast<int>(Exit::Aborted));
    EXPECT_NE(out2.str().find("a1 1-1: ABORTED"), std::string::npos) << out2.str();
}

// What the process holds, where the system shows it: heap bytes in use
// (the sanitizers' allocator or glibc's), threads (Linux's task list) and
// address space (thread stacks that are never joined stay mapped).
struct Footprint {
    std::size_t heap = 0, threads = 0, mapped_pages = 0;
};
std::optional<Footprint> footprint() {
    Footprint f;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    f.heap = __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
    f.heap = mallinfo2().uordblks;
#else
    return std::nullopt;
#endif
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; ++it)
        ++f.threads;
    std::ifstream("/proc/self/statm") >> f.mapped_pages;
    if (f.threads == 0 || f.mapped_pages == 0) return std::nullopt;
    return f;
}

TEST(Station, AShiftOfTenThousandBoardsKeepsThreadsAndMemoryFlat) {
    constexpr std::size_t kBoards = 10000, kPerScan = 8, kWarmUp = 1000;
    if (!footprint()) GTEST_SKIP() << "no heap or thread counts on this system";
    // Each scan plugs in the next few boards once the last ones are done
    // (and unplugged), and looks at the process between the two.
    std::atomic<std::size_t> recorded{0};
    std::size_t plugged = 0;
    std::optional<Footprint> warm, last;
    auto scan = [&] {
        std::vector<BoardEntry> v;
        if (recorded != plugged) return v;
        last = footprint();
        if (plugged == kWarmUp) warm = last;
        for (std::size_t i = 0; i < kPerScan && plugged < kBoards; ++i, ++plugged)
            v.push_back(board("s" + std::to_string(plugged), "1-" + std::to_string(plugged)));
        return v;
    };
    std::ostream discard(nullptr);
    BoardDisplay display(DisplayMode::Lines, ResultFormat::JsonLines, discard, discard, steady());
    std::atomic<int> stop{0};
    StationOptions options;
    options.count = kBoards;
    options.poll = std::chrono::milliseconds(0);
    const RunTally tally = run_station(
        scan, [](const BoardEntry&, JobContext& c) { return simulated(Fate::Flashes, c); }, display,
        [&](const BoardResult&) { ++recorded; }, stop, options, steady(), [](std::chrono::milliseconds) {});

    EXPECT_EQ(tally.flashed, kBoards);
    EXPECT_EQ(recorded, kBoards);
    ASSERT_TRUE(warm && last);
    // 9,000 boards later, with none in flight: the same threads, and no
    // slot, result or thread stack kept per board (hundreds of bytes of
    // heap each, or 8 MiB of address space for a thread never joined: some
    // 70 GiB). glibc may reserve a 64 MiB malloc arena for a thread that
    // allocates while others do, and does so once per arena, not per board.
    EXPECT_EQ(last->threads, warm->threads);
    const auto grown = [](std::size_t before, std::size_t after) { return after > before ? after - before : 0; };
    EXPECT_LT(grown(warm->heap, last->heap), std::size_t{64} << 10);
    EXPECT_LT(grown(warm->mapped_pages, last->mapped_pages) * 4096, std::size_t{1} << 30);
}

TEST(Station, TableRowShowsPhasePercentAndRate) {
    BoardStatus s;
    s.board = board("cafe0001", "1-1");
    s.phase = BoardPhase::Upload;
    s.done = 5000000;
    s.total = 10000000;
    s.phase_started = SteadyTime{};
    EXPECT_EQ(format_board_row(s, SteadyTime{} + std::chrono::seconds(1)),
              "cafe0001          1-1         upload      50.0%      5.0 MB/s");
    s.phase = BoardPhase::Reboot;
    EXPECT_EQ(format_board_row(s, SteadyTime{}), "cafe0001          1-1         reboot");
}

}  // namespace
}  // namespace dfuctl
