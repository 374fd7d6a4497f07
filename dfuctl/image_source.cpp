#include "image_source.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "exit_codes.hpp"
#include "platform.hpp"

namespace dfuctl {

// One compressed format behind the streaming loop of ImageSource.
class Decoder {
public:
    virtual ~Decoder() = default;
    // Decodes from `in` into `out`, advancing both past what was used.
    // `last`: no input follows what `in` holds. Returns true when a stream
    // (a gzip member, an xz stream sequence, a zstd frame, a bzip2 stream)
    // has ended with all its output handed out. Throws std::runtime_error
    // with the library's reason for bad data.
    virtual bool decode(std::span<const std::uint8_t>& in, std::span<std::uint8_t>& out, bool last) = 0;
    // Ready for another stream after one ended. Formats that go on by
    // themselves (xz, zstd) need nothing.
    virtual void restart() {}
    // Whether data starting with `head` may follow a stream that ended:
    // another stream of the same format. The library judges where it can.
    virtual bool may_follow(std::span<const std::uint8_t> head) const = 0;
};

namespace {

constexpr std::size_t kInputBuffer = 256 * 1024;

struct Signature {
    ImageFormat format;
    std::span<const std::uint8_t> bytes;
};
constexpr std::uint8_t kGzip[] = {0x1F, 0x8B, 0x08};  // ID1 ID2, method deflate
constexpr std::uint8_t kXz[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr std::uint8_t kZstd[] = {0x28, 0xB5, 0x2F, 0xFD};
constexpr std::uint8_t kBzip2[] = {'B', 'Z', 'h'};  // then the block size '1'..'9'
constexpr std::size_t kLongestSignature = 6;

bool starts_with(std::span<const std::uint8_t> head, std::span<const std::uint8_t> sig) {
    return head.size() >= sig.size() && std::equal(sig.begin(), sig.end(), head.begin());
}

// Sizes for the C interfaces' unsigned int counts.
unsigned int clamp_uint(std::size_t n) {
    return static_cast<unsigned int>(std::min<std::size_t>(n, UINT_MAX));
}

class GzipDecoder final : public Decoder {
public:
    GzipDecoder() {
        // 16 + 15: a gzip wrapper around a window of up to 32 KiB.
        if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
    }
    ~GzipDecoder() override { inflateEnd(&z_); }
    bool decode(std::span<const std::uint8_t>& in, std::span<std::uint8_t>& out, bool) override {
        z_.next_in = const_cast<Bytef*>(in.data());  // zlib does not write through it
        z_.avail_in = clamp_uint(in.size());
        z_.next_out = out.data();
        z_.avail_out = clamp_uint(out.size());
        const int rc = inflate(&z_, Z_NO_FLUSH);
        in = in.subspan(clamp_uint(in.size()) - z_.avail_in);
        out = out.subspan(clamp_uint(out.size()) - z_.avail_out);
        if (rc == Z_STREAM_END) return true;
        if (rc == Z_OK || rc == Z_BUF_ERROR) return false;
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        throw std::runtime_error(z_.msg != nullptr ? z_.msg : "inflate error " + std::to_string(rc));
    }
    void restart() override { inflateReset(&z_); }
    bool may_follow(std::span<const std::uint8_t> head) const override {
        return detect_format(head) == ImageFormat::Gzip;
    }

private:
    z_stream z_{};
};

class XzDecoder final : public Decoder {
public:
    XzDecoder() {
        // LZMA_CONCATENATED: concatenated .xz streams and their padding, as xz -d reads them.
        const lzma_ret rc = lzma_stream_decoder(&s_, kMaxDecoderWindow + (16 << 20), LZMA_CONCATENATED);
        if (rc != LZMA_OK) throw std::bad_alloc();
    }
    ~XzDecoder() override { lzma_end(&s_); }
    bool decode(std::span<const std::uint8_t>& in, std::span<std::uint8_t>& out, bool last) override {
        s_.next_in = in.data();
        s_.avail_in = in.size();
        s_.next_out = out.data();
        s_.avail_out = out.size();
        const lzma_ret rc = lzma_code(&s_, last ? LZMA_FINISH : LZMA_RUN);
        in = in.subspan(in.size() - s_.avail_in);
        out = out.subspan(out.size() - s_.avail_out);
        switch (rc) {
        case LZMA_OK:
        case LZMA_BUF_ERROR:  // no progress possible now; the caller decides
            return false;
        case LZMA_STREAM_END:
            return true;
        case LZMA_MEM_ERROR:
            throw std::bad_alloc();
        case LZMA_MEMLIMIT_ERROR:
            throw std::runtime_error("it needs more than " + std::to_string(kMaxDecoderWindow >> 20) +
                                     " MiB to decompress (dictionary too large)");
        case LZMA_FORMAT_ERROR:
            throw std::runtime_error("not a valid .xz stream");
        case LZMA_OPTIONS_ERROR:
            throw std::runtime_error("unsupported .xz options");
        case LZMA_DATA_ERROR:
            throw std::runtime_error("compressed data is corrupt");
        default:
            throw std::runtime_error("liblzma error " + std::to_string(static_cast<int>(rc)));
        }
    }
    // liblzma reads concatenated streams itself and ends only at the end of the input.
    bool may_follow(std::span<const std::uint8_t>) const override { return false; }

private:
    lzma_stream s_ = LZMA_STREAM_INIT;
};

class ZstdDecoder final : public Decoder {
public:
    ZstdDecoder() : d_(ZSTD_createDStream()) {
        if (d_ == nullptr) throw std::bad_alloc();
        // zstd's own default limit, stated here so that it cannot grow unseen.
        int log = 0;
        while ((std::uint64_t{1} << (log + 1)) <= kMaxDecoderWindow) ++log;
        ZSTD_DCtx_setParameter(d_, ZSTD_d_windowLogMax, log);
    }
    ~ZstdDecoder() override { ZSTD_freeDStream(d_); }
    bool decode(std::span<const std::uint8_t>& in, std::span<std::uint8_t>& out, bool) override {
        ZSTD_inBuffer ib{in.data(), in.size(), 0};
        ZSTD_outBuffer ob{out.data(), out.size(), 0};
        const std::size_t rc = ZSTD_decompressStream(d_, &ob, &ib);
        in = in.subspan(ib.pos);
        out = out.subspan(ob.pos);
        if (ZSTD_isError(rc)) throw std::runtime_error(ZSTD_getErrorName(rc));
        // 0: a frame is complete and flushed; the next call starts the next frame.
        return rc == 0;
    }
    // Frames and skippable frames follow each other; libzstd refuses anything else.
    bool may_follow(std::span<const std::uint8_t>) const override { return true; }

private:
    ZSTD_DStream* d_;
};

class Bzip2Decoder final : public Decoder {
public:
    Bzip2Decoder() { init(); }
    ~Bzip2Decoder() override { BZ2_bzDecompressEnd(&s_); }
    bool decode(std::span<const std::uint8_t>& in, std::span<std::uint8_t>& out, bool) override {
        s_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));  // only read
        s_.avail_in = clamp_uint(in.size());
        s_.next_out = reinterpret_cast<char*>(out.data());
        s_.avail_out = clamp_uint(out.size());
        const int rc = BZ2_bzDecompress(&s_);
        in = in.subspan(clamp_uint(in.size()) - s_.avail_in);
        out = out.subspan(clamp_uint(out.size()) - s_.avail_out);
        switch (rc) {
        case BZ_OK:
            return false;
        case BZ_STREAM_END:
            return true;
        case BZ_MEM_ERROR:
            throw std::bad_alloc();
        case BZ_DATA_ERROR_MAGIC:
            throw std::runtime_error("not a valid bzip2 stream");
        case BZ_DATA_ERROR:
            throw std::runtime_error("compressed data is corrupt");
        default:
            throw std::runtime_error("libbz2 error " + std::to_string(rc));
        }
    }
    // Parallel compressors write one stream per block group.
    void restart() override {
        BZ2_bzDecompressEnd(&s_);
        init();
    }
    bool may_follow(std::span<const std::uint8_t> head) const override {
        return detect_format(head) == ImageFormat::Bzip2;
    }

private:
    void init() {
        s_ = bz_stream{};
        if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK) throw std::bad_alloc();
    }
    bz_stream s_{};
};

std::unique_ptr<Decoder> make_decoder(ImageFormat f) {
    switch (f) {
    case ImageFormat::Gzip:
        return std::make_unique<GzipDecoder>();
    case ImageFormat::Xz:
        return std::make_unique<XzDecoder>();
    case ImageFormat::Zstd:
        return std::make_unique<ZstdDecoder>();
    case ImageFormat::Bzip2:
        return std::make_unique<Bzip2Decoder>();
    case ImageFormat::Raw:
        break;
    }
    return nullptr;
}

}  // namespace

std::string_view format_name(ImageFormat format) {
    switch (format) {
    case ImageFormat::Raw:
        return "raw";
    case ImageFormat::Gzip:
        return "gzip";
    case ImageFormat::Xz:
        return "xz";
    case ImageFormat::Zstd:
        return "zstd";
    case ImageFormat::Bzip2:
        return "bzip2";
    }
    return "unknown";
}

ImageFormat detect_format(std::span<const std::uint8_t> head) {
    if (starts_with(head, kGzip)) return ImageFormat::Gzip;
    if (starts_with(head, kXz)) return ImageFormat::Xz;
    if (starts_with(head, kZstd)) return ImageFormat::Zstd;
    if (starts_with(head, kBzip2) && head.size() > 3 && head[3] >= '1' && head[3] <= '9')
        return ImageFormat::Bzip2;
    return ImageFormat::Raw;
}

ImageSource ImageSource::open(const std::string& path, bool raw) {
    if (path != "-") {
        ImageSource image(open_input(path), path, raw);
        image.rereadable_ = image.format_ == ImageFormat::Raw && image.size_.has_value();
        return image;
    }
    UniqueFd fd(platform::duplicate_stdin());
    if (fd.get() < 0)
        throw Failure(Exit::NoInput, std::string("cannot use standard input: ") + std::strerror(errno));
    return ImageSource(std::move(fd), "standard input", raw);
}

ImageSource::ImageSource(UniqueFd fd, std::string name, bool raw)
    : fd_(std::move(fd)), name_(std::move(name)), stamp_(platform::stamp_of(fd_.get())), in_(kInputBuffer) {
    fill_input(kLongestSignature);
    if (!raw) format_ = detect_format(pending());
    if (format_ == ImageFormat::Raw) {
        size_ = input_size(fd_.get());
    } else {
        try {
            decoder_ = make_decoder(format_);
        } catch (const std::bad_alloc&) {
            throw Failure(Exit::OsError, "out of memory for the " + std::string(format_name(format_)) +
                                             " decoder of " + name_);
        }
    }
}

ImageSource::~ImageSource() = default;
ImageSource::ImageSource(ImageSource&&) noexcept = default;
ImageSource& ImageSource::operator=(ImageSource&&) noexcept = default;

void ImageSource::check_unchanged() const {
    if (stamp_ && platform::stamp_of(fd_.get()) != stamp_) {
        throw Failure(Exit::NoInput, name_ + " was changed during the transfer (its size or modification time differs)");
    }
}

std::span<const std::uint8_t> ImageSource::pending() const {
    return std::span<const std::uint8_t>(in_).subspan(in_pos_, in_len_ - in_pos_);
}

void ImageSource::fill_input(std::size_t n) {
    if (in_len_ - in_pos_ >= n || input_ended_) return;
    // Keep what is unread at the front, then read behind it.
    std::memmove(in_.data(), in_.data() + in_pos_, in_len_ - in_pos_);
    in_len_ -= in_pos_;
    in_pos_ = 0;
    while (in_len_ < n && !input_ended_) {
        const std::size_t got = read_full(fd_.get(), std::span(in_).subspan(in_len_), name_);
        if (got < in_.size() - in_len_) input_ended_ = true;
        in_len_ += got;
    }
}

void ImageSource::bad_data(const std::string& why) const {
    throw Failure(Exit::NoInput, "cannot decompress " + name_ + " (" + std::string(format_name(format_)) +
                                     ") after " + std::to_string(produced_) + " bytes: " + why);
}

std::size_t ImageSource::read(std::span<std::uint8_t> buf) {
    std::size_t n = 0;
    if (peeked_ && !buf.empty()) {
        buf[0] = *peeked_;
        peeked_.reset();
        n = 1;
    }
    const auto rest = buf.subspan(n);
    n += format_ == ImageFormat::Raw ? read_raw(rest) : decode(rest);
    hash_.update(buf.first(n));
    produced_ += n;
    return n;
}

Failure image_shrank(const std::string& name) {
    return Failure(Exit::NoInput, name + " was changed during the transfer (it is shorter now)");
}

std::size_t ImageSource::read_again(std::span<std::uint8_t> buf, std::uint64_t offset) const {
    if (!rereadable_) throw std::logic_error("read_again on an image that is not kept whole");
    return read_full_at(fd_.get(), buf, offset, name_);
}

std::size_t ImageSource::read_raw(std::span<std::uint8_t> buf) {
    // What the signature check read comes first, then straight from the file.
    const auto p = pending();
    std::size_t got = std::min(p.size(), buf.size());
    std::copy_n(p.begin(), got, buf.begin());
    in_pos_ += got;
    if (got < buf.size() && !input_ended_) {
        const auto more = buf.subspan(got);
        const std::size_t m = read_full(fd_.get(), more, name_);
        if (m < more.size()) input_ended_ = true;
        got += m;
    }
    return got;
}

std::size_t ImageSource::decode(std::span<std::uint8_t> buf) {
    auto out = buf;
    // A decoder may need more than the bytes at hand before it can go on.
    std::size_t want = 1;
    while (!out.empty() && !image_ended_) {
        fill_input(want);
        auto in = pending();
        const std::size_t in_before = in.size(), out_before = out.size();
        bool stream_end = false;
        try {
            stream_end = decoder_->decode(in, out, input_ended_);
        } catch (const std::bad_alloc&) {
            throw Failure(Exit::OsError, "out of memory decompressing " + name_);
        } catch (const std::runtime_error& e) {
            bad_data(e.what());
        }
        in_pos_ += in_before - in.size();
        if (stream_end) {
            fill_input(kLongestSignature);
            if (pending().empty()) {
                image_ended_ = true;
            } else if (!decoder_->may_follow(pending())) {
                bad_data("unexpected data after the end of the compressed stream");
            } else {
                decoder_->restart();
            }
            continue;
        }
        const bool stuck = in.size() == in_before && out.size() == out_before;
        if (stuck && input_ended_) {
            bad_data(pending().empty() ? "the compressed stream is truncated"
                                       : "the decoder stopped before the end of the data");
        }
        want = stuck ? std::min(in.size() + 1, in_.size()) : 1;
    }
    return buf.size() - out.size();
}

bool ImageSource::at_end() {
    if (peeked_) return false;
    if (format_ == ImageFormat::Raw) {
        fill_input(1);  // read() hands out what is read ahead first
        return pending().empty();
    }
    std::uint8_t b = 0;
    if (decode(std::span(&b, 1)) == 0) return true;
    peeked_ = b;
    return false;
}

}  // namespace dfuctl
