// The board tools' time limit with real processes: a tool ends at its limit
// together with everything it started, whether it falls silent or prints
// without end.
#include "tool.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "os.h"

namespace {

using std::chrono::steady_clock;

// The first line of a stream (the tool's pid, where it prints one), then the
// rest read to the end and only counted: an endless tool's output is large.
std::string first_line_of(FILE* stream, size_t* rest = nullptr) {
    char buf[4096];
    const std::string first = std::fgets(buf, sizeof buf, stream) != nullptr ? buf : "";
    size_t n = 0;
    for (size_t got; (got = std::fread(buf, 1, sizeof buf, stream)) > 0;) n += got;
    if (rest != nullptr) *rest = n;
    return first;
}

double seconds_since(steady_clock::time_point start) {
    return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// True once no process of `group` is left. Orphans of the group come to this
// process (a subreaper), which reaps them here.
bool group_gone(pid_t group) {
    for (int i = 0; i < 300; ++i) {
        while (::waitpid(-group, nullptr, WNOHANG) > 0) {
        }
        if (::kill(-group, 0) != 0 && errno == ESRCH) return true;
        ::usleep(10000);
    }
    return false;
}

TEST(ToolLimit, OutputAndStatusOfATimelyTool) {
    FILE* tool = tool_open("echo one; echo two; exit 3", 5000);
    ASSERT_NE(tool, nullptr);
    size_t rest = 0;
    EXPECT_EQ(first_line_of(tool, &rest), "one\n");
    EXPECT_EQ(rest, 4u);
    const int status = tool_close(tool);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(WEXITSTATUS(tool_run("exit 4", 5000)), 4);
}

TEST(ToolLimit, ToolsEndAtTheirLimitWithTheirProcessGroup) {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    char pid_file[] = "/tmp/tool_test.XXXXXX";
    const int fd = ::mkstemp(pid_file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    // Each shell tells its pid (its process group) and leaves a child that
    // would outlive it; everything must be gone once the limit has passed.
    struct Case {
        std::string command;
        bool with_output;  // read through a stream, or run on the console
    };
    const std::string to_file = std::string("echo $$ >") + pid_file + "; ";
    const Case cases[] = {
        {"echo $$; sleep 30 & sleep 30; echo never", true},  // silent
        {"echo $$; yes & exec yes", true},                   // printing without end
        {to_file + "yes >/dev/null & sleep 30", false},      // on the console
    };
    constexpr unsigned kLimitMs = 300;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const auto start = steady_clock::now();
        int status;
        std::string pid_text;
        if (c.with_output) {
            FILE* tool = tool_open(c.command.c_str(), kLimitMs);
            ASSERT_NE(tool, nullptr);
            pid_text = first_line_of(tool);
            status = tool_close(tool);
        } else {
            status = tool_run(c.command.c_str(), kLimitMs);
            std::ifstream(pid_file) >> pid_text;
        }
        const int err = errno;
        const double took = seconds_since(start);
        EXPECT_EQ(status, -1);
        EXPECT_EQ(err, ETIMEDOUT);
        EXPECT_GE(took, kLimitMs / 1000.0 - 0.01);
        EXPECT_LT(took, kLimitMs / 1000.0 + 2.0);
        const pid_t group = static_cast<pid_t>(std::atol(pid_text.c_str()));
        ASSERT_GT(group, 0) << pid_text;
        EXPECT_TRUE(group_gone(group)) << "process group " << group << " still has members";
    }
    ::unlink(pid_file);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(ToolLimit, AShellThatCannotStartIsAToolThatCannotStart) {
    os_interface no_shell = os_real;
    no_shell.spawn = [](pid_t* pid, const char*, char* const argv[], int out_fd) {
        return os_real.spawn(pid, "/nonexistent/sh", argv, out_fd);
    };
    os = &no_shell;
    errno = 0;
    EXPECT_EQ(tool_open("echo never", 5000), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(tool_run("echo never", 5000), -1);
    EXPECT_EQ(errno, ENOENT);
    os = &os_real;
}

}  // namespace
