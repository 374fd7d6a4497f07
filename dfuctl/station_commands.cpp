// The multi-board commands on real boards: each board's job opens a libusb
// context of its own, so that no libusb state is shared between threads.
#include <unistd.h>

#include <csignal>
#include <ostream>

#include "files.hpp"
#include "firmware.hpp"
#include "image_source.hpp"
#include "log.hpp"
#include "session.hpp"
#include "shared_image.hpp"
#include "station.hpp"
#include "usb.hpp"

namespace dfuctl {
namespace {

constexpr std::chrono::milliseconds kRescan{250};

bool matches(const BoardEntry& b, const GlobalOptions& g) {
    if (g.selector.serial && b.serial != g.selector.serial) return false;
    if (g.selector.path && b.path != *g.selector.path) return false;
    return true;
}

// The boards that several --serial/--path or --all name; empty while one
// of the named boards is missing.
std::vector<BoardEntry> named_boards(const std::vector<BoardEntry>& attached, const Invocation& inv,
                                     std::string& missing) {
    if (inv.all) return attached;
    std::vector<BoardEntry> picked;
    auto add = [&](const BoardEntry& b) {
        for (const auto& p : picked) {
            if (p.path == b.path) return;
        }
        picked.push_back(b);
    };
    for (const auto& serial : inv.global.serials) {
        const BoardEntry* found = nullptr;
        for (const auto& b : attached) {
            if (b.serial == serial) found = &b;
        }
        if (!found) {
            missing = "serial " + serial;
            return {};
        }
        add(*found);
    }
    for (const auto& path : inv.global.paths) {
        const BoardEntry* found = nullptr;
        for (const auto& b : attached) {
            if (b.path == path) found = &b;
        }
        if (!found) {
            missing = "path " + path;
            return {};
        }
        add(*found);
    }
    return picked;
}

DisplayMode display_mode(const GlobalOptions& g) {
    if (g.quiet) return DisplayMode::None;
    return ::isatty(STDERR_FILENO) == 1 ? DisplayMode::Table : DisplayMode::Lines;
}

// The single-board transaction (flash_image, then the wait for the board's
// return) on one board of the list, with its own pass over the image.
BoardResult flash_job(const Invocation& inv, const SharedImage& shared, const BoardEntry& want,
                      JobContext& context) {
    usb::LibusbBus bus(inv.global.timeout_ms, inv.global.verbose);
    context.report(BoardPhase::Waiting, 0, 0);
    const auto image = shared.reader([&context] { return context.aborted(); });
    std::optional<BoardEntry> entry;
    for (const auto& b : bus.scan(want.serial.has_value())) {
        if (b.path == want.path && b.serial == want.serial) entry = b;
    }
    if (!entry) throw Failure(Exit::Vanished, board_label(want) + " vanished before its flash began");
    Session s(bus.open(*entry), *entry, inv.global);
    FlashOptions fo;
    fo.reboot = inv.reboot;
    fo.idle = std::chrono::milliseconds(inv.idle_ms);
    fo.progress = [&context](FlashStage stage, std::uint64_t done, std::optional<std::uint64_t> total) {
        context.report(stage == FlashStage::Upload ? BoardPhase::Upload : BoardPhase::ReadBack, done,
                       total.value_or(0));
    };
    const FlashResult r = flash_image(s, *image, fo);
    if (!r.match) {
        throw Failure(Exit::Mismatch,
                      r.read_back < r.bytes
                          ? "the board sent back " + std::to_string(r.read_back) + " of " +
                                std::to_string(r.bytes) + " bytes"
                          : "the board's image differs after the upload (sha256 " + r.sha256_board + ")");
    }
    BoardResult out;
    out.bytes = r.bytes;
    out.sha256 = r.sha256_board;
    if (r.rebooted && inv.wait_seconds > 0) {
        context.report(BoardPhase::Reboot, 0, 0);
        out.message = "back with version " +
                      wait_for_return(bus, *entry, inv.global, std::chrono::seconds(inv.wait_seconds));
    } else if (r.rebooted) {
        out.message = "rebooting";
    }
    return out;
}

// SIGINT and SIGTERM during a station run: the first stops taking boards,
// the second aborts the transfers in flight.
std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free);
extern "C" void on_stop_signal(int) { g_stop.fetch_add(1, std::memory_order_acq_rel); }

#if defined(_WIN32)
// Windows has no sigaction; the C handlers do for SIGINT (Ctrl-C) and SIGTERM.
class StopSignals {
public:
    StopSignals() {
        g_stop.store(0);
        old_int_ = std::signal(SIGINT, on_stop_signal);
        old_term_ = std::signal(SIGTERM, on_stop_signal);
    }
    ~StopSignals() {
        std::signal(SIGINT, old_int_);
        std::signal(SIGTERM, old_term_);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    void (*old_int_)(int) = SIG_DFL;
    void (*old_term_)(int) = SIG_DFL;
};
#else
class StopSignals {
public:
    StopSignals() {
        g_stop.store(0);
        struct sigaction sa {};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int_);
        sigaction(SIGTERM, &sa, &old_term_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};
#endif

// --log: one line per board besides the command's own.
class BoardLog {
public:
    explicit BoardLog(const std::string& path) : log_(path) {}
    void append(const BoardResult& r, std::ostream& err) {
        CommandRecord rec{"flash", r.board.serial, r.board.path, std::nullopt, std::nullopt, {}};
        if (r.phase == BoardPhase::Flashed) {
            rec.bytes = r.bytes;
            rec.sha256 = r.sha256;
        }
        log_.append(rec, static_cast<int>(r.code), r.message, err);
    }

private:
    CommandLog log_;
};

}  // namespace

void wait_for_boards(Bus& bus, const GlobalOptions& g) {
    if (!g.wait_seconds) return;
    const bool forever = *g.wait_seconds == 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(*g.wait_seconds);
    const bool serials = g.selector.serial.has_value() || !g.serials.empty();
    for (;;) {
        const auto boards = bus.fresh().scan(serials);
        bool ok = false;
        if (!g.serials.empty() || !g.paths.empty()) {
            Invocation inv;
            inv.global = g;
            std::string missing;
            ok = !named_boards(boards, inv, missing).empty();
        } else {
            for (const auto& b : boards) ok = ok || matches(b, g);
        }
        if (ok) return;
        if (!forever && std::chrono::steady_clock::now() >= deadline) {
            throw Failure(Exit::NoBoard,
                          "no matching board appeared within " + std::to_string(*g.wait_seconds) + " s");
        }
        bus.pause(kRescan);
    }
}

int flash_several(Bus& bus, const Invocation& inv, std::ostream& out, std::ostream& err) {
    // Opened first: an image that cannot be read fails once, not on every board.
    const SharedImage image(inv.file, inv.raw);
    BoardLog log(inv.global.log_file);
    const auto attached = bus.scan(true);
    std::string missing;
    const auto boards = named_boards(attached, inv, missing);
    if (!missing.empty()) throw Failure(Exit::NoBoard, "no board with " + missing);
    if (boards.empty()) throw Failure(Exit::NoBoard, "no board attached");
    const NowFn now = [&bus] { return bus.now(); };
    BoardDisplay display(display_mode(inv.global), inv.global.json, out, err, now);
    const auto results = flash_boards(
        boards, [&](const BoardEntry& b, JobContext& c) { return flash_job(inv, image, b, c); }, display,
        now);
    for (const auto& r : results) log.append(r, err);
    return overall_exit(results);
}

int station(Bus& bus, const Invocation& inv, std::ostream& out, std::ostream& err) {
    const SharedImage image(inv.file, inv.raw);
    BoardLog log(inv.global.log_file);
    const StopSignals signals;
    const NowFn now = [&bus] { return bus.now(); };
    BoardDisplay display(display_mode(inv.global), inv.global.json, out, err, now);
    StationOptions so;
    so.count = inv.count;
    const RunTally tally =
        // Boards plugged in later show only on a fresh bus: see Bus::fresh.
        run_station([&bus] { return bus.fresh().scan(true); },
                    [&](const BoardEntry& b, JobContext& c) { return flash_job(inv, image, b, c); }, display,
                    [&](const BoardResult& r) { log.append(r, err); }, g_stop, so, now,
                    [&bus](std::chrono::milliseconds d) { bus.pause(d); });
    return tally.boards == 0 ? 0 : tally.exit_code();
}

}  // namespace dfuctl
