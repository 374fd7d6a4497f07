#include "commands.hpp"

#include <gadgetdfu/protocol.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>

#include <nlohmann/json.hpp>

#include "descriptors.hpp"
#include "digest.hpp"
#include "files.hpp"
#include "numbers.hpp"
#include "replies.hpp"
#include "usb.hpp"

namespace dfuctl {
namespace {

using Json = nlohmann::ordered_json;

// Four 1 MiB transfers in flight keep a high-speed bus busy while one
// buffer is being refilled or written out, and stay well inside usbfs's
// default 16 MiB budget. The size must be a multiple of the 512-byte packet
// so that only the last transfer of an upload can end in a short packet.
constexpr std::size_t kTransferSlots = 4;
constexpr std::size_t kTransferSize = 1 << 20;
static_assert(kTransferSize % gadgetdfu::kBulkMaxPacket == 0);

constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kStandardIn = 0x80;
constexpr std::uint16_t kStringRequestLength = 255;
constexpr std::uint16_t kDefaultLangid = 0x0409;

SteadyTime steady_now() { return std::chrono::steady_clock::now(); }

void print_json(std::ostream& out, const Json& j) {
    // Texts from the board need not be valid UTF-8; replace rather than throw.
    out << j.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

std::optional<std::string> sysfs_serial(const std::string& path) {
    // The kernel read the serial number at enumeration; asking it costs no
    // bus traffic and needs no access to the device node.
    std::ifstream f("/sys/bus/usb/devices/" + path + "/serial");
    std::string line;
    if (!f || !std::getline(f, line)) return std::nullopt;
    return line;
}

class Session {
public:
    explicit Session(const GlobalOptions& g) : g_(g) {}

    // Boards on the bus, sorted by path. `serials`: also ask the boards
    // whose serial the kernel does not show.
    std::vector<BoardEntry> scan(bool serials) {
        boards_.clear();
        for (auto& f : usb::list_devices(ctx_)) {
            if (!is_board(f.vendor_id, f.product_id)) continue;
            BoardEntry e{f.path, sysfs_serial(f.path), f.product_id, f.bus, f.address};
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

    void select() { chosen_ = select_board(scan(g_.selector.serial.has_value()), g_.selector); }

    void open() {
        select();
        int rc = 0;
        handle_ = usb::Handle::open(device(), rc);
        if (rc == LIBUSB_ERROR_ACCESS) {
            char node[64];
            std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", board().bus, board().address);
            throw Failure(Exit::NoPermission,
                          "permission denied opening " + label() + " (" + node +
                              "); install 70-gadgetdfu.rules into /etc/udev/rules.d and replug the board, "
                              "or run dfuctl as root");
        }
        if (rc == LIBUSB_ERROR_NO_DEVICE)
            throw Failure(Exit::Vanished, label() + " vanished before it could be opened");
        if (rc != 0) {
            throw Failure(exit_for_libusb_error(rc), "cannot open " + label() + ": " + libusb_strerror(rc));
        }
    }

    const BoardEntry& board() const { return boards_.at(chosen_).entry; }
    libusb_device* device() const { return boards_.at(chosen_).device.get(); }
    std::string label() const { return board_label(board()); }
    const usb::Context& context() const { return ctx_; }
    const usb::Handle& handle() const { return handle_; }
    const GlobalOptions& options() const { return g_; }

    // Device-to-host control request; empty result on a stall.
    std::optional<std::vector<std::uint8_t>> control_in_or_stall(std::uint8_t type, std::uint8_t request,
                                                                 std::uint16_t value, std::uint16_t index,
                                                                 std::uint16_t length,
                                                                 const std::string& what) {
        std::vector<std::uint8_t> buf(length);
        const int rc = usb::control(handle_, type, request, value, index, buf, g_.timeout_ms);
        if (rc == LIBUSB_ERROR_PIPE) return std::nullopt;
        if (rc < 0) control_failure(rc, what);
        buf.resize(static_cast<std::size_t>(rc));
        return buf;
    }

    std::vector<std::uint8_t> control_in(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                         std::uint16_t index, std::uint16_t length, const std::string& what) {
        auto r = control_in_or_stall(type, request, value, index, length, what);
        if (!r) throw Failure(Exit::Protocol, stalled_message(what));
        return std::move(*r);
    }

    void control_out(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                     std::vector<std::uint8_t> data, const std::string& what) {
        const int rc = usb::control(handle_, type, request, value, index, data, g_.timeout_ms);
        if (rc == LIBUSB_ERROR_PIPE) throw Failure(Exit::Protocol, stalled_message(what));
        if (rc < 0) control_failure(rc, what);
    }

    // One vendor command; the reply is checked before it is returned.
    std::vector<std::uint8_t> vendor(std::uint32_t command, std::uint8_t request = 0, std::uint16_t value = 0,
                                     std::uint16_t index = 0) {
        if (request == 0) request = static_cast<std::uint8_t>(command);
        auto reply = control_in(gadgetdfu::kVendorRequestIn, request, value, index,
                                reply_request_length(command), std::string(command_name(command)));
        check_reply(command, reply);
        return reply;
    }

    void set_configuration(int n) {
        const std::string what = "SET_CONFIGURATION " + std::to_string(n);
        const int rc = libusb_set_configuration(handle_.get(), n);
        if (rc == 0) return;
        if (rc == LIBUSB_ERROR_BUSY) {
            throw Failure(Exit::OsError, "cannot send " + what + " to " + label() +
                                             ": another program has claimed its interface");
        }
        if (rc == LIBUSB_ERROR_NOT_FOUND || rc == LIBUSB_ERROR_INVALID_PARAM) {
            throw Failure(Exit::OsError, "the host refused " + what + ": " + label() +
                                             " has no configuration " + std::to_string(n));
        }
        control_failure(rc, what);
    }

    void claim() {
        const int rc = handle_.claim(gadgetdfu::kInterfaceNumber);
        if (rc == 0) return;
        if (rc == LIBUSB_ERROR_BUSY) {
            throw Failure(Exit::OsError, "interface 0 of " + label() + " is claimed by another program");
        }
        control_failure(rc, "claiming interface 0");
    }

    // A fresh transfer set-up: configuration 1 (the board restarts its
    // streams), the interface, then the vendor command that opens the image.
    void prepare_stream(std::uint32_t command, const gadgetdfu::DownloadRequest& request) {
        set_configuration(gadgetdfu::kConfigurationValue);
        claim();
        (void)vendor(command, request.bRequest, request.wValue, request.wIndex);
    }

private:
    std::string stalled_message(const std::string& what) const {
        return what.empty() ? "request stalled" : "request stalled (" + what + ")";
    }

    [[noreturn]] void control_failure(int rc, const std::string& what) {
        // A board pulled mid-request often shows as a plain I/O error first.
        if (rc == LIBUSB_ERROR_IO && !usb::still_attached(handle_, 500)) rc = LIBUSB_ERROR_NO_DEVICE;
        const std::string req = what.empty() ? "the request" : what;
        switch (rc) {
        case LIBUSB_ERROR_NO_DEVICE:
            throw Failure(Exit::Vanished, label() + " vanished during " + req);
        case LIBUSB_ERROR_TIMEOUT:
            throw Failure(Exit::Timeout, "timed out after " + std::to_string(g_.timeout_ms) +
                                             " ms waiting for " + label() + " to answer " + req);
        case LIBUSB_ERROR_OVERFLOW:
            throw Failure(Exit::Protocol, label() + " sent more than asked for in reply to " + req);
        default:
            throw Failure(exit_for_libusb_error(rc), req + " failed: " + libusb_strerror(rc));
        }
    }

    std::optional<std::string> serial_from_device(libusb_device* dev) {
        int rc = 0;
        usb::Handle h = usb::Handle::open(dev, rc);
        if (rc != 0) return std::nullopt;
        std::vector<std::uint8_t> buf(kStringRequestLength);
        const int n = usb::control(h, kStandardIn, kGetDescriptor, 0x0300 | gadgetdfu::kStringSerial,
                                   kDefaultLangid, buf, g_.timeout_ms);
        if (n < 0) return std::nullopt;
        buf.resize(static_cast<std::size_t>(n));
        return decode_string_descriptor(buf);
    }

    struct Attached {
        BoardEntry entry;
        usb::DeviceRef device;
    };

    GlobalOptions g_;
    usb::Context ctx_;  // before the members below: outlives every device and handle
    std::vector<Attached> boards_;
    std::size_t chosen_ = 0;
    usb::Handle handle_;
};

StreamOptions stream_options(const Session& s, const std::string& operation, ProgressMeter& meter,
                             unsigned idle_ms) {
    StreamOptions o;
    o.board = s.label();
    o.operation = operation;
    o.stall_timeout = std::chrono::milliseconds(s.options().timeout_ms);
    o.idle = std::chrono::milliseconds(idle_ms);
    o.now = steady_now;
    o.progress = [&meter](std::uint64_t done) { meter.update(done); };
    return o;
}

bool live_progress(const GlobalOptions& g) { return !g.quiet && ::isatty(STDERR_FILENO) == 1; }

void print_transfer_summary(std::ostream& out, const GlobalOptions& g, const std::string& operation,
                            const std::string& verb, std::uint64_t bytes, double seconds) {
    if (g.json) {
        print_json(out, Json{{"operation", operation},
                             {"bytes", bytes},
                             {"seconds", seconds},
                             {"mb_per_s", megabytes_per_second(bytes, seconds)}});
    } else {
        out << format_summary(verb, bytes, seconds) << '\n';
    }
}

// ---- the commands ----

int cmd_list(Session& s, std::ostream& out) {
    const auto boards = s.scan(true);
    if (boards.empty()) throw Failure(Exit::NoBoard, "no board attached");
    if (s.options().json) {
        Json arr = Json::array();
        for (const auto& b : boards) {
            arr.push_back(Json{{"serial", b.serial ? Json(*b.serial) : Json(nullptr)},
                               {"path", b.path},
                               {"product_id", b.product_id},
                               {"bus", b.bus},
                               {"address", b.address}});
        }
        print_json(out, arr);
    } else {
        for (const auto& b : boards) out << format_board_line(b) << '\n';
    }
    return 0;
}

int cmd_describe(Session& s, std::ostream& out) {
    s.select();
    libusb_device* dev = s.device();
    libusb_device_descriptor dd{};
    int rc = libusb_get_device_descriptor(dev, &dd);
    if (rc != 0)
        throw Failure(exit_for_libusb_error(rc),
                      std::string("cannot read the device descriptor: ") + libusb_strerror(rc));
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
        throw Failure(Exit::Vanished, s.label() + " vanished while its descriptors were read");
    if (rc != 0 && rc != LIBUSB_ERROR_NOT_FOUND) {
        throw Failure(exit_for_libusb_error(rc),
                      std::string("cannot read the configuration descriptor: ") + libusb_strerror(rc));
    }
    if (cfg) {
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
    }
    if (s.options().json) {
        print_json(out, describe_json(info));
    } else {
        for (const auto& [key, value] : describe_lines(info)) out << key << ' ' << value << '\n';
    }
    return 0;
}

int cmd_strings(Session& s, std::ostream& out) {
    s.open();
    auto get = [&](std::uint8_t index, std::uint16_t langid) {
        return s.control_in_or_stall(kStandardIn, kGetDescriptor, static_cast<std::uint16_t>(0x0300 | index),
                                     langid, kStringRequestLength,
                                     "GET_DESCRIPTOR(string " + std::to_string(index) + ")");
    };
    auto malformed = [](const std::string& what, const std::vector<std::uint8_t>& bytes) {
        return Failure(Exit::Protocol, "malformed " + what + ": [" + to_hex(bytes) + "]");
    };

    std::optional<std::vector<std::uint16_t>> langids;
    if (const auto r = get(0, 0)) {
        langids = decode_langids(*r);
        if (!langids) throw malformed("language list (string 0)", *r);
    }
    const std::uint16_t langid = langids && !langids->empty() ? langids->front() : kDefaultLangid;
    std::vector<std::optional<std::string>> texts;
    for (std::uint8_t i = 1; i <= gadgetdfu::kStringInterface; ++i) {
        const auto r = get(i, langid);
        if (!r) {
            texts.emplace_back();
            continue;
        }
        auto text = decode_string_descriptor(*r);
        if (!text) throw malformed("string descriptor " + std::to_string(i), *r);
        texts.push_back(std::move(text));
    }
    std::optional<OsStringDescriptor> os;
    if (const auto r = get(gadgetdfu::kStringMsOs, 0)) {
        os = decode_os_string(*r);
        if (!os) throw malformed("OS string descriptor (string 0xee)", *r);
    }

    if (s.options().json) {
        Json j;
        j["langids"] = langids ? Json(*langids) : Json(nullptr);
        Json strings = Json::object();
        for (std::size_t i = 0; i < texts.size(); ++i) {
            strings[std::to_string(i + 1)] = texts[i] ? Json(*texts[i]) : Json(nullptr);
        }
        j["strings"] = std::move(strings);
        j["ms_os"] =
            os ? Json{{"signature", os->signature}, {"vendor_code", os->vendor_code}} : Json(nullptr);
        print_json(out, j);
        return 0;
    }
    out << "0";
    if (!langids)
        out << " (stalled)";
    else
        for (auto id : *langids) out << ' ' << hex_value(id, 4);
    out << '\n';
    for (std::size_t i = 0; i < texts.size(); ++i)
        out << i + 1 << ' ' << texts[i].value_or("(stalled)") << '\n';
    if (os) {
        out << "0xee " << os->signature << " vendor-code " << hex_value(os->vendor_code, 2) << '\n';
    } else {
        out << "0xee (stalled)\n";
    }
    return 0;
}

// Prints {"stalled":true} for --json before the stall becomes the exit status.
template <typename Fn>
auto json_stall_guard(const GlobalOptions& g, std::ostream& out, Fn&& fn) {
    try {
        return fn();
    } catch (const Failure& f) {
        if (g.json && f.code() == Exit::Protocol) print_json(out, Json{{"stalled", true}});
        throw;
    }
}

void print_bytes(std::ostream& out, const GlobalOptions& g, const std::vector<std::uint8_t>& bytes,
                 const char* direction) {
    if (g.json) {
        print_json(out, Json{{"bytes", to_hex(bytes)}, {"length", bytes.size()}, {"direction", direction}});
    } else {
        out << to_hex(bytes) << '\n';
    }
}

int cmd_string(Session& s, const Invocation& inv, std::ostream& out) {
    s.open();
    const auto bytes = json_stall_guard(s.options(), out, [&] {
        return s.control_in(kStandardIn, kGetDescriptor,
                            static_cast<std::uint16_t>(0x0300 | inv.string_index), inv.langid,
                            kStringRequestLength, "");
    });
    print_bytes(out, s.options(), bytes, "in");
    return 0;
}

int cmd_control(Session& s, const Invocation& inv, std::ostream& out) {
    s.open();
    const auto& c = inv.control;
    if (c.request_type & 0x80) {
        const auto bytes = json_stall_guard(s.options(), out, [&] {
            return s.control_in(c.request_type, c.request, c.value, c.index, c.length, "");
        });
        print_bytes(out, s.options(), bytes, "in");
    } else {
        json_stall_guard(s.options(), out, [&] {
            s.control_out(c.request_type, c.request, c.value, c.index, c.data, "");
            return 0;
        });
        if (s.options().json) print_bytes(out, s.options(), c.data, "out");
    }
    return 0;
}

int cmd_set_config(Session& s, const Invocation& inv, std::ostream& out) {
    s.open();
    s.set_configuration(inv.configuration);
    if (s.options().json) print_json(out, Json{{"configuration", inv.configuration}});
    return 0;
}

int cmd_upload(Session& s, const Invocation& inv, std::ostream& out, std::ostream& err) {
    const UniqueFd input = open_input(inv.file);
    const auto size = input_size(input.get());
    s.open();
    s.prepare_stream(ORVEN_WRITE_FIRMWARE, {ORVEN_WRITE_FIRMWARE, 0, 0});
    usb::LibusbBulkPipe pipe(s.context(), s.handle(), gadgetdfu::kEndpointOut, kTransferSlots, kTransferSize);
    ProgressMeter meter(live_progress(s.options()), err, size, steady_now);
    const auto result = upload_stream(
        pipe, [&](std::span<std::uint8_t> buf) { return read_full(input.get(), buf, inv.file); },
        stream_options(s, "upload", meter, inv.idle_ms));
    meter.finish(result.bytes);
    print_transfer_summary(out, s.options(), "upload", "uploaded", result.bytes, meter.seconds());
    return 0;
}

int cmd_download(Session& s, const Invocation& inv, std::ostream& out, std::ostream& err) {
    s.open();
    const UniqueFd output = create_output(inv.file);
    // With the image on standard output, the report goes to standard error.
    std::ostream& report = inv.file == "-" ? err : out;
    s.prepare_stream(ORVEN_READ_FIRMWARE, gadgetdfu::encode_download_length(inv.length));
    usb::LibusbBulkPipe pipe(s.context(), s.handle(), gadgetdfu::kEndpointIn, kTransferSlots, kTransferSize);
    ProgressMeter meter(live_progress(s.options()), err,
                        inv.length ? std::optional<std::uint64_t>(inv.length) : std::nullopt, steady_now);
    const auto result = download_stream(
        pipe, inv.length,
        [&](std::span<const std::uint8_t> data) { write_full(output.get(), data, inv.file); },
        stream_options(s, "download", meter, inv.idle_ms));
    meter.finish(result.bytes);
    if (inv.length != 0 && result.bytes < inv.length) {
        err << "dfuctl: warning: the board sent " << result.bytes << " of " << inv.length
            << " bytes (its image is shorter)\n";
    } else if (result.bytes == 0) {
        err << "dfuctl: warning: the board sent no data (its image is empty or missing)\n";
    }
    print_transfer_summary(report, s.options(), "download", "downloaded", result.bytes, meter.seconds());
    return 0;
}

int cmd_verify(Session& s, const Invocation& inv, std::ostream& out, std::ostream& err) {
    const UniqueFd input = open_input(inv.file);
    const auto size = input_size(input.get());
    if (!size) throw Failure(Exit::NoInput, "cannot verify " + inv.file + ": its size is unknown");
    if (*size > gadgetdfu::kMaxDownloadLength) {
        throw Failure(Exit::Usage, inv.file + " is larger than the largest image the board can send (" +
                                       std::to_string(gadgetdfu::kMaxDownloadLength) + " bytes)");
    }
    s.open();
    Sha256 local_hash, board_hash;
    std::vector<std::uint8_t> local(kTransferSize);
    std::uint64_t compared = 0;
    std::optional<std::uint64_t> first_difference;
    ProgressMeter meter(live_progress(s.options()), err, *size, steady_now);
    std::uint64_t received = 0;
    // An empty file matches the first 0 bytes of any image; asking for a
    // length of 0 would mean the whole image, so nothing is requested.
    if (*size > 0) {
        s.prepare_stream(ORVEN_READ_FIRMWARE, gadgetdfu::encode_download_length(*size));
        usb::LibusbBulkPipe pipe(s.context(), s.handle(), gadgetdfu::kEndpointIn, kTransferSlots,
                                 kTransferSize);
        meter.start();
        const auto result = download_stream(
            pipe, *size,
            [&](std::span<const std::uint8_t> data) {
                board_hash.update(data);
                const std::size_t n = read_full(input.get(), std::span(local).first(data.size()), inv.file);
                local_hash.update(std::span(local).first(n));
                if (!first_difference) {
                    const auto m = std::mismatch(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n),
                                                 local.begin());
                    const auto at = static_cast<std::uint64_t>(m.first - data.begin());
                    if (at < data.size()) first_difference = compared + at;
                }
                compared += data.size();
            },
            stream_options(s, "verify", meter, inv.idle_ms));
        received = result.bytes;
    }
    // The rest of the local file, when the board sent less.
    for (;;) {
        const std::size_t n = read_full(input.get(), local, inv.file);
        if (n == 0) break;
        local_hash.update(std::span(local).first(n));
    }
    if (!first_difference && received < *size) first_difference = received;
    meter.finish(received);
    const std::string sha_local = local_hash.hex_digest();
    const std::string sha_board = board_hash.hex_digest();
    const bool match = !first_difference && sha_local == sha_board;
    const double seconds = meter.seconds();
    if (s.options().json) {
        print_json(out, Json{{"operation", "verify"},
                             {"bytes", received},
                             {"seconds", seconds},
                             {"mb_per_s", megabytes_per_second(received, seconds)},
                             {"sha256_local", sha_local},
                             {"sha256_board", sha_board},
                             {"match", match}});
    } else {
        out << "sha256 local  " << sha_local << '\n' << "sha256 board  " << sha_board << '\n';
        out << format_summary("verified", received, seconds) << (match ? ": match" : ": MISMATCH") << '\n';
    }
    if (match) return 0;
    out.flush();
    if (received < *size) {
        err << "dfuctl: " << inv.file << " differs from the board's image: the board sent " << received
            << " of " << *size << " bytes\n";
    } else {
        err << "dfuctl: " << inv.file << " differs from the board's image; first difference at byte "
            << first_difference.value_or(0) << '\n';
    }
    return static_cast<int>(Exit::Mismatch);
}

int cmd_info(Session& s, std::ostream& out) {
    s.open();
    const std::string version = payload_text(s.vendor(ORVEN_GET_VERSION));
    const FlashSize flash = decode_flash_size(s.vendor(ORVEN_GET_FLASHSIZE));
    const EmmcWear wear = decode_emmc_wear(payload_text(s.vendor(ORVEN_GET_EMMC_PROPERTIES)));
    const std::string serial = decode_serial(s.vendor(ORVEN_GET_SERIAL));

    if (s.options().json) {
        auto wear_json = [](const WearValue& w) {
            return Json{{"raw", w.raw ? Json(*w.raw) : Json(nullptr)}, {"text", w.text}};
        };
        Json j;
        j["version"] = version;
        j["flash_size_bytes"] = flash.bytes ? Json(*flash.bytes) : Json(nullptr);
        if (!flash.bytes) j["flash_size_error"] = flash.raw + ": " + flash.reason;
        j["emmc"] = Json{{"life_time_est_a", wear_json(wear.life_time_est_a)},
                         {"life_time_est_b", wear_json(wear.life_time_est_b)},
                         {"pre_eol_info", wear_json(wear.pre_eol_info)}};
        j["serial"] = serial;
        print_json(out, j);
        return 0;
    }
    auto line = [&](const std::string& key, const std::string& value) {
        out << key << std::string(key.size() < 24 ? 24 - key.size() : 1, ' ') << value << '\n';
    };
    auto wear_line = [&](const std::string& key, const WearValue& w) {
        line(key, w.raw ? *w.raw + " (" + w.text + ")" : w.text);
    };
    line("version", version);
    line("flash size", flash.bytes
                           ? std::to_string(*flash.bytes) + " bytes (" + format_iec(*flash.bytes) + ")"
                           : "unavailable (" + flash.raw + ": " + flash.reason + ")");
    wear_line("life time estimation A", wear.life_time_est_a);
    wear_line("life time estimation B", wear.life_time_est_b);
    wear_line("pre-EOL information", wear.pre_eol_info);
    line("serial", serial.empty() ? "(none)" : serial);
    return 0;
}

int cmd_led(Session& s, const Invocation& inv, std::ostream& out) {
    s.open();
    const std::string text = payload_text(s.vendor(inv.led_command), gadgetdfu::kLedResultLength);
    if (s.options().json) {
        print_json(out, Json{{"pattern", inv.led_pattern}, {"output", text}});
    } else if (!text.empty()) {
        out << text << (text.back() == '\n' ? "" : "\n");
    }
    return 0;
}

int cmd_power(Session& s, std::uint32_t command, std::ostream& out) {
    s.open();
    (void)s.vendor(command);
    const bool reboot = command == ORVEN_REBOOT;
    const char* message = reboot ? "board is rebooting" : "board is shutting down";
    if (s.options().json) {
        print_json(out, Json{{"operation", reboot ? "reboot" : "shutdown"}, {"message", message}});
    } else {
        out << message << '\n';
    }
    return 0;
}

}  // namespace

int execute(const Invocation& inv, std::ostream& out, std::ostream& err) {
    Session s(inv.global);
    switch (inv.command) {
    case Command::List:
        return cmd_list(s, out);
    case Command::Describe:
        return cmd_describe(s, out);
    case Command::Strings:
        return cmd_strings(s, out);
    case Command::String:
        return cmd_string(s, inv, out);
    case Command::Control:
        return cmd_control(s, inv, out);
    case Command::SetConfig:
        return cmd_set_config(s, inv, out);
    case Command::Upload:
        return cmd_upload(s, inv, out, err);
    case Command::Download:
        return cmd_download(s, inv, out, err);
    case Command::Verify:
        return cmd_verify(s, inv, out, err);
    case Command::Info:
        return cmd_info(s, out);
    case Command::Led:
        return cmd_led(s, inv, out);
    case Command::Reboot:
        return cmd_power(s, ORVEN_REBOOT, out);
    case Command::Shutdown:
        return cmd_power(s, ORVEN_SHUTDOWN, out);
    }
    throw Failure(Exit::Internal, "unhandled command");
}

int run(int argc, const char* const* argv) {
    const ParseResult parsed = parse_command_line(argc, argv, std::cout, std::cerr);
    if (!parsed.invocation) return parsed.exit_code;
    try {
        const int rc = execute(*parsed.invocation, std::cout, std::cerr);
        std::cout.flush();
        return rc;
    } catch (const Failure& f) {
        std::cout.flush();
        std::cerr << "dfuctl: " << f.what() << '\n';
        return static_cast<int>(f.code());
    } catch (const std::bad_alloc&) {
        std::cout.flush();
        std::cerr << "dfuctl: out of memory\n";
        return static_cast<int>(Exit::OsError);
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "dfuctl: internal error: " << e.what() << '\n';
        return static_cast<int>(Exit::Internal);
    }
}

}  // namespace dfuctl
