#include "firmware.hpp"

#include <gadgetdfu/protocol.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "digest.hpp"
#include "files.hpp"
#include "interrupt.hpp"
#include "replies.hpp"

namespace dfuctl {
namespace {

static_assert(kTransferSize % gadgetdfu::kBulkMaxPacket == 0);
static_assert(kTransferSize % gadgetdfu::kBulkMaxPacketFullSpeed == 0);
static_assert(kSharedBusTransferSize % gadgetdfu::kBulkMaxPacket == 0);
static_assert(kSharedBusTransferSize % gadgetdfu::kBulkMaxPacketFullSpeed == 0);

// How often a board that is rebooting is looked for.
constexpr std::chrono::milliseconds kReturnPoll{500};

// The reply of a firmware command carries the errno of the board's open.
std::string open_failure(std::uint32_t error) {
    return std::string("the board cannot open its image file ") + kBoardImageFile + ": " +
           std::strerror(static_cast<int>(error));
}

// Clears the halt the board set on its OUT endpoint when it refused an
// upload, so that the next upload goes through. Called only once no
// transfer of the refused upload is queued any more: a queued one would
// otherwise move on into the board's next upload. Returns a note for the
// failure's message when the halt could not be cleared; the refusal stays
// the failure to report.
std::string lift_out_halt(Session& s) {
    try {
        s.clear_halt(gadgetdfu::kEndpointOut);
        return "";
    } catch (const Failure& f) {
        return std::string(" (clearing the halt failed too: ") + f.what() + ")";
    }
}

// What a board sends back during a flash, checked against the image. An
// image kept whole (a raw file, a shared image) is compared piece by piece
// as the bytes arrive, and the board's digest is worked out only when a
// byte differs or the board sent less: otherwise it is the image's own.
// That spares every board a SHA-256 pass, its largest cost besides the
// transfers. Any other image is hashed as it comes, as the board's digest
// must be.
class ReadBackCheck {
public:
    explicit ReadBackCheck(const ImageStream& image) : image_(image), comparing_(image.can_read_again()) {
        if (comparing_) piece_.resize(kComparePiece);
    }

    void add(std::span<const std::uint8_t> data) {
        if (comparing_ && !same_as_image(data)) {
            hash_image(received_);
            comparing_ = false;
        }
        if (!comparing_) hash_.update(data);
        received_ += data.size();
    }

    // The SHA-256 of all that was added; `image_digest` is the image's.
    std::string board_digest(const std::string& image_digest, std::uint64_t image_bytes) {
        if (comparing_) {
            if (received_ == image_bytes) return image_digest;
            hash_image(received_);  // the board sent a prefix of the image
        }
        return hash_.hex_digest();
    }

private:
    static constexpr std::size_t kComparePiece = 64 * 1024;

    bool same_as_image(std::span<const std::uint8_t> data) {
        for (std::size_t at = 0; at < data.size(); at += kComparePiece) {
            const auto part = data.subspan(at, std::min(kComparePiece, data.size() - at));
            const auto local = std::span(piece_).first(part.size());
            if (image_.read_again(local, received_ + at) < part.size() ||
                !std::equal(part.begin(), part.end(), local.begin()))
                return false;
        }
        return true;
    }

    // The image's first `length` bytes into the board's digest: the board
    // sent those same bytes.
    void hash_image(std::uint64_t length) {
        for (std::uint64_t at = 0; at < length;) {
            const auto local = std::span(piece_).first(
                static_cast<std::size_t>(std::min<std::uint64_t>(kComparePiece, length - at)));
            if (image_.read_again(local, at) < local.size()) throw image_shrank(image_.name());
            hash_.update(local);
            at += local.size();
        }
    }

    const ImageStream& image_;
    bool comparing_;
    std::vector<std::uint8_t> piece_;
    Sha256 hash_;
    std::uint64_t received_ = 0;
};

double seconds_between(SteadyTime from, SteadyTime to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

StreamOptions stream_options(Session& s, const std::string& operation, NowFn now,
                             std::chrono::milliseconds idle, std::function<void(std::uint64_t)> progress) {
    StreamOptions o;
    o.board = s.label();
    o.operation = operation;
    o.stall_timeout = std::chrono::milliseconds(s.options().timeout_ms);
    o.idle = idle;
    o.packet_size = s.bulk_packet_size();
    o.now = std::move(now);
    o.progress = std::move(progress);
    return o;
}

UploadResult upload_image(Session& s, const ReadFn& read, const StreamOptions& options) {
    const auto reply = s.prepare_stream(ORVEN_WRITE_FIRMWARE, {ORVEN_WRITE_FIRMWARE, 0, 0});
    if (const std::uint32_t error = firmware_open_errno(reply); error != 0) {
        // The board halted its OUT endpoint before it answered; nothing was sent.
        throw Failure(Exit::NoImageFile, open_failure(error) + lift_out_halt(s));
    }
    if (options.on_start) options.on_start();
    try {
        const auto pipe = s.link().open_pipe(gadgetdfu::kEndpointOut, kTransferSlots, options.transfer_size);
        return upload_stream(*pipe, read, options);
    } catch (const Failure& f) {
        // The pipe is gone here: it has cancelled and collected its transfers.
        if (f.code() != Exit::NotStored) throw;
        throw Failure(Exit::NotStored, f.what() + lift_out_halt(s));
    }
}

DownloadResult read_image(Session& s, std::uint64_t length, const WriteFn& write,
                          const StreamOptions& options) {
    const auto reply = s.prepare_stream(ORVEN_READ_FIRMWARE, gadgetdfu::encode_download_length(length));
    if (const std::uint32_t error = firmware_open_errno(reply); error != 0) {
        throw Failure(Exit::NoImageFile, open_failure(error));
    }
    if (options.on_start) options.on_start();
    const auto pipe = s.link().open_pipe(gadgetdfu::kEndpointIn, kTransferSlots, options.transfer_size);
    return download_stream(*pipe, length, write, options);
}

void refuse_empty(ImageStream& image, const std::string& verb) {
    const auto size = image.size();
    if (size ? *size == 0 : image.at_end())
        throw Failure(Exit::NoInput, "cannot " + verb + " " + image.name() + ": it is empty");
}

ReadFn image_reader(ImageStream& image) {
    return [&image](std::span<std::uint8_t> buf) {
        try {
            return image.read(buf);
        } catch (const Failure& f) {
            if (image.bytes() == 0) throw;
            throw Failure(f.code(), std::string(f.what()) + "; the board holds an incomplete image");
        }
    };
}

FlashResult flash_image(Session& s, ImageStream& image, const FlashOptions& options) {
    FlashOptions fo = options;
    if (!fo.now) fo.now = [] { return std::chrono::steady_clock::now(); };
    const std::string& name = image.name();
    // A compressed image or a pipe shows its size only once uploaded.
    const auto size = image.size();
    refuse_empty(image, "flash");
    if (size && *size > gadgetdfu::kMaxDownloadLength) {
        throw Failure(Exit::Usage, name + " is larger than the largest image the board can send back (" +
                                       std::to_string(gadgetdfu::kMaxDownloadLength) + " bytes)");
    }
    auto progress_of = [&fo](FlashStage stage, std::optional<std::uint64_t> total) {
        return [&fo, stage, total](std::uint64_t done) {
            if (fo.progress) fo.progress(stage, done, total);
        };
    };
    FlashResult r;

    SteadyTime started = fo.now();
    // Each stage's progress starts at 0 bytes when the board accepted its
    // request, so that rates are measured from there.
    auto up = stream_options(s, "upload", fo.now, fo.idle, progress_of(FlashStage::Upload, size));
    up.transfer_size = fo.transfer_size;
    up.on_start = [&] {
        started = fo.now();
        up.progress(0);
    };
    const auto uploaded = upload_image(s, image_reader(image), up);
    r.upload_seconds = seconds_between(started, fo.now());
    image.check_unchanged();
    r.sha256_local = image.sha256();
    r.bytes = uploaded.bytes;
    if (size && uploaded.bytes != *size) {
        throw Failure(Exit::NoInput, name +
                                         " changed while it was uploaded: " + std::to_string(uploaded.bytes) +
                                         " bytes instead of " + std::to_string(*size));
    }
    if (r.bytes > gadgetdfu::kMaxDownloadLength) {
        throw Failure(Exit::Usage, "the image from " + name + " (" + std::to_string(r.bytes) +
                                       " bytes) was uploaded, but it is larger than the board can send back");
    }

    ReadBackCheck board(image);
    auto back = stream_options(s, "read-back", fo.now, fo.idle, progress_of(FlashStage::ReadBack, r.bytes));
    back.transfer_size = fo.transfer_size;
    back.on_start = [&] {
        started = fo.now();
        back.progress(0);
    };
    const auto received = read_image(
        s, r.bytes, [&](std::span<const std::uint8_t> data) { board.add(data); }, back);
    r.read_back_seconds = seconds_between(started, fo.now());
    r.read_back = received.bytes;
    r.sha256_board = board.board_digest(r.sha256_local, r.bytes);
    r.match = received.bytes == r.bytes && r.sha256_board == r.sha256_local;
    // Whatever the board holds, it is not the file as it is now.
    image.check_unchanged();

    if (r.match && fo.reboot) {
        (void)s.vendor(ORVEN_REBOOT);
        r.rebooted = true;
    }
    return r;
}

std::string wait_for_return(Bus& bus, const BoardEntry& before, const GlobalOptions& options,
                            std::chrono::milliseconds limit) {
    const auto deadline = bus.now() + limit;
    bool left = false;
    std::string last_error;
    for (;;) {
        check_interrupted();
        // A rebooted board enumerates afresh: see Bus::fresh.
        Bus& current = bus.fresh();
        std::optional<BoardEntry> found;
        for (const auto& b : current.scan(true)) {
            if (b.serial == before.serial) found = b;
        }
        if (!found) {
            left = true;
        } else if (left || found->bus != before.bus || found->address != before.address) {
            // Back on the bus; its daemon may still be settling.
            try {
                Session s(current.open(*found), *found, options);
                return payload_text(s.vendor(ORVEN_GET_VERSION));
            } catch (const Failure& f) {
                if (f.code() == Exit::Aborted) throw;
                last_error = f.what();
            }
        }
        if (bus.now() >= deadline) {
            throw Failure(
                Exit::Timeout,
                board_label(before) + " did not come back within " +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s" +
                    (last_error.empty() ? "" : " (last error: " + last_error + ")"));
        }
        bus.pause(kReturnPoll);
    }
}

}  // namespace dfuctl
