// The real seam's board-tool primitive: a time limit that ends a hung tool
// together with everything it started.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "os.h"

namespace {

using std::chrono::steady_clock;

// Reads the whole stream.
std::string drain(FILE* stream) {
    std::string text;
    char buf[256];
    while (std::fgets(buf, sizeof buf, stream) != nullptr) text += buf;
    return text;
}

double seconds_since(steady_clock::time_point start) {
    return std::chrono::duration<double>(steady_clock::now() - start).count();
}

TEST(ToolLimit, OutputAndStatusOfATimelyTool) {
    FILE* tool = os_real.tool_open("echo one; echo two; exit 3", 5000);
    ASSERT_NE(tool, nullptr);
    EXPECT_EQ(drain(tool), "one\ntwo\n");
    const int status = os_real.tool_close(tool);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(WEXITSTATUS(os_real.tool_run("exit 4", 5000)), 4);
}

TEST(ToolLimit, AHungToolIsKilledWithItsProcessGroup) {
    // The shell prints its pid (its process group) and leaves a child that
    // would outlive it; both must be gone once the limit has passed.
    struct Case {
        const char* command;
        bool with_output;  // read through a stream, or run on the console
    };
    const Case cases[] = {{"echo $$; sleep 30 & sleep 30; echo never", true}, {"sleep 30 & sleep 30", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const auto start = steady_clock::now();
        int status;
        pid_t group = 0;
        if (c.with_output) {
            FILE* tool = os_real.tool_open(c.command, 300);
            ASSERT_NE(tool, nullptr);
            const std::string out = drain(tool);
            group = static_cast<pid_t>(std::stol(out));
            EXPECT_EQ(out.find("never"), std::string::npos);
            status = os_real.tool_close(tool);
        } else {
            status = os_real.tool_run(c.command, 300);
        }
        const int err = errno;
        EXPECT_EQ(status, -1);
        EXPECT_EQ(err, ETIMEDOUT);
        EXPECT_LT(seconds_since(start), 5.0);
        if (group > 0) {
            // Reaped: the group's processes are gone (the background sleep
            // is reparented and reaped by init, which may take a moment).
            bool gone = false;
            for (int i = 0; i < 200 && !gone; ++i) {
                gone = ::kill(-group, 0) != 0 && errno == ESRCH;
                if (!gone) ::usleep(10000);
            }
            EXPECT_TRUE(gone) << "process group " << group << " still has members";
        }
    }
}

}  // namespace
