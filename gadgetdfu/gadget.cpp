// Gadget bring-up and the event loop: start-up with the SoC serial number,
// registration with gadgetfs, and the loop that reads gadgetfs events from
// ep0.
#include "gadget.h"

#include <fcntl.h>
#include <linux/usb/gadgetfs.h>

#include <cerrno>
#include <cstring>

#include "control.h"
#include "ep0.h"
#include "gadgetdfu/protocol.h"
#include "os.h"
#include "paths.h"
#include "transfer.h"

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
    stringtab[kSerialStringEntry].s = reinterpret_cast<const char*>(sernum) + 8;
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
        if (ret < 0 && errno == EIDRM) {
            // gadgetfs took a new request from the host while it still
            // counted the last one as unanswered (the host may follow an
            // acknowledged SET_CONFIGURATION that fast). It says so once;
            // the new request is queued behind this read and is served by
            // the next one. Ending here would take the board off the bus.
            log_line("EP0 request superseded by the host's next one");
            continue;
        }
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
            os->ep0_event(type);
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
            case GADGETFS_SUSPEND:
                stop_stream_threads();
                ack_ep0(fd);
                log_line("Suspend Request!");
                break;
            default:
                break;
            }
        }
        log_line(".");
    }
}

void reset_daemon_state() {
    reset_streams();
    stringtab[kSerialStringEntry].s = "Broadcom";
}
