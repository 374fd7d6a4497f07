// Control request handling: classification of SETUP requests, the standard
// and class requests the device answers itself, the string descriptor step,
// and SET_CONFIGURATION with the bulk endpoint files and the stream threads.
#include "control.h"

#include <endian.h>
#include <fcntl.h>

#include <cerrno>

#include "ep0.h"
#include "gadgetdfu/protocol.h"
#include "os.h"
#include "paths.h"
#include "transfer.h"
#include "usbstring.h"
#include "vendor.h"

namespace {

// ---- Strings -------------------------------------------------------------------

void handle_string_request(int fd, const usb_ctrlrequest* setup) {
    const uint16_t wValue = le16toh(setup->wValue);
    const uint16_t wLength = le16toh(setup->wLength);
    const int index = wValue & 0xFF;

    log_out("Get string id #0x%02x (max length %d)\n", index, wLength);
    if (index == gadgetdfu::kStringMsOs) {
        log_line("asked for 0xee.");
        reply_ep0(fd, u8Usb_os_str_desc, sizeof u8Usb_os_str_desc);
        return;
    }

    // The LANGID in wIndex is not looked at: every language gets the same texts.
    uint8_t buffer[gadgetdfu::kReplyBufferLength];
    const int len = usb_gadget_get_string(&strings, index, buffer);
    if (len < 0) {
        log_err("String not found !!\n");
        stall_ep0(fd, setup->bRequestType);
        return;
    }
    log_out("Found %d bytes\n", len);
    reply_ep0(fd, buffer, static_cast<size_t>(len));
}

// ---- SET_CONFIGURATION ---------------------------------------------------------

void close_field(std::atomic<int32_t>* field) {
    const int fd = field->exchange(-1);
    if (fd > 0) os->close(fd);
}

void handle_set_configuration(int fd, const usb_ctrlrequest* setup) {
    if (setup->bRequestType != 0x00) {
        log_err("Bad dir\n");
        stall_ep0(fd, setup->bRequestType);
        return;
    }

    const uint16_t value = le16toh(setup->wValue);
    if (value == 0) {
        log_line("Disable threads");
        stop_stream_threads();
    } else if (value == 1) {
        log_line("Set config value");
        if (thread_args.stop.load() == 0) {
            stop_stream_threads();
            os->usleep(200000);
        }
        // A new pair starts only after the old one has left and closed its
        // endpoint files.
        join_stream_threads();
        const int result =
            thread_args.fd_in.load() > 0 ? 0 : init_ep(&thread_args.fd_in, &thread_args.fd_out);
        if (result == 0) (void)start_stream_threads();  // a failed start logs its own line
    } else {
        log_err("Unhandled configuration value %d\n", value);
    }
    ack_ep0(fd);
}

// Opens one endpoint file, stores its descriptor in `field` at once, and
// writes its configuration record: the tag 1, then the full-speed and the
// high-speed descriptor.
struct endpoint_setup {
    bool opened;
    ssize_t written;  // the record write's result, when opened
};

endpoint_setup configure_endpoint(std::atomic<int32_t>* field, const char* path,
                                  const usb_endpoint_descriptor& full_speed,
                                  const usb_endpoint_descriptor& high_speed) {
    const int fd = os->open(path, O_RDWR | O_CLOEXEC);
    field->store(fd);
    if (fd <= 0) {
        log_err("Unable to open %s (%s)\n", path, errno_text(errno));
        return {false, 0};
    }

    uint8_t init_config[kRecordBufferLength];
    const ssize_t send_size = static_cast<ssize_t>(build_ep_config(full_speed, high_speed, init_config));
    const ssize_t written = os->write(fd, init_config, static_cast<size_t>(send_size));
    if (written != send_size) log_err("Write error %d (%s)\n", static_cast<int>(written), errno_text(errno));
    return {true, written};
}

}  // namespace

// ---- Endpoint files ---------------------------------------------------------------

int init_ep(std::atomic<int32_t>* fd_in, std::atomic<int32_t>* fd_out) {
    const endpoint_setup in = configure_endpoint(fd_in, kEp1InPath, ep_descriptor_in_fs, ep_descriptor_in);
    if (!in.opened || in.written != static_cast<ssize_t>(kEpRecordLength)) {
        close_field(fd_in);
        // A short write that wrote nothing must not read as success.
        return !in.opened || in.written == 0 ? -1 : static_cast<int>(in.written);
    }
    log_line("ep1 configured");

    const endpoint_setup out =
        configure_endpoint(fd_out, kEp1OutPath, ep_descriptor_out_fs, ep_descriptor_out);
    if (!out.opened || out.written != static_cast<ssize_t>(kEpRecordLength)) {
        // Never leave half a pair behind: the next SET_CONFIGURATION 1 then
        // configures both files afresh.
        close_field(fd_out);
        close_field(fd_in);
        if (!out.opened) return static_cast<int>(in.written);
        return out.written == 0 ? -1 : static_cast<int>(out.written);
    }
    log_line("ep2 configured");
    return 0;
}

// ---- Dispatch ------------------------------------------------------------------

void handle_setup_request(int fd, const usb_ctrlrequest* setup) {
    SRequestType type;
    type.B = setup->bRequestType;

    log_out("Setup request %u %u %u %u\n", setup->bRequestType, setup->bRequest, le16toh(setup->wValue),
            le16toh(setup->wIndex));

    if (type.BM.Type == 2) {
        handle_vendor_request(fd, setup);
        return;
    }
    if (type.BM.Type == 3) {
        log_line("Reserved request");
        stall_ep0(fd, setup->bRequestType);
        return;
    }

    // Standard and class requests share one table, keyed by bRequest.
    log_line("Standard/Class request");
    static const uint8_t four_zeros[4] = {0, 0, 0, 0};
    switch (setup->bRequest) {
    case USB_REQ_GET_DESCRIPTOR: {
        if (setup->bRequestType != 0x80) {
            stall_ep0(fd, setup->bRequestType);
            return;
        }
        const int descriptor_type = le16toh(setup->wValue) >> 8;
        if (descriptor_type == USB_DT_STRING) {
            handle_string_request(fd, setup);
            return;
        }
        log_err("Cannot return descriptor %d\n", descriptor_type);
        stall_ep0(fd, setup->bRequestType);
        return;
    }
    case USB_REQ_SET_CONFIGURATION:
        handle_set_configuration(fd, setup);
        return;
    case USB_REQ_GET_INTERFACE: {
        log_line("GET_INTERFACE");
        const uint8_t alternate = 0;
        reply_ep0(fd, &alternate, 1);
        return;
    }
    case USB_REQ_SET_INTERFACE:
        log_line("SET_INTERFACE");
        request_clear_halts();
        ack_ep0(fd);
        return;
    case 0x20:
        reply_ep0(fd, four_zeros, sizeof four_zeros);
        return;
    case 0x22:
        reply_ep0(fd, four_zeros, sizeof four_zeros);
        return;
    default:
        stall_ep0(fd, setup->bRequestType);
        return;
    }
}
