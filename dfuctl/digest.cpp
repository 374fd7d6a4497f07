#include "digest.hpp"

#include "numbers.hpp"

namespace dfuctl {

std::string Sha256::hex_digest() {
    std::uint8_t d[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx_, sizeof d, d);
    std::string s = to_hex(d);
    std::erase(s, ' ');
    return s;
}

}  // namespace dfuctl
