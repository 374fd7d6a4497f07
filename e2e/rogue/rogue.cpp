// A board that answers wrongly on purpose, for the e2e tests of dfuctl: it
// enumerates through gadgetfs with the board's ids and serves ep0 and the
// bulk endpoints, but in one of these ways:
//
//   long-reply         every vendor reply runs on for 4096 bytes of '9's
//                      without an end (gadgetfs cuts it at wLength)
//   wrong-command      every vendor reply carries another command number
//   lying-descriptors  the interface claims three endpoints where two follow,
//                      and every string descriptor's bLength lies
//   endless-in         bulk IN data never ends, whatever length was asked
//   stall-all          every vendor request is stalled
//   disconnect         the board leaves the bus in the middle of the first
//                      vendor request (it closes ep0 and ends)
//
// Everything else is answered as the board's daemon does. Test code only:
// it takes the secondary controller node and prints one line per request.
//
//   gadgetdfu-rogue MODE
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <unistd.h>

#include <gadgetdfu/protocol.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Mode { LongReply, WrongCommand, LyingDescriptors, EndlessIn, StallAll, Disconnect };

Mode mode;
int ep_in = -1;
int ep_out = -1;

using Bytes = std::vector<std::uint8_t>;

template <typename T>
void put(Bytes& b, const T& d, std::size_t length = sizeof(T)) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&d);
    b.insert(b.end(), p, p + length);
}

usb_endpoint_descriptor endpoint(std::uint8_t address, std::uint16_t packet) {
    usb_endpoint_descriptor e{};
    e.bLength = USB_DT_ENDPOINT_SIZE;
    e.bDescriptorType = USB_DT_ENDPOINT;
    e.bEndpointAddress = address;
    e.bmAttributes = USB_ENDPOINT_XFER_BULK;
    e.wMaxPacketSize = htole16(packet);
    return e;
}

Bytes ep0_config() {
    usb_config_descriptor c{};
    c.bLength = USB_DT_CONFIG_SIZE;
    c.bDescriptorType = USB_DT_CONFIG;
    c.wTotalLength = htole16(USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + 2 * USB_DT_ENDPOINT_SIZE);
    c.bNumInterfaces = 1;
    c.bConfigurationValue = gadgetdfu::kConfigurationValue;
    c.bmAttributes = USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER;
    usb_interface_descriptor i{};
    i.bLength = USB_DT_INTERFACE_SIZE;
    i.bDescriptorType = USB_DT_INTERFACE;
    i.bNumEndpoints = mode == Mode::LyingDescriptors ? 3 : 2;
    i.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
    usb_device_descriptor d{};
    d.bLength = USB_DT_DEVICE_SIZE;
    d.bDescriptorType = USB_DT_DEVICE;
    d.bcdUSB = htole16(0x0200);
    d.bDeviceClass = USB_CLASS_VENDOR_SPEC;
    d.bMaxPacketSize0 = 64;
    d.idVendor = htole16(gadgetdfu::kVendorId);
    d.idProduct = htole16(gadgetdfu::kProductIdSecondary);
    d.bcdDevice = htole16(gadgetdfu::kBcdDevice);
    d.iManufacturer = gadgetdfu::kStringManufacturer;
    d.iProduct = gadgetdfu::kStringProduct;
    d.iSerialNumber = gadgetdfu::kStringSerial;
    d.bNumConfigurations = 1;
    Bytes b;
    put(b, std::uint32_t{0});
    for (std::uint16_t packet : {gadgetdfu::kBulkMaxPacketFullSpeed, gadgetdfu::kBulkMaxPacket}) {
        put(b, c, USB_DT_CONFIG_SIZE);
        put(b, i, USB_DT_INTERFACE_SIZE);
        put(b, endpoint(gadgetdfu::kEndpointIn, packet), USB_DT_ENDPOINT_SIZE);
        put(b, endpoint(gadgetdfu::kEndpointOut, packet), USB_DT_ENDPOINT_SIZE);
    }
    put(b, d, USB_DT_DEVICE_SIZE);
    return b;
}

int open_endpoint(const char* path, std::uint8_t address) {
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::printf("rogue: cannot open %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    Bytes b;
    put(b, std::uint32_t{1});
    put(b, endpoint(address, gadgetdfu::kBulkMaxPacketFullSpeed), USB_DT_ENDPOINT_SIZE);
    put(b, endpoint(address, gadgetdfu::kBulkMaxPacket), USB_DT_ENDPOINT_SIZE);
    if (write(fd, b.data(), b.size()) != static_cast<ssize_t>(b.size())) {
        std::printf("rogue: cannot configure %s: %s\n", path, std::strerror(errno));
    }
    return fd;
}

// The bulk sides, each a thread of its own that runs until the process ends:
// OUT takes whatever comes; IN sends (endless-in: forever; else nothing).
void start_bulk() {
    if (ep_in >= 0) return;
    ep_in = open_endpoint("/dev/gadget/ep1in", gadgetdfu::kEndpointIn);
    ep_out = open_endpoint("/dev/gadget/ep1out", gadgetdfu::kEndpointOut);
    std::thread([] {
        std::vector<std::uint8_t> buf(1 << 20);
        while (ep_out >= 0 && read(ep_out, buf.data(), buf.size()) >= 0) {
        }
    }).detach();
    if (mode != Mode::EndlessIn) return;
    std::thread([] {
        std::vector<std::uint8_t> buf(gadgetdfu::kDownloadChunkSize, 0x5A);
        while (write(ep_in, buf.data(), buf.size()) >= 0 || errno == ESHUTDOWN || errno == EINTR) {
        }
    }).detach();
}

Bytes string_descriptor(const std::string& text) {
    Bytes d{static_cast<std::uint8_t>(2 + 2 * text.size()), USB_DT_STRING};
    for (char ch : text) {
        d.push_back(static_cast<std::uint8_t>(ch));
        d.push_back(0);
    }
    return d;
}

Bytes string_answer(std::uint8_t index) {
    Bytes d;
    if (index == 0) {
        d = {4, USB_DT_STRING, 0x09, 0x04};
    } else if (index == gadgetdfu::kStringMsOs) {
        d = string_descriptor("MSFT100");
        d.push_back(gadgetdfu::kMsVendorCode);
        d.push_back(0);
        d[0] = static_cast<std::uint8_t>(d.size());
    } else {
        d = string_descriptor(index == gadgetdfu::kStringSerial ? "ROGUE0001" : "Rogue board");
    }
    if (mode == Mode::LyingDescriptors) {
        // Lengths that do not match what follows: too long, too short to be
        // a descriptor, odd.
        static const std::uint8_t kLies[] = {0xFF, 1, 7, 0};
        d[0] = kLies[index % 4];
    }
    return d;
}

Bytes vendor_answer(std::uint32_t command) {
    std::string payload;
    std::size_t length = gadgetdfu::fixed_reply_length(command);
    switch (command) {
    case ORVEN_GET_VERSION:
        payload = "rogue";
        break;
    case ORVEN_GET_FLASHSIZE:
        payload = "7818182656";
        break;
    case ORVEN_GET_EMMC_PROPERTIES:
        payload = "0x010x020x01";
        length = 4 + payload.size() + 1;
        break;
    case ORVEN_GET_SERIAL:
        payload = "ROGUE0001\n";
        break;
    case ORVEN_WRITE_FIRMWARE:
    case ORVEN_READ_FIRMWARE:
        payload = "Error";
        break;
    default:
        break;
    }
    if (length == 0) return {};
    if (mode == Mode::LongReply) {
        length = 4096;
        payload.assign(length - 4, '9');
    }
    Bytes r(length, 0);
    r[0] = static_cast<std::uint8_t>(mode == Mode::WrongCommand ? command + 1 : command);
    std::memcpy(r.data() + 4, payload.data(), std::min(payload.size(), length - 4));
    return r;
}

void stall(int fd, const usb_ctrlrequest& s) {
    int none = 0;
    if (s.bRequestType & USB_DIR_IN)
        (void)read(fd, &none, 0);
    else
        (void)write(fd, &none, 0);
}

void reply(int fd, const Bytes& data) {
    if (write(fd, data.data(), data.size()) < 0)
        std::printf("rogue: reply failed: %s\n", std::strerror(errno));
}

void setup(int fd, const usb_ctrlrequest& s) {
    const std::uint16_t value = le16toh(s.wValue);
    std::printf("rogue: setup %02x %02x %04x %04x %u\n", s.bRequestType, s.bRequest, value, le16toh(s.wIndex),
                le16toh(s.wLength));
    std::fflush(stdout);
    if ((s.bRequestType & USB_TYPE_MASK) == USB_TYPE_VENDOR) {
        const std::uint32_t command = s.bRequest & gadgetdfu::kCommandMask;
        if (mode == Mode::StallAll) return stall(fd, s);
        if (mode == Mode::Disconnect) {
            std::printf("rogue: leaving the bus mid-request\n");
            std::fflush(stdout);
            _exit(0);
        }
        const Bytes r = vendor_answer(command);
        if (r.empty()) return stall(fd, s);
        return reply(fd, r);
    }
    if (s.bRequestType == USB_DIR_IN && s.bRequest == USB_REQ_GET_DESCRIPTOR && value >> 8 == USB_DT_STRING) {
        return reply(fd, string_answer(value & 0xFF));
    }
    if (s.bRequest == USB_REQ_SET_CONFIGURATION || s.bRequest == USB_REQ_SET_INTERFACE) {
        if (s.bRequest == USB_REQ_SET_CONFIGURATION && value == gadgetdfu::kConfigurationValue) start_bulk();
        int none = 0;
        (void)read(fd, &none, 0);
        return;
    }
    stall(fd, s);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string m = argc == 2 ? argv[1] : "";
    if (m == "long-reply") {
        mode = Mode::LongReply;
    } else if (m == "wrong-command") {
        mode = Mode::WrongCommand;
    } else if (m == "lying-descriptors") {
        mode = Mode::LyingDescriptors;
    } else if (m == "endless-in") {
        mode = Mode::EndlessIn;
    } else if (m == "stall-all") {
        mode = Mode::StallAll;
    } else if (m == "disconnect") {
        mode = Mode::Disconnect;
    } else {
        std::fprintf(stderr,
                     "usage: gadgetdfu-rogue long-reply|wrong-command|lying-descriptors|endless-in|"
                     "stall-all|disconnect\n");
        return 64;
    }
    const int fd = open("/dev/gadget/fe980000.usb", O_RDWR | O_SYNC);
    if (fd < 0) {
        std::perror("rogue: /dev/gadget/fe980000.usb");
        return 1;
    }
    const Bytes config = ep0_config();
    if (write(fd, config.data(), config.size()) != static_cast<ssize_t>(config.size())) {
        std::perror("rogue: writing the descriptors");
        return 1;
    }
    std::printf("rogue: %s on the bus\n", m.c_str());
    std::fflush(stdout);
    for (;;) {
        usb_gadgetfs_event events[5];
        const ssize_t n = read(fd, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            if (errno == EIDRM) {
                // A new request came while gadgetfs still counted the last
                // one as open: it is queued behind this read.
                std::printf("rogue: request superseded\n");
                std::fflush(stdout);
                continue;
            }
            std::perror("rogue: ep0");
            return 1;
        }
        for (ssize_t k = 0; k < n / static_cast<ssize_t>(sizeof events[0]); ++k) {
            if (events[k].type == GADGETFS_SETUP) setup(fd, events[k].u.setup);
        }
    }
}
