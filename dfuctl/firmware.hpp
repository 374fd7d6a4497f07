// Moving the firmware image in and out of one board over an open session:
// the upload, the read-back, and the flash transaction built on them
// (upload, read back and compare SHA-256, reboot, wait for the board's
// return). Nothing here prints: progress goes to callbacks and the outcome
// is returned or thrown as a Failure, so that a caller can run the same
// transaction on several boards at once, one session each.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "image_source.hpp"
#include "session.hpp"
#include "transfer.hpp"

namespace dfuctl {

// Where the board keeps the image (for messages).
inline constexpr const char* kBoardImageFile = "/tmp/firmware";

// Stream options for a transfer on `s`: its label, its time-out, the
// packet size of its link.
StreamOptions stream_options(Session& s, const std::string& operation, NowFn now,
                             std::chrono::milliseconds idle, std::function<void(std::uint64_t)> progress);

// Configures the board, opens its image for writing and streams what `read`
// yields into it. Succeeds only when the board took every byte and the end.
// Fails with Exit::NoImageFile, before any data moves, when the board
// cannot open its image file; with Exit::NotStored when it refuses the data
// (its OUT endpoint halted). The halt is cleared in both cases.
UploadResult upload_image(Session& s, const ReadFn& read, const StreamOptions& options);

// Configures the board, opens its image for reading and receives `length`
// bytes (0: all of it) into `write`. Fails at once with Exit::NoImageFile
// when the board cannot open its image file.
DownloadResult read_image(Session& s, std::uint64_t length, const WriteFn& write,
                          const StreamOptions& options);

// Throws Failure(Exit::NoInput) "cannot VERB NAME: it is empty" for an
// image without a byte: the board would be left with an empty image (or,
// compared, any image would match).
void refuse_empty(ImageStream& image, const std::string& verb);

// Reads `image` for an upload; bad data found half-way is reported with
// what it means for the board.
ReadFn image_reader(ImageStream& image);

enum class FlashStage { Upload, ReadBack };

struct FlashOptions {
    bool reboot = false;                   // reboot the board once the read-back matched
    std::chrono::milliseconds idle{2000};  // read-back: a board with a shorter image stops sending
    std::size_t transfer_size = kTransferSize;
    NowFn now;  // default: the steady clock
    // Bytes done of the stage, out of `total` (the image's size; unknown
    // while a compressed image or a pipe is uploaded).
    std::function<void(FlashStage stage, std::uint64_t done, std::optional<std::uint64_t> total)> progress;
};

struct FlashResult {
    std::uint64_t bytes = 0;      // the image's size
    std::uint64_t read_back = 0;  // bytes the board sent back
    std::string sha256_local;
    std::string sha256_board;
    bool match = false;  // the board sent the whole image back and the digests agree
    double upload_seconds = 0;
    double read_back_seconds = 0;
    bool rebooted = false;
};

// The flash transaction on one opened board: upload `image` (decompressed
// on the way), read as many bytes back and compare them with the image
// (byte by byte when the image can be read again, by SHA-256 otherwise;
// both digests are in the result either way), then (options.reboot, and
// only on a match) send the reboot command. Failures of the board or the
// link are thrown; a mismatch is a result. An image file whose size or
// modification time changed before the read-back ended fails with
// Exit::NoInput, and the board is not rebooted.
FlashResult flash_image(Session& s, ImageStream& image, const FlashOptions& options);

// After a reboot: waits until the board with `before`'s serial number has
// left the bus and come back (or is back at another address) and answers
// GET_VERSION; returns the version. Exit::Timeout after `limit`.
std::string wait_for_return(Bus& bus, const BoardEntry& before, const GlobalOptions& options,
                            std::chrono::milliseconds limit);

}  // namespace dfuctl
