// The layer over libusb: RAII owners for the context, device references
// and handles, the asynchronous bulk pipe, the Bus and BoardLink of the
// session, and the conversion of libusb's descriptors for `describe`. No
// protocol logic lives here.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "descriptors.hpp"
#include "session.hpp"
#include "transfer.hpp"

namespace dfuctl::usb {

class Context {
public:
    // `verbose` 2 and more: libusb's own debug messages on standard error.
    explicit Context(int verbose = 0);  // throws Failure
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    libusb_context* get() const { return ctx_; }

private:
    libusb_context* ctx_ = nullptr;
};

struct DeviceUnref {
    void operator()(libusb_device* d) const { libusb_unref_device(d); }
};
using DeviceRef = std::unique_ptr<libusb_device, DeviceUnref>;

// A device found on the bus, before it is opened.
struct Found {
    DeviceRef device;
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    std::string path;  // "1-1.2"
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
};
// Every device currently attached (a fresh list on each call).
std::vector<Found> list_devices(const Context& ctx);

class Handle {
public:
    Handle() = default;
    // Returns the libusb error of libusb_open (0 on success) in `error`.
    static Handle open(libusb_device* device, int& error);
    ~Handle();
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    libusb_device_handle* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    // Claims the interface; it is released when the handle closes.
    int claim(int interface_number);
    // Releases a claimed interface now.
    void release();

private:
    void reset();
    libusb_device_handle* handle_ = nullptr;
    int claimed_ = -1;
};

// Synchronous control transfer on a handle of `ctx`: bytes moved, or a
// negative LIBUSB_ERROR_*. A stop signal (interrupt.hpp) cancels it:
// LIBUSB_ERROR_INTERRUPTED once the transfer is back.
int control(const Context& ctx, const Handle& h, std::uint8_t request_type, std::uint8_t request,
            std::uint16_t value, std::uint16_t index, std::span<std::uint8_t> data, unsigned timeout_ms);

// False once the kernel reports the device gone. Waits up to `wait_ms` for
// the kernel to notice a disconnect that is still being processed.
bool still_attached(const Handle& h, unsigned wait_ms);

TransferStatus transfer_status(int libusb_transfer_status);

// A BulkPipe on one endpoint of an open handle. Transfers carry no timeout;
// the streaming code keeps time itself. The destructor cancels whatever is
// still in flight and waits for it before the buffers go.
class LibusbBulkPipe final : public BulkPipe {
public:
    LibusbBulkPipe(const Context& ctx, const Handle& handle, std::uint8_t endpoint, std::size_t slots,
                   std::size_t slot_size);
    ~LibusbBulkPipe() override;
    LibusbBulkPipe(const LibusbBulkPipe&) = delete;
    LibusbBulkPipe& operator=(const LibusbBulkPipe&) = delete;

    std::size_t slot_count() const override { return slots_.size(); }
    std::size_t slot_size() const override { return size_; }
    std::span<std::uint8_t> buffer(std::size_t slot) override;
    TransferStatus submit(std::size_t slot, std::size_t length) override;
    std::optional<Completion> wait(std::chrono::milliseconds limit) override;
    void cancel(std::size_t slot) override;
    bool device_present() override;

private:
    struct Slot {
        LibusbBulkPipe* owner = nullptr;
        std::size_t index = 0;
        libusb_transfer* transfer = nullptr;
        std::unique_ptr<std::uint8_t[]> memory;
        bool in_flight = false;
    };
    static void LIBUSB_CALL on_complete(libusb_transfer* transfer);
    void handle_events(std::chrono::milliseconds limit);

    libusb_context* ctx_;
    const Handle& handle_;
    std::uint8_t endpoint_;
    std::size_t size_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::deque<Completion> done_;
    std::size_t in_flight_ = 0;
};

// libusb's parsed descriptors as `describe` shows them; `cfg` may be null
// (no configuration to show).
DescriptorInfo convert_descriptors(const libusb_device_descriptor& dd, const libusb_config_descriptor* cfg);

// The descriptors of a device as the host read them at enumeration: the
// device descriptor and the active configuration (the first one while the
// device is unconfigured). `label` names the board in messages.
DescriptorInfo read_descriptors(libusb_device* device, const std::string& label);

// An opened board.
class LibusbLink final : public BoardLink {
public:
    LibusbLink(const Context& ctx, Handle handle) : ctx_(ctx), handle_(std::move(handle)) {}

    int control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                std::span<std::uint8_t> data, unsigned timeout_ms) override {
        return usb::control(ctx_, handle_, request_type, request, value, index, data, timeout_ms);
    }
    int set_configuration(int configuration) override {
        // usbfs refuses SET_CONFIGURATION (EBUSY) while an interface is
        // claimed, by this handle too: a second transfer of the same session
        // (flash's read-back) releases the claim of the first.
        handle_.release();
        return libusb_set_configuration(handle_.get(), configuration);
    }
    int claim_interface(int interface_number) override { return handle_.claim(interface_number); }
    int clear_halt(std::uint8_t endpoint) override { return libusb_clear_halt(handle_.get(), endpoint); }
    bool full_speed() override {
        return libusb_get_device_speed(libusb_get_device(handle_.get())) == LIBUSB_SPEED_FULL;
    }
    bool still_attached(unsigned wait_ms) override { return usb::still_attached(handle_, wait_ms); }
    std::unique_ptr<BulkPipe> open_pipe(std::uint8_t endpoint, std::size_t slots,
                                        std::size_t slot_size) override {
        return std::make_unique<LibusbBulkPipe>(ctx_, handle_, endpoint, slots, slot_size);
    }

private:
    const Context& ctx_;
    Handle handle_;
};

// The boards on the host's buses. Owns the libusb context, which outlives
// every link it opens.
class LibusbBus final : public Bus {
public:
    explicit LibusbBus(unsigned timeout_ms, int verbose = 0)
        : timeout_ms_(timeout_ms), verbose_(verbose), ctx_(verbose) {}
    std::vector<BoardEntry> scan(bool serials) override;
    DescriptorInfo descriptors(const BoardEntry& board) override;
    std::unique_ptr<BoardLink> open(const BoardEntry& board) override;
    SteadyTime now() override { return std::chrono::steady_clock::now(); }
    void pause(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
    Bus& fresh() override;

private:
    struct Attached {
        BoardEntry entry;
        DeviceRef device;
    };
    libusb_device* device(const BoardEntry& board) const;
    std::optional<std::string> serial_from_device(libusb_device* device) const;

    unsigned timeout_ms_;
    int verbose_;
    std::unique_ptr<LibusbBus> fresh_;  // the last bus fresh() made
    Context ctx_;                       // before the boards: outlives every device reference
    std::vector<Attached> boards_;
};

}  // namespace dfuctl::usb
