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
#include "exit_codes.hpp"
#include "files.hpp"
#include "platform.hpp"

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

// One pass over an image, as an upload reads it: a board's ImageSource of
// its own, or its reader of an image that several boards share
// (shared_image.hpp).
class ImageStream {
public:
    virtual ~ImageStream() = default;
    // Fills `buf` with image bytes unless the image ends first; returns the
    // count. Throws Failure (Exit::NoInput for a read error or bad data).
    virtual std::size_t read(std::span<std::uint8_t> buf) = 0;
    // True when no image byte is left (may read ahead to find out).
    virtual bool at_end() = 0;
    virtual const std::string& name() const = 0;
    virtual ImageFormat format() const = 0;
    // The image size when it is known beforehand: a raw regular file or
    // block device. Empty for compressed images and pipes.
    virtual std::optional<std::uint64_t> size() const = 0;
    // Image bytes handed out so far, and the SHA-256 of the whole image
    // (once the pass reached its end).
    virtual std::uint64_t bytes() const = 0;
    virtual std::string sha256() = 0;
    // Whether the image is kept whole where it can be read again, at any
    // offset (a raw file opened by its name, a shared image), and that
    // reading: fills `buf` with the bytes at `offset` unless the image ends
    // first, and returns the count. Only for bytes this pass handed out.
    virtual bool can_read_again() const = 0;
    virtual std::size_t read_again(std::span<std::uint8_t> buf, std::uint64_t offset) const = 0;
    // Throws Failure(Exit::NoInput) when the image file's size or
    // modification time is no longer what it was when it was opened: it was
    // written to in place, and what was read may mix two images.
    virtual void check_unchanged() const = 0;
};

// What a reading of an image kept whole fails with when the file has become
// shorter than what was read of it before: it was written to meanwhile.
Failure image_shrank(const std::string& name);

class Decoder;

class ImageSource final : public ImageStream {
public:
    // Opens `path` ("-": standard input) and looks at its first bytes.
    // `raw`: send the bytes as they are, whatever they look like.
    // Throws Failure(Exit::NoInput).
    static ImageSource open(const std::string& path, bool raw);
    // The same on an open descriptor; `name` is used in messages.
    ImageSource(UniqueFd fd, std::string name, bool raw);
    ~ImageSource() override;
    ImageSource(ImageSource&&) noexcept;
    ImageSource& operator=(ImageSource&&) noexcept;

    // Bad data: a corrupt or truncated stream, or data after its end.
    std::size_t read(std::span<std::uint8_t> buf) override;
    bool at_end() override;

    ImageFormat format() const override { return format_; }
    const std::string& name() const override { return name_; }
    std::optional<std::uint64_t> size() const override { return size_; }
    std::uint64_t bytes() const override { return produced_; }
    // Of the bytes handed out: call it once, at the end.
    std::string sha256() override { return hash_.hex_digest(); }
    bool can_read_again() const override { return rereadable_; }
    std::size_t read_again(std::span<std::uint8_t> buf, std::uint64_t offset) const override;
    // Reads only what read() never writes: another thread may call it.
    void check_unchanged() const override;
    // The open file, for reads at an offset beside the stream (shared_image.cpp).
    int descriptor() const { return fd_.get(); }

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
    std::optional<platform::FileStamp> stamp_;  // a regular file's, when opened
    std::vector<std::uint8_t> in_;
    std::size_t in_pos_ = 0, in_len_ = 0;
    bool input_ended_ = false;
    bool image_ended_ = false;
    std::unique_ptr<Decoder> decoder_;
    std::uint64_t produced_ = 0;
    Sha256 hash_;
    // One byte read ahead by at_end(), handed out by the next read().
    std::optional<std::uint8_t> peeked_;
    // A raw file opened by its name: its image starts at offset 0.
    bool rereadable_ = false;
};

}  // namespace dfuctl
