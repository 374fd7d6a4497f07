// The multi-board commands on real boards: each board's job opens a libusb
// context of its own, so that no libusb state is shared between threads.
#include <unistd.h>

#include <ostream>

#include "files.hpp"
#include "firmware.hpp"
#include "image_source.hpp"
#include "interrupt.hpp"
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
    fo.transfer_size = kSharedBusTransferSize;
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

// The exit status of a run of several boards; a signal's also in the
// command's --log line.
int run_status(RunTally tally) {
    tally.interrupted = stop_requests().load() > 0;
    if (tally.interrupted) command_record().failure = interruption_message();
    return tally.exit_code();
}

}  // namespace

Bus& wait_for_boards(Bus& bus, const GlobalOptions& g) {
    if (!g.wait_seconds) return bus;
    const bool forever = *g.wait_seconds == 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(*g.wait_seconds);
    const bool serials = g.selector.serial.has_value() || !g.serials.empty();
    // A host that has just started may not show its USB buses yet (a
    // controller driver still loading): that is waited out like a board
    // that has not appeared, and told if it lasts.
    std::optional<NoUsbAccess> no_usb;
    for (;;) {
        check_interrupted();
        Bus& look = bus.fresh();
        std::vector<BoardEntry> boards;
        try {
            boards = look.scan(serials);
            no_usb.reset();
        } catch (const NoUsbAccess& f) {
            no_usb = f;
        }
        bool ok = false;
        if (!g.serials.empty() || !g.paths.empty()) {
            Invocation inv;
            inv.global = g;
            std::string missing;
            ok = !named_boards(boards, inv, missing).empty();
        } else {
            for (const auto& b : boards) ok = ok || matches(b, g);
        }
        if (ok) return look;
        if (!forever && std::chrono::steady_clock::now() >= deadline) {
            if (no_usb) throw *no_usb;
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
    const SecondSignalStops two_signals;
    const NowFn now = [&bus] { return bus.now(); };
    BoardDisplay display(display_mode(inv.global),
                         inv.global.json ? ResultFormat::JsonObject : ResultFormat::Text, out, err, now);
    const auto results = flash_boards(
        boards, [&](const BoardEntry& b, JobContext& c) { return flash_job(inv, image, b, c); }, display,
        stop_requests(), now);
    RunTally tally;
    for (const auto& r : results) {
        log.append(r, err);
        tally.add(r);
    }
    return run_status(tally);
}

int station(Bus& bus, const Invocation& inv, std::ostream& out, std::ostream& err) {
    const SharedImage image(inv.file, inv.raw);
    BoardLog log(inv.global.log_file);
    const SecondSignalStops two_signals;
    const NowFn now = [&bus] { return bus.now(); };
    BoardDisplay display(display_mode(inv.global),
                         inv.global.json ? ResultFormat::JsonLines : ResultFormat::Text, out, err, now);
    StationOptions so;
    so.count = inv.count;
    const RunTally tally =
        // Boards plugged in later show only on a fresh bus: see Bus::fresh.
        run_station([&bus] { return bus.fresh().scan(true); },
                    [&](const BoardEntry& b, JobContext& c) { return flash_job(inv, image, b, c); }, display,
                    [&](const BoardResult& r) { log.append(r, err); }, stop_requests(), so, now,
                    [&bus](std::chrono::milliseconds d) { bus.pause(d); });
    return run_status(tally);
}

}  // namespace dfuctl
