#include "output.hpp"

#include <ostream>

#include "numbers.hpp"
#include "progress.hpp"

namespace dfuctl {

void print_json(std::ostream& out, const Json& j) {
    out << j.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

void print_transfer_summary(std::ostream& out, const GlobalOptions& g, const std::string& operation,
                            const std::string& verb, std::uint64_t bytes, double seconds) {
    if (g.json) {
        print_json(out, Json{{"operation", operation},
                             {"bytes", bytes},
                             {"seconds", seconds},
                             {"mb_per_s", megabytes_per_second(bytes, seconds)}});
    } else {
        out << format_summary(verb, bytes, seconds) << '\n';
    }
}

void print_error_json(std::ostream& out, int exit_status, const std::string& message) {
    print_json(out, Json{{"error", Json{{"exit", exit_status}, {"message", message}}}});
}

void print_image_summary(std::ostream& out, const GlobalOptions& g, const std::string& operation,
                         const std::string& verb, std::uint64_t bytes, double seconds,
                         const std::string& sha256, std::string_view format) {
    if (g.json) {
        print_json(out, Json{{"operation", operation},
                             {"bytes", bytes},
                             {"seconds", seconds},
                             {"mb_per_s", megabytes_per_second(bytes, seconds)},
                             {"sha256", sha256},
                             {"format", format}});
    } else {
        out << format_summary(verb, bytes, seconds) << '\n' << "sha256 " << sha256 << " (" << format << ")\n";
    }
}

void print_bytes(std::ostream& out, const GlobalOptions& g, std::span<const std::uint8_t> bytes,
                 const char* direction) {
    if (g.json) {
        print_json(out, Json{{"bytes", to_hex(bytes)}, {"length", bytes.size()}, {"direction", direction}});
    } else {
        out << to_hex(bytes) << '\n';
    }
}

}  // namespace dfuctl
