// Compressors for test data, from the same libraries dfuctl decompresses
// with, so that no compressed fixture has to be kept.
#pragma once

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace dfuctl::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes gzip(const Bytes& in) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, in.size()));
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline Bytes xz(const Bytes& in) {
    Bytes out(lzma_stream_buffer_bound(in.size()));
    std::size_t n = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(), out.data(), &n,
                                      out.size()),
              LZMA_OK);
    out.resize(n);
    return out;
}

// With the content checksum that the zstd program writes by default.
inline Bytes zstd(const Bytes& in) {
    Bytes out(ZSTD_compressBound(in.size()));
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    const std::size_t n = ZSTD_compress2(c, out.data(), out.size(), in.data(), in.size());
    ZSTD_freeCCtx(c);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

inline Bytes bzip2(const Bytes& in) {
    Bytes out(in.size() + in.size() / 100 + 600);
    auto n = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &n,
                                       const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                                       static_cast<unsigned>(in.size()), 1, 0, 0),
              BZ_OK);
    out.resize(n);
    return out;
}

}  // namespace dfuctl::testing
