#include "log.hpp"

#include <cerrno>
#include <cstring>
#include <ostream>

#include <nlohmann/json.hpp>

#include "exit_codes.hpp"
#include "platform.hpp"

namespace dfuctl {
namespace {

int g_verbosity = 0;
std::ostream* g_trace = nullptr;

const char* result_word(int exit_status) {
    if (exit_status == 0) return "ok";
    return exit_status == static_cast<int>(Exit::Aborted) ? "interrupted" : "failed";
}

}  // namespace

CommandRecord& command_record() {
    static CommandRecord record;
    return record;
}

std::string format_log_line(const CommandRecord& r, int exit_status, const std::string& message,
                            std::time_t when) {
    using Json = nlohmann::ordered_json;
    char time[32] = "";
    if (const auto tm = platform::utc_time(when))
        std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &*tm);
    auto opt = [](const auto& v) { return v ? Json(*v) : Json(nullptr); };
    Json j{{"time", time},          {"serial", opt(r.serial)},
           {"path", opt(r.path)},   {"operation", r.operation},
           {"bytes", opt(r.bytes)}, {"sha256", opt(r.sha256)},
           {"exit", exit_status},   {"result", result_word(exit_status)}};
    if (exit_status != 0) j["message"] = message;
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

CommandLog::CommandLog(const std::string& path) : path_(path) {
    if (path.empty()) return;
    fd_.reset(platform::open_append(path));
    if (fd_.get() < 0)
        throw Failure(Exit::CantCreate, "cannot open the log " + path + ": " + std::strerror(errno));
}

void CommandLog::append(const CommandRecord& record, int exit_status, const std::string& message,
                        std::ostream& err) {
    if (fd_.get() < 0) return;
    const std::string line = format_log_line(record, exit_status, message, std::time(nullptr)) + "\n";
    try {
        // One write: appending keeps lines of parallel runs whole.
        write_full(fd_.get(), {reinterpret_cast<const std::uint8_t*>(line.data()), line.size()}, path_);
    } catch (const Failure& f) {
        err << "dfuctl: warning: " << f.what() << '\n';
    }
}

void set_verbosity(int level, std::ostream* sink) {
    g_verbosity = level;
    g_trace = sink;
}

int verbosity() { return g_verbosity; }

void trace(const std::string& message) {
    if (g_verbosity > 0 && g_trace != nullptr) *g_trace << "dfuctl: " << message << '\n' << std::flush;
}

}  // namespace dfuctl
