// What the commands print: JSON on standard output, the transfer summary
// and hex dumps, in text or with --json.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "cli.hpp"

namespace dfuctl {

using Json = nlohmann::ordered_json;

// One JSON value and a newline. Texts from the board need not be valid
// UTF-8; bad bytes are replaced rather than refused.
void print_json(std::ostream& out, const Json& j);

// "uploaded 10485767 bytes in 1.23 s (8.5 MB/s)", or with --json
// {"operation","bytes","seconds","mb_per_s"}.
void print_transfer_summary(std::ostream& out, const GlobalOptions& g, const std::string& operation,
                            const std::string& verb, std::uint64_t bytes, double seconds);

// {"error": {"exit": N, "message": "..."}}: what --json prints for a failure.
void print_error_json(std::ostream& out, int exit_status, const std::string& message);

// The summary of an image sent or checked: print_transfer_summary's, and
// the image's SHA-256 and format ("sha256", "format"; in text a second
// line "sha256 HEX (FORMAT)").
void print_image_summary(std::ostream& out, const GlobalOptions& g, const std::string& operation,
                         const std::string& verb, std::uint64_t bytes, double seconds,
                         const std::string& sha256, std::string_view format);

// Raw request data as hex, or with --json {"bytes","length","direction"}.
void print_bytes(std::ostream& out, const GlobalOptions& g, std::span<const std::uint8_t> bytes,
                 const char* direction);

}  // namespace dfuctl
