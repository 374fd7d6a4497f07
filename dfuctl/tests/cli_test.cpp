// The command line: what is accepted, what it means, and what is refused
// (exit status 64) before anything touches the bus.
#include "cli.hpp"

#include <gadgetdfu/protocol.h>

#include <gtest/gtest.h>

#include <sstream>

namespace dfuctl {
namespace {

struct Parsed {
    ParseResult result;
    std::string out, err;
};

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "dfuctl");
    std::ostringstream out, err;
    auto r = parse_command_line(static_cast<int>(args.size()), args.data(), out, err);
    return {std::move(r), out.str(), err.str()};
}

Invocation ok(std::vector<const char*> args) {
    auto p = parse(std::move(args));
    EXPECT_TRUE(p.result.invocation) << p.err;
    EXPECT_EQ(p.result.exit_code, 0);
    return p.result.invocation.value_or(Invocation{});
}

int refused(std::vector<const char*> args) {
    auto p = parse(std::move(args));
    EXPECT_FALSE(p.result.invocation);
    EXPECT_EQ(p.err.rfind("dfuctl: ", 0), 0u) << p.err;
    return p.result.exit_code;
}

TEST(Cli, GlobalOptionsBeforeOrAfterTheCommand) {
    const auto a = ok({"--serial", "abcdef01", "--json", "--timeout", "0x3e8", "--quiet", "list"});
    EXPECT_EQ(a.command, Command::List);
    EXPECT_EQ(a.global.selector.serial, "abcdef01");
    EXPECT_FALSE(a.global.selector.path);
    EXPECT_TRUE(a.global.json);
    EXPECT_TRUE(a.global.quiet);
    EXPECT_EQ(a.global.timeout_ms, 1000u);

    const auto b = ok({"info", "--path", "1-1.2", "--json"});
    EXPECT_EQ(b.command, Command::Info);
    EXPECT_EQ(b.global.selector.path, "1-1.2");
    EXPECT_TRUE(b.global.json);
    EXPECT_EQ(b.global.timeout_ms, 5000u);
}

TEST(Cli, StringIndexAndLangid) {
    const auto a = ok({"string", "0xee", "--langid", "0x0407"});
    EXPECT_EQ(a.command, Command::String);
    EXPECT_EQ(a.string_index, 0xEE);
    EXPECT_EQ(a.langid, 0x0407);
    EXPECT_EQ(ok({"string", "3"}).langid, 0x0409);
    EXPECT_EQ(refused({"string", "256"}), 64);
    EXPECT_EQ(refused({"string", "3", "--langid", "0x10000"}), 64);
    EXPECT_EQ(refused({"string"}), 64);
}

TEST(Cli, ControlRequests) {
    const auto in = ok({"control", "0xc0", "1", "0", "0", "24"});
    EXPECT_EQ(in.control.request_type, 0xC0);
    EXPECT_EQ(in.control.request, 1);
    EXPECT_EQ(in.control.length, 24);
    EXPECT_TRUE(in.control.data.empty());

    const auto out = ok({"control", "0x41", "0x0b", "1", "0", "2", "--data", "ab cd"});
    EXPECT_EQ(out.control.data, (std::vector<std::uint8_t>{0xAB, 0xCD}));
    EXPECT_EQ(out.control.value, 1);

    const auto no_data = ok({"control", "0x01", "0x0b", "0", "0", "0"});
    EXPECT_TRUE(no_data.control.data.empty());

    EXPECT_EQ(refused({"control", "0xc0", "1", "0", "0", "4", "--data", "00"}), 64);  // data on an IN request
    EXPECT_EQ(refused({"control", "0x40", "1", "0", "0", "2", "--data", "00"}), 64);  // length mismatch
    EXPECT_EQ(refused({"control", "0x40", "1", "0", "0", "2"}), 64);                  // data missing
    EXPECT_EQ(refused({"control", "0x100", "1", "0", "0", "0"}), 64);
    EXPECT_EQ(refused({"control", "0xc0", "1", "0x10000", "0", "0"}), 64);
    EXPECT_EQ(refused({"control", "0xc0", "1", "0", "0", "4097"}), 64);  // beyond what usbfs passes
    EXPECT_EQ(refused({"control", "0xc0", "1", "0", "0"}), 64);
}

TEST(Cli, SetConfig) {
    EXPECT_EQ(ok({"set-config", "0"}).configuration, 0);
    EXPECT_EQ(ok({"set-config", "1"}).configuration, 1);
    EXPECT_EQ(refused({"set-config", "256"}), 64);
    EXPECT_EQ(refused({"set-config", "-1"}), 64);
}

TEST(Cli, TransferCommands) {
    const auto up = ok({"upload", "image.bin"});
    EXPECT_EQ(up.command, Command::Upload);
    EXPECT_EQ(up.file, "image.bin");

    const auto down = ok({"download", "-", "--length", "1000", "--idle-ms", "500"});
    EXPECT_EQ(down.command, Command::Download);
    EXPECT_EQ(down.file, "-");
    EXPECT_EQ(down.length, 1000u);
    EXPECT_EQ(down.idle_ms, 500u);
    EXPECT_EQ(ok({"download", "out.bin"}).length, 0u);
    EXPECT_EQ(ok({"download", "out.bin"}).idle_ms, 2000u);

    EXPECT_EQ(ok({"verify", "image.bin", "--idle-ms", "100"}).idle_ms, 100u);
    EXPECT_EQ(ok({"upload", "-"}).file, "-");  // standard input
    EXPECT_FALSE(ok({"upload", "image.bin.gz"}).raw);
    EXPECT_TRUE(ok({"verify", "image.bin.gz", "--raw"}).raw);

    EXPECT_EQ(refused({"upload"}), 64);
    EXPECT_EQ(refused({"download", "out.bin", "--raw"}), 64);
    EXPECT_EQ(refused({"upload", "a", "b"}), 64);
    EXPECT_EQ(refused({"upload", "a", "--length", "5"}), 64);  // only download takes a length
    EXPECT_EQ(refused({"download", "out.bin", "--idle-ms", "0"}), 64);
    EXPECT_EQ(refused({"verify", "image.bin", "--length", "5"}), 64);
}

TEST(Cli, LedPatterns) {
    EXPECT_EQ(ok({"led", "breathe-orange"}).led_command, ORVEN_LED_BREATHE_ORANGE);
    EXPECT_EQ(ok({"led", "rotate-orange"}).led_command, ORVEN_LED_ROTATE_ORANGE);
    EXPECT_EQ(ok({"led", "breathe-red"}).led_command, ORVEN_LED_BREATHE_RED);
    EXPECT_EQ(refused({"led", "breathe_orange"}), 64);
    EXPECT_EQ(refused({"led"}), 64);
}

TEST(Cli, GlobalOptionValues) {
    EXPECT_EQ(refused({"--timeout", "0", "list"}), 64);
    EXPECT_EQ(refused({"--timeout", "5s", "list"}), 64);
    EXPECT_EQ(refused({"--serial"}), 64);
    EXPECT_EQ(refused({"--progress", "fancy", "list"}), 64);
    const auto a = ok({"-vv", "--progress", "json", "--log", "run.log", "list"});
    EXPECT_EQ(a.global.verbose, 2);
    EXPECT_EQ(a.global.progress, ProgressMode::Json);
    EXPECT_EQ(a.global.log_file, "run.log");
    EXPECT_EQ(ok({"list"}).global.progress, ProgressMode::Auto);
    // A value that happens to be a command's name must be written with '='.
    EXPECT_EQ(ok({"--serial=list", "info"}).global.selector.serial, "list");
}

// The mistakes a person makes, named in the message.
TEST(Cli, UsageErrorsSayWhatIsWrong) {
    struct Case {
        std::vector<const char*> args;
        const char* message;
    };
    const Case cases[] = {
        {{"frobnicate"}, "dfuctl: unknown command 'frobnicate'\n"},
        {{"--json", "uplaod", "x"}, "dfuctl: unknown command 'uplaod'; did you mean 'upload'?\n"},
        {{"inf"}, "dfuctl: unknown command 'inf'; did you mean 'info'?\n"},
        {{"help", "frob"}, "dfuctl: unknown command 'frob'\n"},
        {{"--path", "info"},
         "dfuctl: --path needs a value (PATH) before the command 'info' (write --path=info if that is the "
         "value)\n"},
        {{"--timeout"}, "dfuctl: --timeout needs a value (MS)\n"},
        {{"--path", "x y", "info"},
         "dfuctl: --path 'x y' is not a bus path such as 1-1 or 1-1.2 (see dfuctl list)\n"},
        {{"--path=1-1.", "info"},
         "dfuctl: --path '1-1.' is not a bus path such as 1-1 or 1-1.2 (see dfuctl list)\n"},
        {{"--path=1-256", "info"},
         "dfuctl: --path '1-256' is not a bus path such as 1-1 or 1-1.2 (see dfuctl list)\n"},
        {{"--path=1-1.1.1.1.1.1.1.1", "info"},
         "dfuctl: --path '1-1.1.1.1.1.1.1.1' is not a bus path such as 1-1 or 1-1.2 (see dfuctl list)\n"},
        {{"--wait", "3s", "info"}, "dfuctl: --wait '3s' is not a number\n"},
        {{}, "dfuctl: no command given (see 'dfuctl help')\n"},
    };
    for (const auto& c : cases) {
        const auto p = parse(c.args);
        EXPECT_EQ(p.result.exit_code, 64);
        EXPECT_EQ(p.err.substr(0, p.err.find('\n') + 1), c.message);
    }
}

TEST(Cli, CommandsThatTakeNoArguments) {
    EXPECT_EQ(ok({"reboot"}).command, Command::Reboot);
    EXPECT_EQ(ok({"shutdown"}).command, Command::Shutdown);
    EXPECT_EQ(ok({"strings"}).command, Command::Strings);
    EXPECT_EQ(ok({"describe"}).command, Command::Describe);
    EXPECT_EQ(refused({"reboot", "now"}), 64);
    EXPECT_EQ(refused({}), 64);
    EXPECT_EQ(refused({"flash"}), 64);
}

TEST(Cli, FlashWaitsForTheBoardAndForItsReturn) {
    const auto a = ok({"flash", "--reboot", "--wait", "0x1e", "image.bin"});
    EXPECT_EQ(a.command, Command::Flash);
    EXPECT_EQ(a.file, "image.bin");
    EXPECT_TRUE(a.reboot);
    EXPECT_EQ(a.wait_seconds, 30u);
    EXPECT_EQ(a.global.wait_seconds, 30u);
    EXPECT_FALSE(ok({"flash", "image.bin"}).reboot);
    // Without --reboot, --wait only waits for the board to appear; bare, without limit.
    EXPECT_EQ(ok({"flash", "--wait", "30", "image.bin"}).wait_seconds, 0u);
    EXPECT_EQ(ok({"--wait", "list"}).global.wait_seconds, 0u);
    // Before the command too, a number after --wait is its value.
    EXPECT_EQ(ok({"--wait", "3", "--path", "3-1.4.2.7.1.1.1", "info"}).global.wait_seconds, 3u);
    EXPECT_FALSE(ok({"list"}).global.wait_seconds);
    EXPECT_EQ(ok({"flash", "-", "--raw"}).file, "-");  // standard input, sent as it is
    EXPECT_EQ(ok({"flash", "--all", "-"}).file, "-");  // read once for every board
}

TEST(Cli, SeveralBoardsOnlyForFlashAndStation) {
    const auto all = ok({"flash", "--all", "image.bin"});
    EXPECT_TRUE(all.all);
    const auto two = ok({"--serial", "a1", "flash", "--serial", "b2", "--path", "1-3", "image.bin"});
    EXPECT_EQ(two.global.serials, (std::vector<std::string>{"a1", "b2"}));
    EXPECT_EQ(two.global.paths, (std::vector<std::string>{"1-3"}));
    EXPECT_EQ(two.file, "image.bin");
    const auto station = ok({"station", "--count", "3", "image.bin"});
    EXPECT_EQ(station.command, Command::Station);
    EXPECT_EQ(station.count, 3u);
    EXPECT_EQ(refused({"--serial", "a1", "--serial", "b2", "upload", "image.bin"}), 64);
    EXPECT_EQ(refused({"flash", "--all", "--serial", "a1", "image.bin"}), 64);
    EXPECT_EQ(refused({"station", "image.bin", "--count", "many"}), 64);
}

TEST(Cli, HelpAndVersionExitZero) {
    const auto help = parse({"--help"});
    EXPECT_FALSE(help.result.invocation);
    EXPECT_EQ(help.result.exit_code, 0);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
    EXPECT_NE(help.out.find("77"), std::string::npos);
    EXPECT_NE(help.out.find("verify"), std::string::npos);

    const auto sub = parse({"download", "--help"});
    EXPECT_EQ(sub.result.exit_code, 0);
    EXPECT_NE(sub.out.find("--idle-ms"), std::string::npos);

    // help COMMAND: what the command's arguments mean, and the global options.
    const auto help_upload = parse({"help", "upload"});
    EXPECT_EQ(help_upload.result.exit_code, 0);
    EXPECT_NE(help_upload.out.find("'-' for standard input"), std::string::npos) << help_upload.out;
    EXPECT_NE(help_upload.out.find("--raw"), std::string::npos);
    EXPECT_NE(help_upload.out.find("Global options"), std::string::npos);
    EXPECT_NE(help_upload.out.find("--progress MODE"), std::string::npos);
    EXPECT_EQ(parse({"help"}).out, help.out);

    const auto version = parse({"--version"});
    EXPECT_EQ(version.result.exit_code, 0);
    EXPECT_EQ(version.out.rfind("dfuctl ", 0), 0u);
}

}  // namespace
}  // namespace dfuctl
