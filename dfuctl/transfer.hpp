// Streaming over a bulk endpoint with several transfers in flight.
//
// The logic talks to a BulkPipe: a fixed set of buffers ("slots"), each of
// which can carry one transfer at a time. The libusb implementation lives
// in usb.cpp; the tests drive the same code with a simulated board.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <gadgetdfu/protocol.h>

#include "exit_codes.hpp"
#include "progress.hpp"

namespace dfuctl {

// Outcome of one bulk transfer, independent of libusb's numbering so that
// the streaming logic can be driven by a simulated pipe in the tests.
enum class TransferStatus {
    Completed,
    TimedOut,
    Cancelled,
    Stall,
    NoDevice,
    Overflow,
    NoMemory,  // the host's memory for transfers in flight is used up
    Error,
};

// Transfer status (of a failed transfer) to exit status.
Exit exit_for_transfer(TransferStatus status);
std::string_view transfer_status_name(TransferStatus status);

// Number of zero-length packets that close an upload of `image_length` bytes.
//
// The board reads the OUT pipe in requests of `read_size` bytes (1 MiB); a
// request ends when it is full or at a short packet, and a read that ends
// with no data closes the upload. So:
//  - length not a multiple of the packet size: the last data packet is short
//    and ends the last read; one ZLP then closes the upload;
//  - a multiple of the read size (0 included): the last read ended full; one
//    ZLP closes;
//  - a multiple of the packet size but not of the read size: the first ZLP
//    only ends the last, partly filled read, and a second one closes.
// One too many would be taken as the (empty) end of the next upload.
unsigned closing_zlp_count(std::uint64_t image_length, std::size_t packet_size, std::size_t read_size);

struct Completion {
    std::size_t slot = 0;
    TransferStatus status = TransferStatus::Completed;
    std::size_t actual = 0;  // bytes moved, also for a cancelled or failed transfer
};

class BulkPipe {
public:
    virtual ~BulkPipe() = default;
    virtual std::size_t slot_count() const = 0;
    virtual std::size_t slot_size() const = 0;
    virtual std::span<std::uint8_t> buffer(std::size_t slot) = 0;
    // Starts a transfer of `length` bytes (0: a zero-length packet) on a free
    // slot. Returns Completed when it was queued, otherwise why not.
    virtual TransferStatus submit(std::size_t slot, std::size_t length) = 0;
    // Waits up to `limit` for a transfer to finish. Each submitted transfer
    // finishes exactly once; the pipe reports them in the order they finish.
    virtual std::optional<Completion> wait(std::chrono::milliseconds limit) = 0;
    // Asks for a submitted transfer to end early; it still finishes through wait().
    virtual void cancel(std::size_t slot) = 0;
    // False once the board is known to be gone (used to tell a vanished board
    // from other transfer errors).
    virtual bool device_present() = 0;
};

// Fills `buf` completely unless the data ends; returns the byte count.
// Throws Failure on a read error.
using ReadFn = std::function<std::size_t(std::span<std::uint8_t> buf)>;
// Takes all of `data`; throws Failure on a write error.
using WriteFn = std::function<void(std::span<const std::uint8_t> data)>;

// The bulk transfers of an upload or download. Four of 1 MiB in flight
// keep a high-speed bus busy while one buffer is refilled or written out.
// Boards flashed at once share the host's bus, so each needs a shorter
// queue to keep its share busy: four of 256 KiB each. That keeps a
// station's memory low, and many boards inside the 16 MiB that Linux's
// usbfs allows all transfers in flight together by default (four boards
// of 4 MiB would not fit). Sizes are multiples of the bulk packet (512
// bytes at high speed, 64 at full speed) so that only the last transfer of
// an upload can end in a short packet.
inline constexpr std::size_t kTransferSlots = 4;
inline constexpr std::size_t kTransferSize = 1 << 20;
inline constexpr std::size_t kSharedBusTransferSize = 256 * 1024;

struct StreamOptions {
    std::string board;                              // "board 1-1 (serial abcdef01)" for messages
    std::string operation;                          // "upload", "download", "verify"
    std::chrono::milliseconds stall_timeout{5000};  // upload: no transfer finished for this long
    std::chrono::milliseconds idle{2000};           // download: no data for this long ends it
    // Download without a length: a board that sends more than the largest
    // image a request can name never stops sending.
    std::uint64_t most = gadgetdfu::kMaxDownloadLength;
    std::size_t packet_size = 512;              // bulk packet size of the link's speed
    std::size_t transfer_size = kTransferSize;  // of each bulk transfer (kTransferSlots in flight)
    NowFn now;
    std::function<void(std::uint64_t)> progress;  // bytes done so far
    std::function<void()> on_start;               // the board accepted the request; data follows
};

struct UploadResult {
    std::uint64_t bytes = 0;
    unsigned zero_length_packets = 0;
};

// Sends everything `read` yields, then the closing zero-length packets.
// The board halts its OUT endpoint when it cannot store the data (or has
// no image file open): a stall ends the upload with Exit::NotStored, and the
// caller clears the halt once the pipe is gone.
UploadResult upload_stream(BulkPipe& pipe, const ReadFn& read, const StreamOptions& options);

struct DownloadResult {
    std::uint64_t bytes = 0;
    bool short_packet = false;        // ended by a short packet
    bool idle = false;                // ended by an idle period
    std::uint64_t ignored_bytes = 0;  // arrived after a short packet had ended it
};

// Receives `length` bytes (0: as many as the board sends) into `write`.
// Without a length, or when the board has fewer bytes, the download ends at
// a short packet or after `idle` without data (the board sends no
// zero-length packet at the end).
DownloadResult download_stream(BulkPipe& pipe, std::uint64_t length, const WriteFn& write,
                               const StreamOptions& options);

}  // namespace dfuctl
