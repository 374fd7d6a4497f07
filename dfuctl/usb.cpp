#include "usb.hpp"

#include <gadgetdfu/protocol.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "interrupt.hpp"
#include "platform.hpp"

namespace dfuctl::usb {

Context::Context(int verbose) {
    const int rc = libusb_init(&ctx_);
    if (rc != 0) {
        ctx_ = nullptr;
        throw Failure(Exit::OsError, std::string("no USB access: libusb cannot start (") +
                                         libusb_strerror(rc) +
                                         "); is usbfs there (/dev/bus/usb)? In a container or WSL the "
                                         "host's USB devices must be passed through");
    }
    if (verbose >= 2) (void)libusb_set_option(ctx_, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_DEBUG);
}

Context::~Context() {
    if (ctx_ != nullptr) libusb_exit(ctx_);
}

std::vector<Found> list_devices(const Context& ctx) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx.get(), &list);
    if (n < 0) {
        throw Failure(exit_for_libusb_error(static_cast<int>(n)),
                      std::string("cannot list USB devices: ") + libusb_strerror(static_cast<int>(n)));
    }
    std::vector<Found> out;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device* dev = list[i];
        libusb_device_descriptor dd{};
        if (libusb_get_device_descriptor(dev, &dd) != 0) continue;
        Found f;
        f.device.reset(libusb_ref_device(dev));
        f.bus = libusb_get_bus_number(dev);
        f.address = libusb_get_device_address(dev);
        std::uint8_t ports[8];
        const int depth = libusb_get_port_numbers(dev, ports, sizeof ports);
        f.path = std::to_string(f.bus);
        for (int k = 0; k < depth; ++k) {
            f.path += k == 0 ? '-' : '.';
            f.path += std::to_string(ports[k]);
        }
        f.vendor_id = dd.idVendor;
        f.product_id = dd.idProduct;
        out.push_back(std::move(f));
    }
    libusb_free_device_list(list, 1);
    return out;
}

Handle Handle::open(libusb_device* device, int& error) {
    Handle h;
    error = libusb_open(device, &h.handle_);
    if (error != 0) h.handle_ = nullptr;
    return h;
}

Handle::~Handle() { reset(); }

Handle::Handle(Handle&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), claimed_(std::exchange(other.claimed_, -1)) {}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = std::exchange(other.handle_, nullptr);
        claimed_ = std::exchange(other.claimed_, -1);
    }
    return *this;
}

void Handle::reset() {
    if (handle_ == nullptr) return;
    // Fails harmlessly when the board is gone; nothing to do about it then.
    if (claimed_ >= 0) (void)libusb_release_interface(handle_, claimed_);
    libusb_close(handle_);
    handle_ = nullptr;
    claimed_ = -1;
}

void Handle::release() {
    if (claimed_ >= 0) (void)libusb_release_interface(handle_, claimed_);
    claimed_ = -1;
}

int Handle::claim(int interface_number) {
    const int rc = libusb_claim_interface(handle_, interface_number);
    if (rc == 0) claimed_ = interface_number;
    return rc;
}

namespace {

void LIBUSB_CALL control_done(libusb_transfer* transfer) { *static_cast<int*>(transfer->user_data) = 1; }

// How often a control request that is waiting looks for a stop signal.
constexpr long kControlTickUs = 100000;

}  // namespace

int control(const Context& ctx, const Handle& h, std::uint8_t request_type, std::uint8_t request,
            std::uint16_t value, std::uint16_t index, std::span<std::uint8_t> data, unsigned timeout_ms) {
    // libusb_control_transfer() as libusb builds it, but with a stop signal
    // seen while the board takes its time: a board tool may hold the answer
    // for 10 s.
    const bool in = (request_type & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
    std::vector<unsigned char> buf(LIBUSB_CONTROL_SETUP_SIZE + data.size());
    libusb_fill_control_setup(buf.data(), request_type, request, value, index,
                              static_cast<std::uint16_t>(data.size()));
    if (!in) std::copy(data.begin(), data.end(), buf.begin() + LIBUSB_CONTROL_SETUP_SIZE);
    const std::unique_ptr<libusb_transfer, decltype(&libusb_free_transfer)> t(libusb_alloc_transfer(0),
                                                                              &libusb_free_transfer);
    if (!t) return LIBUSB_ERROR_NO_MEM;
    int completed = 0;
    libusb_fill_control_transfer(t.get(), h.get(), buf.data(), &control_done, &completed, timeout_ms);
    if (const int rc = libusb_submit_transfer(t.get()); rc != 0) return rc;
    bool cancelled = false;
    bool stopped = false;
    // The buffer stays until the transfer is back, cancelled or not.
    while (completed == 0) {
        if (!cancelled && interrupted()) {
            stopped = true;
            cancelled = true;
            (void)libusb_cancel_transfer(t.get());
        }
        timeval tv{0, kControlTickUs};
        const int rc = libusb_handle_events_timeout_completed(ctx.get(), &tv, &completed);
        if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED && !cancelled) {
            cancelled = true;
            (void)libusb_cancel_transfer(t.get());
        }
    }
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        if (in) std::copy_n(buf.begin() + LIBUSB_CONTROL_SETUP_SIZE, t->actual_length, data.begin());
        return t->actual_length;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_CANCELLED:
        if (stopped) return LIBUSB_ERROR_INTERRUPTED;
        break;
    default:
        break;
    }
    return LIBUSB_ERROR_IO;
}

bool still_attached(const Handle& h, unsigned wait_ms) {
    // Asks usbfs which driver holds interface 0: no bus traffic, and ENODEV
    // (LIBUSB_ERROR_NO_DEVICE) once the device is disconnected.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        if (libusb_kernel_driver_active(h.get(), 0) == LIBUSB_ERROR_NO_DEVICE) return false;
        if (std::chrono::steady_clock::now() >= deadline) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TransferStatus transfer_status(int status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return TransferStatus::Completed;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return TransferStatus::TimedOut;
    case LIBUSB_TRANSFER_CANCELLED:
        return TransferStatus::Cancelled;
    case LIBUSB_TRANSFER_STALL:
        return TransferStatus::Stall;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return TransferStatus::NoDevice;
    case LIBUSB_TRANSFER_OVERFLOW:
        return TransferStatus::Overflow;
    default:
        return TransferStatus::Error;
    }
}

LibusbBulkPipe::LibusbBulkPipe(const Context& ctx, const Handle& handle, std::uint8_t endpoint,
                               std::size_t slots, std::size_t slot_size)
    : ctx_(ctx.get()), handle_(handle), endpoint_(endpoint), size_(slot_size) {
    for (std::size_t i = 0; i < slots; ++i) {
        auto s = std::make_unique<Slot>();
        s->owner = this;
        s->index = i;
        s->transfer = libusb_alloc_transfer(0);
        if (s->transfer == nullptr) throw Failure(Exit::OsError, "out of memory for USB transfers");
        // Uninitialised on purpose: every byte is written before it is sent or read.
        s->memory.reset(new std::uint8_t[slot_size]);
        slots_.push_back(std::move(s));
    }
}

LibusbBulkPipe::~LibusbBulkPipe() {
    for (auto& s : slots_) {
        if (s->in_flight) (void)libusb_cancel_transfer(s->transfer);  // NOT_FOUND: already finishing
    }
    // Cancelled transfers still come back through the event loop; their
    // buffers must stay until then. A gone board returns them at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (in_flight_ > 0 && std::chrono::steady_clock::now() < deadline) {
        timeval tv{0, 100000};
        if (libusb_handle_events_timeout_completed(ctx_, &tv, nullptr) < 0) break;
    }
    for (auto& s : slots_) {
        if (s->in_flight) {
            // The kernel may still write into it: leaking is the safe choice,
            // and the process is about to end anyway.
            (void)s->memory.release();
            continue;
        }
        libusb_free_transfer(s->transfer);
    }
}

std::span<std::uint8_t> LibusbBulkPipe::buffer(std::size_t slot) {
    return {slots_.at(slot)->memory.get(), size_};
}

TransferStatus LibusbBulkPipe::submit(std::size_t slot, std::size_t length) {
    Slot& s = *slots_.at(slot);
    libusb_fill_bulk_transfer(s.transfer, handle_.get(), endpoint_, s.memory.get(), static_cast<int>(length),
                              &LibusbBulkPipe::on_complete, &s, 0);
    const int rc = libusb_submit_transfer(s.transfer);
    if (rc == LIBUSB_ERROR_NO_DEVICE) return TransferStatus::NoDevice;
    if (rc == LIBUSB_ERROR_PIPE) return TransferStatus::Stall;
    if (rc == LIBUSB_ERROR_NO_MEM) return TransferStatus::NoMemory;
    if (rc != 0) return TransferStatus::Error;
    s.in_flight = true;
    ++in_flight_;
    return TransferStatus::Completed;
}

void LIBUSB_CALL LibusbBulkPipe::on_complete(libusb_transfer* transfer) {
    auto* s = static_cast<Slot*>(transfer->user_data);
    s->in_flight = false;
    --s->owner->in_flight_;
    s->owner->done_.push_back(
        {s->index, transfer_status(transfer->status), static_cast<std::size_t>(transfer->actual_length)});
}

void LibusbBulkPipe::handle_events(std::chrono::milliseconds limit) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(limit).count();
    // The field types differ: time_t and suseconds_t on POSIX, long on Windows.
    timeval tv{static_cast<decltype(timeval::tv_sec)>(us / 1000000),
               static_cast<decltype(timeval::tv_usec)>(us % 1000000)};
    const int rc = libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
    if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED) {
        throw Failure(Exit::OsError, std::string("libusb event handling failed: ") + libusb_strerror(rc));
    }
}

std::optional<Completion> LibusbBulkPipe::wait(std::chrono::milliseconds limit) {
    if (done_.empty() && in_flight_ > 0) handle_events(limit);
    if (done_.empty()) return std::nullopt;
    Completion c = done_.front();
    done_.pop_front();
    return c;
}

void LibusbBulkPipe::cancel(std::size_t slot) {
    Slot& s = *slots_.at(slot);
    if (s.in_flight) (void)libusb_cancel_transfer(s.transfer);  // NOT_FOUND: it is finishing anyway
}

bool LibusbBulkPipe::device_present() { return still_attached(handle_, 500); }

DescriptorInfo convert_descriptors(const libusb_device_descriptor& dd, const libusb_config_descriptor* cfg) {
    DescriptorInfo info;
    info.id_vendor = dd.idVendor;
    info.id_product = dd.idProduct;
    info.bcd_device = dd.bcdDevice;
    info.bcd_usb = dd.bcdUSB;
    info.device_class = dd.bDeviceClass;
    info.device_subclass = dd.bDeviceSubClass;
    info.device_protocol = dd.bDeviceProtocol;
    info.max_packet0 = dd.bMaxPacketSize0;
    info.i_manufacturer = dd.iManufacturer;
    info.i_product = dd.iProduct;
    info.i_serial = dd.iSerialNumber;
    info.num_configurations = dd.bNumConfigurations;
    if (cfg == nullptr) return info;
    info.has_configuration = true;
    info.configuration_value = cfg->bConfigurationValue;
    info.i_configuration = cfg->iConfiguration;
    info.config_attributes = cfg->bmAttributes;
    info.max_power = cfg->MaxPower;
    for (int i = 0; i < cfg->bNumInterfaces; ++i) {
        const libusb_interface& itf = cfg->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& id = itf.altsetting[a];
            InterfaceInfo ii;
            ii.number = id.bInterfaceNumber;
            ii.alternate = id.bAlternateSetting;
            ii.interface_class = id.bInterfaceClass;
            ii.interface_subclass = id.bInterfaceSubClass;
            ii.interface_protocol = id.bInterfaceProtocol;
            ii.string_index = id.iInterface;
            for (int e = 0; e < id.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ed = id.endpoint[e];
                ii.endpoints.push_back(
                    {ed.bEndpointAddress, ed.bmAttributes, ed.wMaxPacketSize, ed.bInterval});
            }
            info.interfaces.push_back(std::move(ii));
        }
    }
    return info;
}

DescriptorInfo read_descriptors(libusb_device* dev, const std::string& label) {
    libusb_device_descriptor dd{};
    int rc = libusb_get_device_descriptor(dev, &dd);
    if (rc != 0)
        throw Failure(exit_for_libusb_error(rc),
                      std::string("cannot read the device descriptor: ") + libusb_strerror(rc));

    struct ConfigFree {
        void operator()(libusb_config_descriptor* c) const { libusb_free_config_descriptor(c); }
    };
    libusb_config_descriptor* raw = nullptr;
    rc = libusb_get_active_config_descriptor(dev, &raw);
    if (rc == LIBUSB_ERROR_NOT_FOUND && dd.bNumConfigurations > 0) {
        rc = libusb_get_config_descriptor(dev, 0, &raw);  // unconfigured: show the first one
    }
    std::unique_ptr<libusb_config_descriptor, ConfigFree> cfg(rc == 0 ? raw : nullptr);
    if (rc == LIBUSB_ERROR_NO_DEVICE)
        throw Failure(Exit::Vanished, label + " vanished while its descriptors were read");
    // libusb parses the descriptors the kernel kept from enumeration: an
    // I/O error here means that their lengths and counts do not add up.
    if (rc == LIBUSB_ERROR_IO) {
        throw Failure(Exit::Protocol,
                      label + " sent a malformed configuration descriptor (libusb cannot parse it)");
    }
    if (rc != 0 && rc != LIBUSB_ERROR_NOT_FOUND) {
        throw Failure(exit_for_libusb_error(rc),
                      std::string("cannot read the configuration descriptor: ") + libusb_strerror(rc));
    }
    return convert_descriptors(dd, cfg.get());
}

namespace {

constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kStandardIn = 0x80;
constexpr std::uint16_t kStringRequestLength = 255;
constexpr std::uint16_t kDefaultLangid = 0x0409;

}  // namespace

std::vector<BoardEntry> LibusbBus::scan(bool serials) {
    boards_.clear();
    auto found = list_devices(ctx_);
    // Every host with USB has at least its root hubs: a list without any
    // device means that this process cannot see the buses at all.
    if (found.empty()) {
        throw NoUsbAccess(Exit::OsError,
                          "no USB access: libusb sees no USB device at all, not even a root hub (in a "
                          "container or WSL the host's USB devices must be passed through)");
    }
    for (auto& f : found) {
        if (!is_board(f.vendor_id, f.product_id)) continue;
        BoardEntry e{f.path, platform::enumerated_serial(f.path), f.product_id, f.bus, f.address};
        if (!e.serial && serials) e.serial = serial_from_device(f.device.get());
        boards_.push_back({std::move(e), std::move(f.device)});
    }
    std::sort(boards_.begin(), boards_.end(), [](const Attached& a, const Attached& b) {
        return std::tie(a.entry.bus, a.entry.path) < std::tie(b.entry.bus, b.entry.path);
    });
    std::vector<BoardEntry> entries;
    for (const auto& b : boards_) entries.push_back(b.entry);
    return entries;
}

Bus& LibusbBus::fresh() {
    fresh_.reset();  // its context goes before the next one starts
    fresh_ = std::make_unique<LibusbBus>(timeout_ms_, verbose_);
    return *fresh_;
}

libusb_device* LibusbBus::device(const BoardEntry& board) const {
    for (const auto& b : boards_) {
        if (b.entry.bus == board.bus && b.entry.path == board.path) return b.device.get();
    }
    throw Failure(Exit::Internal, board_label(board) + " is not among the boards found");
}

DescriptorInfo LibusbBus::descriptors(const BoardEntry& board) {
    return read_descriptors(device(board), board_label(board));
}

std::unique_ptr<BoardLink> LibusbBus::open(const BoardEntry& board) {
    int rc = 0;
    Handle handle = Handle::open(device(board), rc);
    const std::string label = board_label(board);
    if (rc == LIBUSB_ERROR_ACCESS) {
        throw Failure(Exit::NoPermission, "permission denied opening " + label +
                                              platform::access_denied_advice(board.bus, board.address));
    }
    if (rc == LIBUSB_ERROR_NO_DEVICE)
        throw Failure(Exit::Vanished, label + " vanished before it could be opened");
    if (rc != 0)
        throw Failure(exit_for_libusb_error(rc), "cannot open " + label + ": " + libusb_strerror(rc));
    return std::make_unique<LibusbLink>(ctx_, std::move(handle));
}

std::optional<std::string> LibusbBus::serial_from_device(libusb_device* dev) const {
    int rc = 0;
    Handle h = Handle::open(dev, rc);
    if (rc != 0) return std::nullopt;
    std::vector<std::uint8_t> buf(kStringRequestLength);
    const int n = control(ctx_, h, kStandardIn, kGetDescriptor, 0x0300 | gadgetdfu::kStringSerial,
                          kDefaultLangid, buf, timeout_ms_);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return decode_string_descriptor(buf);
}

}  // namespace dfuctl::usb
