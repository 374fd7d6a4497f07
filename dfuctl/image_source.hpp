// The image a command sends or checks: a file or standard input, raw or
// compressed (gzip, xz, zstd, bzip2), recognised by its first bytes and
// decompressed while it streams. The decoding is the format libraries'
// own (zlib, liblzma, libzstd, libbz2); this unit only picks one and moves
// bytes. Memory stays bounded: one input buffer and the decoder's window.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "digest.hpp"
#include "files.hpp"

namespace dfuctl {

enum class ImageFormat { Raw, Gzip, Xz, Zstd, Bzip2 };

// "raw", "gzip", "xz", "zstd", "bzip2"
std::string_view format_name(ImageFormat format);

// The format whose signature `head` starts with; Raw for anything else.
// Up to six bytes are looked at.
ImageFormat detect_format(std::span<const std::uint8_t> head);

// Largest decoder window accepted (xz dictionary, zstd window); a stream
// that needs more is refused rather than allowed to take the memory.
inline constexpr std::uint64_t kMaxDecoderWindow = std::uint64_t{1} << 27;  // 128 MiB

class Decoder;

class ImageSource {
public:
    // Opens `path` ("-": standard input) and looks at its first bytes.
    // `raw`: send the bytes as they are, whatever they look like.
    // Throws Failure(Exit::NoInput).
    static ImageSource open(const std::string& path, bool raw);
    // The same on an open descriptor; `name` is used in messages.
    ImageSource(UniqueFd fd, std::string name, bool raw);
    ~ImageSource();
    ImageSource(ImageSource&&) noexcept;
    ImageSource& operator=(ImageSource&&) noexcept;

    // Fills `buf` with image bytes unless the image ends first; returns the
    // count. Throws Failure(Exit::NoInput) on a read error or bad data
    // (corrupt or truncated stream, trailing data).
    std::size_t read(std::span<std::uint8_t> buf);
    // True when no image byte is left (may read ahead to find out).
    bool at_end();

    ImageFormat format() const { return format_; }
    const std::string& name() const { return name_; }
    // The image size when it is known beforehand: a raw regular file or
    // block device. Empty for compressed images and pipes.
    std::optional<std::uint64_t> size() const { return size_; }
    // Image bytes handed out so far, and their SHA-256 (once, at the end).
    std::uint64_t bytes() const { return produced_; }
    std::string sha256() { return hash_.hex_digest(); }

private:
    std::size_t read_raw(std::span<std::uint8_t> buf);
    std::size_t decode(std::span<std::uint8_t> buf);
    // Makes at least `n` unread input bytes available unless the input ends.
    void fill_input(std::size_t n);
    std::span<const std::uint8_t> pending() const;
    [[noreturn]] void bad_data(const std::string& why) const;

    UniqueFd fd_;
    std::string name_;
    ImageFormat format_ = ImageFormat::Raw;
    std::optional<std::uint64_t> size_;
    std::vector<std::uint8_t> in_;
    std::size_t in_pos_ = 0, in_len_ = 0;
    bool input_ended_ = false;
    bool image_ended_ = false;
    std::unique_ptr<Decoder> decoder_;
    std::uint64_t produced_ = 0;
    Sha256 hash_;
    // One byte read ahead by at_end(), handed out by the next read().
    std::optional<std::uint8_t> peeked_;
};

}  // namespace dfuctl
