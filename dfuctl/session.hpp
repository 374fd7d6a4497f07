// Talking to one board: the requests on its control endpoint, with every
// failure turned into dfuctl's exit statuses and messages.
//
// The session reaches the board through two small interfaces: a Bus (which
// boards are attached, opening one) and a BoardLink (one opened board:
// control transfers and its bulk pipes). The libusb implementations live in
// usb.cpp; the tests drive the same session and commands with a simulated
// board, as transfer.hpp's BulkPipe does for the bulk streams.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gadgetdfu/protocol.h>

#include "board.hpp"
#include "cli.hpp"
#include "descriptors.hpp"
#include "progress.hpp"
#include "transfer.hpp"

namespace dfuctl {

// One opened board. Results are libusb's: bytes moved or 0 on success, or a
// negative LIBUSB_ERROR_* (LIBUSB_ERROR_PIPE: the board stalled).
class BoardLink {
public:
    virtual ~BoardLink() = default;
    virtual int control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index, std::span<std::uint8_t> data, unsigned timeout_ms) = 0;
    virtual int set_configuration(int configuration) = 0;
    // Claims the interface until the link closes.
    virtual int claim_interface(int interface_number) = 0;
    // CLEAR_FEATURE(ENDPOINT_HALT) on a bulk endpoint; the host's side of
    // the endpoint starts afresh too.
    virtual int clear_halt(std::uint8_t endpoint) = 0;
    // The link runs at full speed (12 Mbit/s, 64-byte bulk packets)
    // instead of high speed.
    virtual bool full_speed() = 0;
    // False once the kernel reports the board gone; waits up to `wait_ms`
    // for a disconnect that is still being processed.
    virtual bool still_attached(unsigned wait_ms) = 0;
    // A pipe on a bulk endpoint; it must be gone before the link.
    virtual std::unique_ptr<BulkPipe> open_pipe(std::uint8_t endpoint, std::size_t slots,
                                                std::size_t slot_size) = 0;
};

// This process sees no USB device at all, not even a root hub: a
// container or WSL without the host's devices, or a host whose USB stack
// is still coming up (Exit::OsError).
class NoUsbAccess : public Failure {
public:
    using Failure::Failure;
};

// The boards on the bus, and the clock the transfers keep time with.
class Bus {
public:
    virtual ~Bus() = default;
    // Boards attached now, sorted by bus and path. `serials`: also ask the
    // boards whose serial number the kernel does not show. Throws
    // NoUsbAccess.
    virtual std::vector<BoardEntry> scan(bool serials) = 0;
    // The descriptors the host read at enumeration, of a board of the last
    // scan; no request reaches the board. Throws Failure.
    virtual DescriptorInfo descriptors(const BoardEntry& board) = 0;
    // Opens a board of the last scan. Throws Failure (no permission, gone).
    virtual std::unique_ptr<BoardLink> open(const BoardEntry& board) = 0;
    virtual SteadyTime now() = 0;
    virtual void pause(std::chrono::milliseconds duration) = 0;
    // The bus as it is now, for each poll that waits for a board to appear
    // or come back. A libusb context learns of devices attached after it
    // started only from a hotplug service (udevd), so a libusb bus answers
    // with a bus on a fresh context; it stays valid until the next call.
    virtual Bus& fresh() { return *this; }
};

// How long a request that a board tool answers waits by default: longer
// than the board gives its tools, so that a slow tool's answer, or the
// board's own answer for a tool it had to stop, still arrives.
inline constexpr unsigned kBoardToolWaitMs = gadgetdfu::kToolLimitMs + 2000;

class Session {
public:
    Session(std::unique_ptr<BoardLink> link, BoardEntry board, const GlobalOptions& options);

    const BoardEntry& board() const { return board_; }
    std::string label() const { return board_label(board_); }
    const GlobalOptions& options() const { return options_; }
    BoardLink& link() { return *link_; }

    // Device-to-host control request; empty result on a stall. `what` names
    // the request in messages ("" for a raw one). `timeout_ms` 0: --timeout.
    std::optional<std::vector<std::uint8_t>> control_in_or_stall(std::uint8_t type, std::uint8_t request,
                                                                 std::uint16_t value, std::uint16_t index,
                                                                 std::uint16_t length, const std::string& what,
                                                                 unsigned timeout_ms = 0);
    // The same; a stall is a failure.
    std::vector<std::uint8_t> control_in(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                         std::uint16_t index, std::uint16_t length, const std::string& what,
                                         unsigned timeout_ms = 0);
    void control_out(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                     std::vector<std::uint8_t> data, const std::string& what);

    // One vendor command; the reply is checked before it is returned.
    // `request` 0: the command number itself. A command that a board tool
    // answers waits at least kBoardToolWaitMs unless --timeout was given.
    std::vector<std::uint8_t> vendor(std::uint32_t command, std::uint8_t request = 0, std::uint16_t value = 0,
                                     std::uint16_t index = 0);

    // SET_CONFIGURATION n (sent even when n is selected already).
    void set_configuration(int n);
    // Claims interface 0.
    void claim();
    // Clears a halt of a bulk endpoint. Tolerates a board that is gone.
    void clear_halt(std::uint8_t endpoint);
    // The bulk packet size of the link's speed.
    std::size_t bulk_packet_size() {
        return link_->full_speed() ? gadgetdfu::kBulkMaxPacketFullSpeed : gadgetdfu::kBulkMaxPacket;
    }

    // A fresh transfer set-up: configuration 1 (the board restarts its
    // streams), the interface, then the vendor command that opens the
    // image. Returns the command's reply.
    std::vector<std::uint8_t> prepare_stream(std::uint32_t command,
                                             const gadgetdfu::DownloadRequest& request);

private:
    [[noreturn]] void control_failure(int rc, const std::string& what, unsigned timeout_ms = 0);

    std::unique_ptr<BoardLink> link_;
    BoardEntry board_;
    GlobalOptions options_;
};

// The one board the options name (Exit::NoBoard otherwise). The serial
// numbers are asked only when a --serial has to be matched.
BoardEntry select_one(Bus& bus, const GlobalOptions& options);
// The same, opened.
Session open_session(Bus& bus, const GlobalOptions& options);

}  // namespace dfuctl
