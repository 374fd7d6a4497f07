// The device's identity as the host reads it, and the control endpoint's
// three answers.
#include "ep0.h"

#include <endian.h>
#include <linux/usb/gadgetfs.h>

#include <cstring>

#include "os.h"

using namespace gadgetdfu;

usb_string stringtab[kStringTableEntries] = {
    {kStringManufacturer, "Orven B.V."},
    {kStringProduct, "Velko Pro DFU"},
    {kStringSerial, "Broadcom"},  // replaced by the SoC serial before registration
    {kStringConfigHighSpeed, "High speed configuration"},
    {kStringConfigLowSpeed, "Low speed configuration"},
    {kStringInterface, "Custom interface"},
    {kStringInterface + 1, nullptr},  // the end of the table
};

usb_gadget_strings strings = {0x0409, stringtab};

// Microsoft OS string descriptor (index 0xEE): "MSFT100" and vendor code 0xCD.
const uint8_t u8Usb_os_str_desc[kMsOsStringLength] = {
    0x12, 0x03, 'M', 0, 'S', 0, 'F', 0, 'T', 0, '1', 0, '0', 0, '0', 0, kMsVendorCode, 0x00,
};

// Microsoft extended compat ID descriptor: interface 0 is "WINUSB", so Windows
// binds its generic driver without an install.
const uint8_t u8ExtendedCompatIDOSFeatDesc[kMsCompatIdLength] = {
    0x28, 0x00, 0x00, 0x00,                          // total length 40
    0x00, 0x01,                                      // version 1.00
    0x04, 0x00,                                      // extended compat ID descriptor
    0x01,                                            // one function section
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,        // reserved
    0x00,                                            // first interface number
    0x01,                                            // reserved
    'W',  'I',  'N',  'U',  'S',  'B',  0x00, 0x00,  // compatible ID
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // sub-compatible ID
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,              // reserved
};

usb_endpoint_descriptor ep_descriptor_in;
usb_endpoint_descriptor ep_descriptor_out;
usb_endpoint_descriptor ep_descriptor_in_fs;
usb_endpoint_descriptor ep_descriptor_out_fs;

static_assert(sizeof(usb_gadgetfs_event) == 12);
static_assert(sizeof(usb_ctrlrequest) == 8);
static_assert(sizeof(usb_device_descriptor) == USB_DT_DEVICE_SIZE);
static_assert(sizeof(usb_config_descriptor) == USB_DT_CONFIG_SIZE);
static_assert(sizeof(usb_interface_descriptor) == USB_DT_INTERFACE_SIZE);
static_assert(sizeof(usb_endpoint_descriptor) == USB_DT_ENDPOINT_AUDIO_SIZE);

namespace {

void fill_endpoint(usb_endpoint_descriptor& ep, uint8_t address, uint16_t max_packet) {
    std::memset(&ep, 0, sizeof ep);
    ep.bLength = USB_DT_ENDPOINT_SIZE;
    ep.bDescriptorType = USB_DT_ENDPOINT;
    ep.bEndpointAddress = address;
    ep.bmAttributes = USB_ENDPOINT_XFER_BULK;
    ep.wMaxPacketSize = htole16(max_packet);
    ep.bInterval = 0;
}

// Appends a descriptor with as many bytes as its own bLength says.
template <typename Descriptor>
uint8_t* put_descriptor(uint8_t* cp, const Descriptor& d) {
    std::memcpy(cp, &d, d.bLength);
    return cp + d.bLength;
}

uint8_t* put_tag(uint8_t* cp, uint32_t tag) {
    const uint32_t le = htole32(tag);
    std::memcpy(cp, &le, sizeof le);
    return cp + sizeof le;
}

}  // namespace

size_t build_ep0_config(uint32_t usb_pid, uint8_t* init_config) {
    fill_endpoint(ep_descriptor_in, kEndpointIn, kBulkMaxPacket);
    fill_endpoint(ep_descriptor_out, kEndpointOut, kBulkMaxPacket);
    fill_endpoint(ep_descriptor_in_fs, kEndpointIn, kBulkMaxPacketFullSpeed);
    fill_endpoint(ep_descriptor_out_fs, kEndpointOut, kBulkMaxPacketFullSpeed);

    usb_device_descriptor device_descriptor;
    std::memset(&device_descriptor, 0, sizeof device_descriptor);
    device_descriptor.bLength = USB_DT_DEVICE_SIZE;
    device_descriptor.bDescriptorType = USB_DT_DEVICE;
    device_descriptor.bcdUSB = 0;  // left zero on purpose: hosts have always read it so
    device_descriptor.bDeviceClass = USB_CLASS_VENDOR_SPEC;
    device_descriptor.bMaxPacketSize0 = 64;
    device_descriptor.idVendor = htole16(kVendorId);
    device_descriptor.idProduct = htole16(static_cast<uint16_t>(usb_pid & 0xFFFF));
    device_descriptor.bcdDevice = htole16(kBcdDevice);
    device_descriptor.iManufacturer = kStringManufacturer;
    device_descriptor.iProduct = kStringProduct;
    device_descriptor.iSerialNumber = kStringSerial;
    device_descriptor.bNumConfigurations = 1;

    usb_config_descriptor config;
    std::memset(&config, 0, sizeof config);
    config.bLength = USB_DT_CONFIG_SIZE;
    config.bDescriptorType = USB_DT_CONFIG;
    config.wTotalLength = htole16(USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + 2 * USB_DT_ENDPOINT_SIZE);
    config.bNumInterfaces = 1;
    config.bConfigurationValue = kConfigurationValue;
    config.iConfiguration = kStringConfigLowSpeed;
    config.bmAttributes = USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER;
    config.bMaxPower = 0;

    usb_config_descriptor config_hs = config;
    config_hs.iConfiguration = kStringConfigHighSpeed;

    usb_interface_descriptor if_descriptor;
    std::memset(&if_descriptor, 0, sizeof if_descriptor);
    if_descriptor.bLength = USB_DT_INTERFACE_SIZE;
    if_descriptor.bDescriptorType = USB_DT_INTERFACE;
    if_descriptor.bInterfaceNumber = kInterfaceNumber;
    if_descriptor.bNumEndpoints = 2;
    if_descriptor.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
    if_descriptor.iInterface = kStringInterface;

    uint8_t* cp = put_tag(init_config, 0);
    // Full speed first, then high speed: each block is the configuration,
    // the interface and both endpoints. The device descriptor comes last.
    struct speed_block {
        const usb_config_descriptor* config;
        const usb_endpoint_descriptor* in;
        const usb_endpoint_descriptor* out;
    };
    const speed_block blocks[] = {
        {&config, &ep_descriptor_in_fs, &ep_descriptor_out_fs},
        {&config_hs, &ep_descriptor_in, &ep_descriptor_out},
    };
    for (const speed_block& block : blocks) {
        cp = put_descriptor(cp, *block.config);
        cp = put_descriptor(cp, if_descriptor);
        cp = put_descriptor(cp, *block.in);
        cp = put_descriptor(cp, *block.out);
    }
    cp = put_descriptor(cp, device_descriptor);
    return static_cast<size_t>(cp - init_config);
}

size_t build_ep_config(const usb_endpoint_descriptor& full_speed, const usb_endpoint_descriptor& high_speed,
                       uint8_t* init_config) {
    uint8_t* cp = put_tag(init_config, 1);
    cp = put_descriptor(cp, full_speed);
    cp = put_descriptor(cp, high_speed);
    return static_cast<size_t>(cp - init_config);
}

// ---- Ending a control request ------------------------------------------------------

ssize_t reply_ep0(int fd, const void* data, size_t len) { return os->write(fd, data, len); }

void ack_ep0(int fd) {
    int status = 0;
    (void)os->read(fd, &status, 0);
}

void stall_ep0(int fd, uint8_t bRequestType) {
    log_err("Stalled\n");
    int status = 0;
    if (bRequestType & USB_DIR_IN)
        (void)os->read(fd, &status, 0);
    else
        (void)os->write(fd, &status, 0);
}
