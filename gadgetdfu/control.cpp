// Control request handling: classification of SETUP requests, the standard
// and class requests the device answers itself, the stall convention, the
// string descriptor step, and SET_CONFIGURATION with the bulk endpoint files
// and the stream threads.
#include <endian.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "gadgetdfu.h"
#include "os.h"

io_thread_args thread_args;

namespace {

// The pair of stream threads started last, and whether each is still running.
// Only the main thread touches the handles.
struct stream_thread {
    pthread_t handle{};
    bool started = false;
};
stream_thread threadr, threadt;

void write_ep0(int fd, const void* data, size_t len) { (void)os->write(fd, data, len); }

void read_ep0_zero(int fd) {
    int status = 0;
    (void)os->read(fd, &status, 0);
}

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

void start_stream_threads() {
    thread_args.stop.store(0);
    clear_halt_in_pending.store(false);
    clear_halt_out_pending.store(false);
    threadr.started = os->thread_create(&threadr.handle, rx_thread, &thread_args) == 0;
    threadt.started = os->thread_create(&threadt.handle, tx_thread, &thread_args) == 0;
    if (threadr.started && threadt.started) return;
    log_err("Unable to start the stream threads\n");
    // Half a pair cannot stream: let the one that started leave, and close
    // both endpoint files, so that the next SET_CONFIGURATION 1 starts from
    // scratch instead of finding a file still open.
    stop_stream_threads();
    join_stream_threads();
    close_field(&thread_args.fd_in);
    close_field(&thread_args.fd_out);
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
        if (result == 0) start_stream_threads();
    } else {
        log_err("Unhandled configuration value %d\n", value);
    }
    ack_ep0(fd);
}

// Opens one endpoint file, stores its descriptor in `field` at once, and
// writes its configuration record: the tag 1, then the descriptor twice
// (full-speed and high-speed slot).
struct endpoint_setup {
    bool opened;
    ssize_t written;  // the record write's result, when opened
};

endpoint_setup configure_endpoint(std::atomic<int32_t>* field, const char* path,
                                  const usb_endpoint_descriptor& descriptor) {
    const int fd = os->open(path, O_RDWR | O_CLOEXEC);
    field->store(fd);
    if (fd <= 0) {
        log_err("Unable to open %s (%s)\n", path, errno_text(errno));
        return {false, 0};
    }

    uint8_t init_config[kRecordBufferLength];
    uint8_t* cp = init_config;
    const uint32_t tag = htole32(1);
    std::memcpy(cp, &tag, sizeof tag);
    cp += sizeof tag;
    for (int copy = 0; copy < 2; ++copy) {
        std::memcpy(cp, &descriptor, descriptor.bLength);
        cp += descriptor.bLength;
    }
    const ssize_t send_size = cp - init_config;
    const ssize_t written = os->write(fd, init_config, static_cast<size_t>(send_size));
    if (written != send_size) log_err("Write error %d (%s)\n", static_cast<int>(written), errno_text(errno));
    return {true, written};
}

}  // namespace

// ---- ep0 replies ---------------------------------------------------------------

void reply_ep0(int fd, const void* data, size_t len) { write_ep0(fd, data, len); }

void ack_ep0(int fd) { read_ep0_zero(fd); }

void stall_ep0(int fd, uint8_t bRequestType) {
    log_err("Stalled\n");
    if (bRequestType & USB_DIR_IN) {
        read_ep0_zero(fd);
    } else {
        int status = 0;
        write_ep0(fd, &status, 0);
    }
}

// ---- Endpoint files and stream threads -----------------------------------------

int init_ep(std::atomic<int32_t>* fd_in, std::atomic<int32_t>* fd_out) {
    const endpoint_setup in = configure_endpoint(fd_in, kEp1InPath, ep_descriptor_in);
    if (!in.opened || in.written != static_cast<ssize_t>(kEpRecordLength)) {
        close_field(fd_in);
        // A short write that wrote nothing must not read as success.
        return !in.opened || in.written == 0 ? -1 : static_cast<int>(in.written);
    }
    log_line("ep1 configured");

    const endpoint_setup out = configure_endpoint(fd_out, kEp1OutPath, ep_descriptor_out);
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

void stop_stream_threads() {
    thread_args.stop.store(1);
    notify_tx_waiter();
    if (threadr.started) os->thread_wake(threadr.handle);
    if (threadt.started) os->thread_wake(threadt.handle);
}

void join_stream_threads() {
    for (stream_thread* t : {&threadr, &threadt}) {
        if (!t->started) continue;
        // A thread blocked in an endpoint call is woken by a signal; one sent
        // just before it entered the call is lost, so keep waking it until
        // it has gone.
        while (pthread_tryjoin_np(t->handle, nullptr) == EBUSY) {
            notify_tx_waiter();
            os->thread_wake(t->handle);
            struct timespec pause = {0, 2000000};
            nanosleep(&pause, nullptr);
        }
        t->started = false;
    }
}

void wake_tx_thread() {
    if (threadt.started) os->thread_wake(threadt.handle);
}

void request_clear_halts() {
    // Only endpoint files that are open; the thread that owns each one does
    // the ioctl at the top of its next pass.
    if (thread_args.fd_in.load() > 0) {
        clear_halt_in_pending.store(true);
        notify_tx_waiter();
    }
    if (thread_args.fd_out.load() > 0) clear_halt_out_pending.store(true);
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
