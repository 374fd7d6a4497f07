// Declarations shared by the daemon's subsystems:
//   gadget.cpp    bring-up: descriptors, string table, start-up, ep0 event loop
//   control.cpp   control requests, the stall convention, strings, SET_CONFIGURATION
//   vendor.cpp    the vendor command set and its reply frame
//   transfer.cpp  transfer state, write_all and the two stream threads
#pragma once

#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "gadgetdfu/protocol.h"
#include "usbstring.h"

// ---- Paths and texts compiled into the daemon -------------------------------

inline constexpr const char kVersionText[] = "v1.4";
inline constexpr const char kBanner[] = "vog Vv1.4";
inline constexpr const char kCpuInfoPath[] = "/proc/cpuinfo";
inline constexpr const char kSerialNeedle[] = "Serial\t\t: ";
inline constexpr const char kControllerPrimary[] = "/dev/gadget/1000480000.usb";
inline constexpr const char kControllerSecondary[] = "/dev/gadget/fe980000.usb";
inline constexpr const char kEp1InPath[] = "/dev/gadget/ep1in";
inline constexpr const char kEp1OutPath[] = "/dev/gadget/ep1out";
inline constexpr const char kFirmwarePath[] = "/tmp/firmware";
inline constexpr const char kEmmcPath[] = "/dev/mmcblk0";

// ---- Descriptors and string table --------------------------------------------

enum {
    STRINGID_MANUFACTURER = 1,
    STRINGID_PRODUCT,
    STRINGID_SERIAL,
    STRINGID_CONFIG_HS,
    STRINGID_CONFIG_LS,
    STRINGID_INTERFACE,
    STRINGID_MAX,
};

inline constexpr size_t kStringTableEntries = 7;
extern usb_string stringtab[kStringTableEntries];
extern usb_gadget_strings strings;

// Full-speed and high-speed copies of the bulk endpoint descriptors; filled
// at start-up and written again into the endpoint files.
extern usb_endpoint_descriptor ep_descriptor_in;
extern usb_endpoint_descriptor ep_descriptor_out;

inline constexpr size_t kEp0RecordLength = 86;
inline constexpr size_t kEpRecordLength = 18;
inline constexpr size_t kRecordBufferLength = 2048;

// Fills the endpoint descriptors and builds the ep0 configuration record for
// `usb_pid` into `init_config`; returns the record's length (86).
size_t build_ep0_config(uint32_t usb_pid, uint8_t* init_config);

// ---- Start-up and the ep0 event loop -----------------------------------------

// Copies the serial value that follows "Serial\t\t: " in "/proc/cpuinfo"
// (at most 16 characters, up to the end of its line) into `serial`. Returns 0,
// or -1 when the file cannot be opened or holds no such line.
int GrabSocSerial(uint8_t* serial);

// The life of the process: banner, serial, controller registration, then the
// ep0 event loop. Returns the exit status: 2, 1 or -1.
int gadget_main();

// Reads and handles gadgetfs events until a read of `fd` fails.
void handle_ep0(int fd);

// ---- Control requests ----------------------------------------------------------

union SRequestType {
    struct {
        uint8_t Recipient : 5;
        uint8_t Type : 2;
        uint8_t Dir : 1;
    } BM;
    uint8_t B;
};

void handle_setup_request(int fd, const usb_ctrlrequest* setup);

// Refuses the request on ep0: "Stalled" on standard error, then a zero-length
// call in the direction opposite to the request.
void stall_ep0(int fd, uint8_t bRequestType);

// Replies with `len` bytes, or acknowledges a request without data stage.
void reply_ep0(int fd, const void* data, size_t len);
void ack_ep0(int fd);

// ---- Stream threads and their shared record ----------------------------------

struct io_thread_args {
    std::atomic<uint32_t> stop{0};
    std::atomic<int32_t> fd_in{0};
    std::atomic<int32_t> fd_out{0};
};
extern io_thread_args thread_args;

int init_ep(std::atomic<int32_t>* fd_in, std::atomic<int32_t>* fd_out);

// Raises the stop flag and wakes both stream threads out of blocking calls.
void stop_stream_threads();
// Waits until the stream threads started last have left (waking them as
// long as they run). Does nothing when none were started.
void join_stream_threads();
// Wakes the TX thread out of a write to the IN endpoint (the download it is
// sending was replaced).
void wake_tx_thread();

// SET_INTERFACE: clear the halts of the open endpoint files. A stream thread
// that owns the endpoint does it at its next pass, so that ep0 never waits
// behind a read or write that holds the endpoint.
void request_clear_halts();

// ---- Vendor commands ----------------------------------------------------------

void handle_vendor_request(int fd, const usb_ctrlrequest* setup);

void get_eMMC_size(char* buff);
size_t get_eMMC_properties(char* buffer);
void read_serial(char* buffer);
void set_led_ring(const char* led_command, char* result, int size);

extern const uint8_t u8Usb_os_str_desc[gadgetdfu::kMsOsStringLength];
extern const uint8_t u8ExtendedCompatIDOSFeatDesc[gadgetdfu::kMsCompatIdLength];

// ---- Transfer state -----------------------------------------------------------

// A descriptor above 0 means a transfer is open in that direction. The
// counters of a download are stored before its descriptor (release) and read
// after it (acquire).
extern std::atomic<int32_t> fdFirmware;
extern std::atomic<int32_t> fdRFirmware;
extern std::atomic<uint64_t> readSize;
extern std::atomic<uint64_t> totalBytesRead;

// Opens the firmware image for an upload or a download and publishes it; a
// transfer still open in that direction is ended first. Return the open's
// result.
int open_upload();
int open_download(uint64_t length);

// Forgets every transfer: closes what is open. For process exit and tests.
void reset_transfers();

// Writes `length` bytes from `buffer`, retrying failed writes (up to 101
// failures in one call, 200 ms apart). Returns `length`, 0 for a length of 0
// or less, or -1 when it gave up. `give_up`, when given, is asked after each
// failed write: a stopping stream abandons the chunk at once.
ssize_t write_all(int fd, const uint8_t* buffer, ssize_t length, const char* description,
                  bool (*give_up)() = nullptr);

void* rx_thread(void* arg);
void* tx_thread(void* arg);

// Clear-halt requests handed to the stream threads (see request_clear_halts).
extern std::atomic<bool> clear_halt_in_pending;
extern std::atomic<bool> clear_halt_out_pending;
// Wakes a TX thread that waits for a download, so it re-reads its state.
void notify_tx_waiter();
