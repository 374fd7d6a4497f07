// SIGINT and SIGTERM in every phase a command can be in: the signal is
// raised for real (std::raise) at a virtual time of the simulated boards,
// and the command must end with 130, one JSON value, its --log line and no
// file left behind.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include <nlohmann/json.hpp>

#include "fake_board.hpp"
#include "firmware.hpp"
#include "helpers.hpp"
#include "interrupt.hpp"
#include "station.hpp"

namespace dfuctl {
namespace {

using testing::CommandRun;
using testing::FakeBus;
using testing::run_command;
using testing::TempDir;
using namespace std::chrono_literals;

// Raises `signal` once the bus's virtual clock reaches each of `times`.
void signal_at(FakeBus& bus, int signal, std::vector<std::chrono::milliseconds> times) {
    bus.on_tick = [&bus, signal, times, next = std::size_t{0}]() mutable {
        while (next < times.size() && bus.clock >= SteadyTime{} + times[next]) {
            ++next;
            std::raise(signal);
        }
    };
}

// A board that is being flashed as one of several: the real wait for its
// return (it never comes back), as the flash job runs it.
BoardResult waits_for_return(FakeBus& bus, JobContext& c) {
    c.report(BoardPhase::Reboot, 0, 0);
    BoardEntry before{"1-1", "abcdef01", 0, 1, 2};
    BoardResult r;
    r.message = wait_for_return(bus, before, GlobalOptions{}, 3600s);
    return r;
}

// The multi-board runs under the signal handling a command has.
CommandRun several(FakeBus& bus, ResultFormat format, bool station) {
    const StopSignals signals;
    const SecondSignalStops two;
    std::ostringstream out, err;
    const NowFn now = [] { return std::chrono::steady_clock::now(); };
    BoardDisplay display(DisplayMode::None, format, out, err, now);
    const BoardJob job = [&bus](const BoardEntry&, JobContext& c) { return waits_for_return(bus, c); };
    int status = 0;
    if (station) {
        StationOptions so;
        so.poll = 1ms;
        status = run_station(
                     [] {
                         return std::vector<BoardEntry>{{"1-1", "abcdef01", 0, 1, 2}};
                     },
                     job, display, nullptr, stop_requests(), so, now,
                     [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); })
                     .exit_code();
    } else {
        const auto results = flash_boards({{"1-1", "abcdef01", 0, 1, 2}}, job, display, stop_requests(), now);
        status = overall_exit(results, stop_requests().load() > 0);
    }
    return {status, out.str(), err.str()};
}

TEST(Interrupt, EveryCommandEndsWith130OneJsonValueALogLineAndNoFileLeft) {
    struct Case {
        const char* name;
        int signal;
        std::vector<std::chrono::milliseconds> at;  // virtual times of the signals
        std::function<CommandRun(FakeBus&, const std::string& dir, const std::string& log)> run;
        const char* message;  // of the failure (empty: a run of several boards)
    };
    auto command = [](std::vector<std::string> args, std::function<void(FakeBus&)> setup = nullptr) {
        return [args, setup](FakeBus& bus, const std::string& dir, const std::string& log) {
            if (setup) setup(bus);
            std::vector<std::string> words{"--json", "--log", log};
            for (const auto& a : args) words.push_back(a.rfind("@/", 0) == 0 ? dir + a.substr(1) : a);
            std::vector<const char*> argv;
            for (const auto& w : words) argv.push_back(w.c_str());
            return run_command(bus, argv);
        };
    };
    // The board sends 1 MiB a second, of 8.
    auto slow_download = [](FakeBus& bus) {
        for (int i = 0; i < 8; ++i) bus.boards[0].download.write_chunk(1 << 20, 1000ms);
    };
    auto hung_upload = [](FakeBus& bus) { bus.boards[0].upload.stop_reading_after(1); };
    const Case cases[] = {
        {"download into a file",
         SIGINT,
         {2500ms},
         command({"download", "@/out.bin"}, slow_download),
         "interrupted by SIGINT"},
        {"verify",
         SIGTERM,
         {2500ms},
         command({"verify", "@/image.bin"}, slow_download),
         "interrupted by SIGTERM"},
        {"upload",
         SIGTERM,
         {300ms},
         command({"upload", "@/image.bin"}, hung_upload),
         "interrupted by SIGTERM"},
        {"waiting for a board",
         SIGINT,
         {1000ms},
         command({"--wait", "--serial", "none", "info"}),
         "interrupted by SIGINT"},
        {"flash waiting for the board's return",
         SIGINT,
         {5000ms},
         command({"--wait=60", "flash", "--reboot", "@/image.bin"},
                 [](FakeBus& bus) {
                     bus.boards[0].download.write_chunk(8 << 20);
                     bus.boards[0].reboot_time = 3600s;
                 }),
         "interrupted by SIGINT"},
        // Several boards: the first signal lets the board go on, the second
        // aborts it, also while it waits for its return.
        {"flash --all waiting for a board's return",
         SIGINT,
         {1000ms, 2000ms},
         [](FakeBus& bus, auto&, auto&) { return several(bus, ResultFormat::JsonObject, false); },
         ""},
        {"station",
         SIGTERM,
         {1000ms, 2000ms},
         [](FakeBus& bus, auto&, auto&) { return several(bus, ResultFormat::JsonLines, true); },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBus bus;
        bus.add("abcdef01");
        signal_at(bus, c.signal, c.at);
        TempDir dir;
        // What the board sends back, so that a flash matches.
        std::vector<std::uint8_t> image(8 << 20);
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = testing::DownloadBoard::byte_at(i);
        dir.write("image.bin", image);
        TempDir logs;
        const std::string log = logs.file("log");
        const CommandRun r = c.run(bus, dir.file(""), log);
        EXPECT_EQ(r.status, 130) << r.err;
        // Nothing but the input image is left; no temporary file.
        EXPECT_EQ(dir.names(), std::vector<std::string>{"image.bin"});
        if (*c.message == '\0') {
            // Several boards: the aborted board, and the run's status in the summary.
            // flash: one value; station: JSON lines, the summary last.
            const auto j = nlohmann::json::parse(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1));
            EXPECT_EQ(j["summary"]["aborted"], 1) << r.out;
            EXPECT_EQ(j["summary"]["exit_code"], 130) << r.out;
            EXPECT_NE(r.err.find("aborting the boards in flight"), std::string::npos) << r.err;
            continue;
        }
        const auto j = nlohmann::json::parse(r.out);  // exactly one value
        const auto& error = j.contains("error") ? j["error"] : j;
        EXPECT_EQ(error["exit"], 130) << r.out;
        EXPECT_EQ(error["message"], c.message) << r.out;
        EXPECT_NE(r.err.find(std::string("dfuctl: ") + c.message), std::string::npos) << r.err;
        std::ifstream in(log);
        std::string line, more;
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_FALSE(std::getline(in, more)) << "a second log line: " << more;
        const auto entry = nlohmann::json::parse(line);
        EXPECT_EQ(entry["result"], "interrupted");
        EXPECT_EQ(entry["exit"], 130);
    }
}

}  // namespace
}  // namespace dfuctl
