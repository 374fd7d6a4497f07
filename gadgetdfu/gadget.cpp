// Gadget bring-up and the control endpoint: the device's descriptors and
// string table, start-up with the SoC serial number, registration with
// gadgetfs, and the loop that reads gadgetfs events from ep0.
#include <endian.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "gadgetdfu.h"
#include "os.h"

usb_string stringtab[kStringTableEntries] = {
    {STRINGID_MANUFACTURER, "Orven B.V."},
    {STRINGID_PRODUCT, "Velko Pro DFU"},
    {STRINGID_SERIAL, "Broadcom"},  // replaced by the SoC serial before registration
    {STRINGID_CONFIG_HS, "High speed configuration"},
    {STRINGID_CONFIG_LS, "Low speed configuration"},
    {STRINGID_INTERFACE, "Custom interface"},
    {STRINGID_MAX, nullptr},
};

usb_gadget_strings strings = {0x0409, stringtab};

usb_endpoint_descriptor ep_descriptor_in;
usb_endpoint_descriptor ep_descriptor_out;

static_assert(sizeof(usb_gadgetfs_event) == 12);
static_assert(sizeof(usb_ctrlrequest) == 8);
static_assert(sizeof(usb_device_descriptor) == USB_DT_DEVICE_SIZE);
static_assert(sizeof(usb_config_descriptor) == USB_DT_CONFIG_SIZE);
static_assert(sizeof(usb_interface_descriptor) == USB_DT_INTERFACE_SIZE);
static_assert(sizeof(usb_endpoint_descriptor) == USB_DT_ENDPOINT_AUDIO_SIZE);

namespace {

void fill_endpoint(usb_endpoint_descriptor& ep, uint8_t address) {
    std::memset(&ep, 0, sizeof ep);
    ep.bLength = USB_DT_ENDPOINT_SIZE;
    ep.bDescriptorType = USB_DT_ENDPOINT;
    ep.bEndpointAddress = address;
    ep.bmAttributes = USB_ENDPOINT_XFER_BULK;
    ep.wMaxPacketSize = htole16(gadgetdfu::kBulkMaxPacket);
    ep.bInterval = 0;
}

// Appends a descriptor with as many bytes as its own bLength says.
template <typename Descriptor>
uint8_t* put_descriptor(uint8_t* cp, const Descriptor& d) {
    std::memcpy(cp, &d, d.bLength);
    return cp + d.bLength;
}

}  // namespace

size_t build_ep0_config(uint32_t usb_pid, uint8_t* init_config) {
    fill_endpoint(ep_descriptor_in, gadgetdfu::kEndpointIn);
    fill_endpoint(ep_descriptor_out, gadgetdfu::kEndpointOut);

    usb_device_descriptor device_descriptor;
    std::memset(&device_descriptor, 0, sizeof device_descriptor);
    device_descriptor.bLength = USB_DT_DEVICE_SIZE;
    device_descriptor.bDescriptorType = USB_DT_DEVICE;
    device_descriptor.bcdUSB = 0;  // left zero on purpose: hosts have always read it so
    device_descriptor.bDeviceClass = USB_CLASS_VENDOR_SPEC;
    device_descriptor.bMaxPacketSize0 = 64;
    device_descriptor.idVendor = htole16(gadgetdfu::kVendorId);
    device_descriptor.idProduct = htole16(static_cast<uint16_t>(usb_pid & 0xFFFF));
    device_descriptor.bcdDevice = htole16(gadgetdfu::kBcdDevice);
    device_descriptor.iManufacturer = STRINGID_MANUFACTURER;
    device_descriptor.iProduct = STRINGID_PRODUCT;
    device_descriptor.iSerialNumber = STRINGID_SERIAL;
    device_descriptor.bNumConfigurations = 1;

    usb_config_descriptor config;
    std::memset(&config, 0, sizeof config);
    config.bLength = USB_DT_CONFIG_SIZE;
    config.bDescriptorType = USB_DT_CONFIG;
    config.wTotalLength = htole16(USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + 2 * USB_DT_ENDPOINT_SIZE);
    config.bNumInterfaces = 1;
    config.bConfigurationValue = gadgetdfu::kConfigurationValue;
    config.iConfiguration = STRINGID_CONFIG_LS;
    config.bmAttributes = USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER;
    config.bMaxPower = 0;

    usb_config_descriptor config_hs = config;
    config_hs.iConfiguration = STRINGID_CONFIG_HS;

    usb_interface_descriptor if_descriptor;
    std::memset(&if_descriptor, 0, sizeof if_descriptor);
    if_descriptor.bLength = USB_DT_INTERFACE_SIZE;
    if_descriptor.bDescriptorType = USB_DT_INTERFACE;
    if_descriptor.bInterfaceNumber = gadgetdfu::kInterfaceNumber;
    if_descriptor.bNumEndpoints = 2;
    if_descriptor.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
    if_descriptor.iInterface = STRINGID_INTERFACE;

    uint8_t* cp = init_config;
    const uint32_t tag = 0;
    std::memcpy(cp, &tag, sizeof tag);
    cp += sizeof tag;
    // Full speed first, then high speed: each block is the configuration,
    // the interface and both endpoints. The device descriptor comes last.
    for (const usb_config_descriptor* block : {&config, &config_hs}) {
        cp = put_descriptor(cp, *block);
        cp = put_descriptor(cp, if_descriptor);
        cp = put_descriptor(cp, ep_descriptor_in);
        cp = put_descriptor(cp, ep_descriptor_out);
    }
    cp = put_descriptor(cp, device_descriptor);
    return static_cast<size_t>(cp - init_config);
}

int GrabSocSerial(uint8_t* serial) {
    FILE* cpuinfo = os->fopen(kCpuInfoPath, "r");
    if (cpuinfo == nullptr) return -1;

    char line[300];
    int result = -1;
    while (std::fgets(line, sizeof line, cpuinfo) != nullptr) {
        const char* found = std::strstr(line, kSerialNeedle);
        if (found == nullptr) continue;
        // Up to 16 characters, ending early at the end of the line, so that
        // a short value brings no newline or stray bytes along.
        const char* value = found + std::strlen(kSerialNeedle);
        for (size_t i = 0; i < 16 && value[i] != '\0' && value[i] != '\n' && value[i] != '\r'; ++i)
            serial[i] = static_cast<uint8_t>(value[i]);
        result = 0;
        break;
    }
    os->fclose(cpuinfo);
    return result;
}

int gadget_main() {
    // Lives for the whole process: the serial-number string points into it.
    static uint8_t sernum[17];

    log_line(kBanner);

    std::memset(sernum, 0, sizeof sernum);
    if (GrabSocSerial(sernum) != 0) {
        log_err("Unable to open %s (%s)\n Aborting \n", kCpuInfoPath, errno_text(errno));
        return 2;
    }
    stringtab[2].s = reinterpret_cast<const char*>(sernum) + 8;
    log_out(" SOC Serial number [%s] \n", reinterpret_cast<const char*>(sernum));

    uint32_t usb_pid = gadgetdfu::kProductIdPrimary;
    int fd = os->open(kControllerPrimary, O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd <= 0) {
        usb_pid = gadgetdfu::kProductIdSecondary;
        fd = os->open(kControllerSecondary, O_RDWR | O_SYNC | O_CLOEXEC);
    }
    if (fd <= 0) {
        log_err("Unable to open %s and %s (%s)\n", kControllerPrimary, kControllerSecondary,
                errno_text(errno));
        log_err(
            "Did you forget to execute this:\n"
            "mkdir /dev/gadget ; mount -t gadgetfs gadgetfs /dev/gadget\n?\n");
        return 1;
    }

    uint8_t init_config[kRecordBufferLength];
    const size_t send_size = build_ep0_config(usb_pid, init_config);
    const ssize_t written = os->write(fd, init_config, send_size);
    if (written != static_cast<ssize_t>(send_size)) {
        log_err("Write error %d (%s)\n", static_cast<int>(written), errno_text(errno));
        os->close(fd);
        return -1;
    }
    log_line("ep0 configured");

    handle_ep0(fd);

    // The stream threads use the endpoint files of this controller: let them
    // leave before the node goes away.
    stop_stream_threads();
    join_stream_threads();
    os->close(fd);
    return -1;
}

void handle_ep0(int fd) {
    usb_gadgetfs_event events[5];

    for (;;) {
        fd_set read_set;
        FD_ZERO(&read_set);
        if (fd >= 0 && fd < FD_SETSIZE) FD_SET(fd, &read_set);
        (void)os->select(fd + 1, &read_set, nullptr, nullptr, nullptr);  // the read decides

        const ssize_t ret = os->read(fd, events, sizeof events);
        if (ret < 0) {
            log_err("Read error %d (%s)\n", static_cast<int>(ret), errno_text(errno));
            return;
        }

        const int nevents = static_cast<int>(static_cast<size_t>(ret) / sizeof events[0]);
        log_out("%d event(s): ", nevents);
        for (int i = 0; i < nevents; ++i) {
            const usb_gadgetfs_event& event = events[i];
            // The kernel may send types this build does not know: read the
            // field as the 32-bit number it is, not as the enumeration.
            uint32_t type;
            std::memcpy(&type, &event.type, sizeof type);
            log_out("Type:%d. ", static_cast<int>(type));
            switch (type) {
            case GADGETFS_CONNECT:
                log_line("EP0 CONNECT");
                break;
            case GADGETFS_DISCONNECT:
                stop_stream_threads();
                log_line("EP0 DISCONNECT");
                break;
            case GADGETFS_SETUP:
                log_out("EP0 SETUP:");
                handle_setup_request(fd, &event.u.setup);
                break;
            case GADGETFS_SUSPEND: {
                stop_stream_threads();
                int status = 0;
                (void)os->read(fd, &status, 0);
                log_line("Suspend Request!");
                break;
            }
            default:
                break;
            }
        }
        log_line(".");
    }
}
