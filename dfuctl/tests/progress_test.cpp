// Progress texts and the terminal meter.
#include "progress.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace dfuctl {
namespace {

using namespace std::chrono_literals;

TEST(Eta, MinutesAndHours) {
    EXPECT_EQ(format_eta(0), "0:00");
    EXPECT_EQ(format_eta(0.4), "0:00");
    EXPECT_EQ(format_eta(59.6), "1:00");
    EXPECT_EQ(format_eta(61), "1:01");
    EXPECT_EQ(format_eta(3599), "59:59");
    EXPECT_EQ(format_eta(3600), "1:00:00");
    EXPECT_EQ(format_eta(36000 + 62), "10:01:02");
}

TEST(Eta, UnknownWhenNoRate) {
    EXPECT_EQ(format_eta(NAN), "--:--");
    EXPECT_EQ(format_eta(INFINITY), "--:--");
    EXPECT_EQ(format_eta(-1), "--:--");
    EXPECT_EQ(format_eta(1e12), "--:--");
}

TEST(Rate, DecimalMegabytes) {
    EXPECT_DOUBLE_EQ(megabytes_per_second(10'000'000, 2.0), 5.0);
    EXPECT_DOUBLE_EQ(megabytes_per_second(100, 0.0), 0.0);
    EXPECT_EQ(format_rate(8.52), "8.5 MB/s");
    EXPECT_EQ(format_rate(0), "0.0 MB/s");
}

TEST(Summary, TheFinalLine) {
    EXPECT_EQ(format_summary("uploaded", 10485767, 1.23), "uploaded 10485767 bytes in 1.23 s (8.5 MB/s)");
    EXPECT_EQ(format_summary("downloaded", 0, 0.0), "downloaded 0 bytes in 0.00 s (0.0 MB/s)");
}

TEST(ProgressLine, WithAndWithoutTotal) {
    EXPECT_EQ(format_progress(50'000'000, 100'000'000, 2.0),
              "50000000/100000000 bytes  50.0%  25.0 MB/s  ETA 0:02");
    EXPECT_EQ(format_progress(0, 100, 0.0), "0/100 bytes  0.0%  0.0 MB/s  ETA --:--");
    EXPECT_EQ(format_progress(100, 100, 1.0), "100/100 bytes  100.0%  0.0 MB/s  ETA 0:00");
    EXPECT_EQ(format_progress(3'000'000, std::nullopt, 1.0), "3000000 bytes  3.0 MB/s");
    EXPECT_EQ(format_progress(0, 0, 1.0), "0/0 bytes  100.0%  0.0 MB/s  ETA 0:00");
}

struct FakeClock {
    SteadyTime t{};
    NowFn fn() {
        return [this] { return t; };
    }
};

TEST(Meter, SilentWhenNotLive) {
    std::ostringstream out;
    FakeClock clock;
    {
        ProgressMeter m(false, out, 100, clock.fn());
        m.update(10);
        clock.t += 1s;
        m.update(50);
        m.finish(100);
    }
    EXPECT_EQ(out.str(), "");
}

TEST(Meter, RedrawsOneLineAtMostEvery200ms) {
    std::ostringstream out;
    FakeClock clock;
    ProgressMeter m(true, out, 1'000'000, clock.fn());
    m.update(1);  // first draw
    clock.t += 100ms;
    m.update(2);  // too soon
    clock.t += 150ms;
    m.update(500'000);
    m.finish(1'000'000);
    const std::string s = out.str();
    EXPECT_EQ(std::count(s.begin(), s.end(), '\r'), 3);
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 1);
    EXPECT_EQ(s.back(), '\n');
    EXPECT_EQ(s.find("2/1000000"), std::string::npos);
    EXPECT_NE(s.find("1000000/1000000 bytes  100.0%"), std::string::npos);
}

// A program reads whole lines: one object each, no terminal control, at a
// bounded rate and always one at the end.
TEST(Meter, JsonLinesAtMostEveryHalfSecond) {
    std::ostringstream out;
    FakeClock clock;
    ProgressMeter m(ProgressStyle::Json, out, std::nullopt, clock.fn(), {"upload", "1-1", "abcdef01"});
    m.update(0);  // first line
    for (int i = 1; i <= 10; ++i) {
        clock.t += 100ms;
        m.update(static_cast<std::uint64_t>(i) * 100'000);
    }
    m.finish(2'000'000);
    EXPECT_EQ(out.str(),
              "{\"phase\":\"upload\",\"board\":\"1-1\",\"serial\":\"abcdef01\",\"bytes\":0,\"total\":null,"
              "\"rate\":0.0}\n"
              "{\"phase\":\"upload\",\"board\":\"1-1\",\"serial\":\"abcdef01\",\"bytes\":500000,"
              "\"total\":null,\"rate\":1000000.0}\n"
              "{\"phase\":\"upload\",\"board\":\"1-1\",\"serial\":\"abcdef01\",\"bytes\":1000000,"
              "\"total\":null,\"rate\":1000000.0}\n"
              "{\"phase\":\"upload\",\"board\":\"1-1\",\"serial\":\"abcdef01\",\"bytes\":2000000,"
              "\"total\":null,\"rate\":2000000.0}\n");
}

TEST(Meter, ShorterLineBlanksTheRestOfTheLongerOne) {
    std::ostringstream out;
    FakeClock clock;
    ProgressMeter m(true, out, std::nullopt, clock.fn());
    clock.t += 1s;
    m.update(123456789);
    clock.t += 10s;
    m.finish(5);
    const std::string s = out.str();
    const std::string first = s.substr(1, s.find('\r', 1) - 1);
    const std::string second = s.substr(s.find('\r', 1) + 1);
    EXPECT_EQ(second.size(), first.size() + 1);  // padded, plus the newline
}

TEST(Meter, FailedTransferLeavesNoOpenLine) {
    std::ostringstream out;
    FakeClock clock;
    {
        ProgressMeter m(true, out, 100, clock.fn());
        m.update(10);
    }
    EXPECT_EQ(out.str().back(), '\n');
}

TEST(Meter, SecondsCountFromStart) {
    std::ostringstream out;
    FakeClock clock;
    ProgressMeter m(false, out, 100, clock.fn());
    clock.t += 5s;
    m.start();
    clock.t += 1500ms;
    EXPECT_DOUBLE_EQ(m.seconds(), 1.5);
}

}  // namespace
}  // namespace dfuctl
