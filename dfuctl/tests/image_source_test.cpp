// Images as they come: each compressed format recognised by its content and
// streamed out in pieces, a truncated and a corrupt stream refused, --raw,
// and standard input. The compressed data is made here with the same
// libraries, so no binary fixture is needed.
#include "image_source.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "compressors.hpp"
#include "helpers.hpp"

namespace dfuctl {
namespace {

using testing::Bytes;
using testing::bzip2;
using testing::exit_of;
using testing::gzip;
using testing::outcome_of;
using testing::sha256_of;
using testing::TempDir;
using testing::xz;
using testing::zstd;

// An image that compresses well in parts and not at all in others.
Bytes image() {
    Bytes v = testing::pattern(3 * (1 << 20) + 12345);
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < v.size(); i += 3) {
        if ((i >> 18) % 2 == 0) continue;  // every other 256 KiB stays regular
        x = x * 1103515245 + 12345;
        v[i] = static_cast<std::uint8_t>(x >> 24);
    }
    return v;
}

Bytes raw(const Bytes& in) { return in; }

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes v = a;
    v.insert(v.end(), b.begin(), b.end());
    return v;
}

// The whole image, read in pieces of `piece` bytes.
Bytes read_all(ImageSource& src, std::size_t piece) {
    Bytes all, buf(piece);
    for (;;) {
        const std::size_t n = src.read(buf);
        all.insert(all.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < piece) return all;
    }
}

struct Format {
    ImageFormat format;
    Bytes (*compress)(const Bytes&);
};
const Format kFormats[] = {
    {ImageFormat::Raw, raw},   {ImageFormat::Gzip, gzip},   {ImageFormat::Xz, xz},
    {ImageFormat::Zstd, zstd}, {ImageFormat::Bzip2, bzip2},
};

TEST(ImageSource, EachFormatIsRecognisedByContentAndStreamed) {
    const Bytes img = image();
    const Bytes small = testing::pattern(1000);
    TempDir dir;
    for (const auto& f : kFormats) {
        const std::string name(format_name(f.format));
        // The name says nothing: detection is by content only.
        const std::string path = dir.write(name + ".bin", f.compress(img));
        auto src = ImageSource::open(path, false);
        EXPECT_EQ(src.format(), f.format) << name;
        EXPECT_EQ(src.size(),
                  f.format == ImageFormat::Raw ? std::optional<std::uint64_t>(img.size()) : std::nullopt)
            << name;
        // Pieces that do not divide the image, with a look ahead between reads.
        EXPECT_FALSE(src.at_end()) << name;
        EXPECT_EQ(read_all(src, 100003), img) << name;
        EXPECT_TRUE(src.at_end()) << name;
        EXPECT_EQ(src.bytes(), img.size()) << name;
        EXPECT_EQ(src.sha256(), sha256_of(img)) << name;

        // Two streams one after the other (as parallel compressors and cat write them).
        if (f.format != ImageFormat::Raw) {
            auto two =
                ImageSource::open(dir.write(name + ".2", concat(f.compress(small), f.compress(img))), false);
            EXPECT_EQ(read_all(two, 1 << 20), concat(small, img)) << name;
        }

        // --raw: the bytes as they are.
        const Bytes packed = f.compress(small);
        auto as_is = ImageSource::open(dir.write(name + ".raw", packed), true);
        EXPECT_EQ(as_is.format(), ImageFormat::Raw);
        EXPECT_EQ(read_all(as_is, 4096), packed) << name;
    }
}

TEST(ImageSource, TruncatedCorruptAndTrailingDataAreRefused) {
    const Bytes img = image();
    TempDir dir;
    for (const auto& f : kFormats) {
        if (f.format == ImageFormat::Raw) continue;
        const std::string name(format_name(f.format));
        const Bytes good = f.compress(img);

        Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() * 2 / 3));
        auto truncated = ImageSource::open(dir.write(name + ".cut", cut), false);
        const auto t = outcome_of([&] { read_all(truncated, 1 << 20); });
        EXPECT_EQ(t.code, Exit::NoInput) << name;
        EXPECT_NE(t.message.find("cannot decompress " + dir.file(name + ".cut") + " (" + name + ")"),
                  std::string::npos)
            << t.message;

        Bytes bad = good;
        for (std::size_t i = bad.size() / 2; i < bad.size() / 2 + 64; ++i) bad[i] ^= 0x5A;
        auto corrupt = ImageSource::open(dir.write(name + ".bad", bad), false);
        EXPECT_EQ(exit_of([&] { read_all(corrupt, 1 << 20); }), Exit::NoInput) << name;

        auto trailing = ImageSource::open(dir.write(name + ".tail", concat(good, Bytes(100, 0x77))), false);
        EXPECT_EQ(exit_of([&] { read_all(trailing, 1 << 20); }), Exit::NoInput) << name;
    }
    // A header alone, as an interrupted download leaves it.
    auto header = ImageSource::open(dir.write("header", Bytes{0xFD, '7', 'z', 'X', 'Z', 0x00}), false);
    EXPECT_EQ(header.format(), ImageFormat::Xz);
    EXPECT_EQ(exit_of([&] { read_all(header, 512); }), Exit::NoInput);
}

TEST(ImageSource, StandardInputIsReadThroughAPipe) {
    const Bytes img = image();
    const Bytes packed = zstd(img);
    int fds[2];
    ASSERT_TRUE(testing::make_pipe(fds));
    std::optional<testing::StdinFrom> stdin_from(std::in_place, fds[0]);
    ::close(fds[0]);
    // Written in small pieces so that the reads see a pipe's short reads.
    std::thread writer([&] {
        for (std::size_t off = 0; off < packed.size(); off += 777) {
            const std::size_t n = std::min<std::size_t>(777, packed.size() - off);
            if (::write(fds[1], packed.data() + off, static_cast<unsigned>(n)) != static_cast<int>(n)) break;
        }
        ::close(fds[1]);
    });
    Bytes got;
    std::string sha;
    std::optional<std::uint64_t> size = 0;
    {
        auto src = ImageSource::open("-", false);
        EXPECT_EQ(src.name(), "standard input");
        EXPECT_EQ(src.format(), ImageFormat::Zstd);
        size = src.size();
        got = read_all(src, 65536);
        sha = src.sha256();
    }
    writer.join();
    stdin_from.reset();
    EXPECT_FALSE(size);
    EXPECT_EQ(got, img);
    EXPECT_EQ(sha, sha256_of(img));
}

TEST(ImageSource, SignaturesNeedTheirWholePrefix) {
    struct Case {
        Bytes head;
        ImageFormat format;
    };
    const Case cases[] = {
        {{0x1F, 0x8B, 0x08, 0x00}, ImageFormat::Gzip},
        {{0x1F, 0x8B, 0x07}, ImageFormat::Raw},  // not deflate
        {{0xFD, '7', 'z', 'X', 'Z', 0x00}, ImageFormat::Xz},
        {{0xFD, '7', 'z', 'X', 'Z'}, ImageFormat::Raw},
        {{0x28, 0xB5, 0x2F, 0xFD}, ImageFormat::Zstd},
        {{'B', 'Z', 'h', '9'}, ImageFormat::Bzip2},
        {{'B', 'Z', 'h', '0'}, ImageFormat::Raw},
        {{'B', 'Z', 'h'}, ImageFormat::Raw},
        {{}, ImageFormat::Raw},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(detect_format(cases[i].head), cases[i].format) << i;
}

}  // namespace
}  // namespace dfuctl
