// SHA-256 over a stream of chunks (nettle).
#pragma once

#include <nettle/sha2.h>

#include <cstdint>
#include <span>
#include <string>

namespace dfuctl {

class Sha256 {
public:
    Sha256() { sha256_init(&ctx_); }
    void update(std::span<const std::uint8_t> data) { sha256_update(&ctx_, data.size(), data.data()); }
    // Lower-case hex of the digest; the object starts over afterwards.
    std::string hex_digest();

private:
    sha256_ctx ctx_{};
};

}  // namespace dfuctl
