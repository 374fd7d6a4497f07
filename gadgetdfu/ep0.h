// What the daemon sends on the control endpoint: the device's descriptors
// and string table, the configuration records written to the controller node
// and to the bulk endpoint files, and the three ways a control request ends.
#pragma once

#include <linux/usb/ch9.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "gadgetdfu/protocol.h"
#include "usbstring.h"

// ---- String table ---------------------------------------------------------------

// Ids 1 to 6 (gadgetdfu::kString*), then the entry with no text that ends the
// table. The serial entry's text is set at start-up.
inline constexpr size_t kStringTableEntries = 7;
inline constexpr size_t kSerialStringEntry = 2;
extern usb_string stringtab[kStringTableEntries];
extern usb_gadget_strings strings;

// Microsoft OS 1.0: the string descriptor at index 0xEE and the extended
// compat ID descriptor it leads a host to.
extern const uint8_t u8Usb_os_str_desc[gadgetdfu::kMsOsStringLength];
extern const uint8_t u8ExtendedCompatIDOSFeatDesc[gadgetdfu::kMsCompatIdLength];

// ---- Configuration records ---------------------------------------------------------

// The bulk endpoint descriptors, for high speed (512-byte packets) and for
// full speed (64, the most USB 2.0 allows a full-speed bulk endpoint);
// filled at start-up and written again into the endpoint files.
extern usb_endpoint_descriptor ep_descriptor_in;
extern usb_endpoint_descriptor ep_descriptor_out;
extern usb_endpoint_descriptor ep_descriptor_in_fs;
extern usb_endpoint_descriptor ep_descriptor_out_fs;

inline constexpr size_t kEp0RecordLength = 86;
inline constexpr size_t kEpRecordLength = 18;
inline constexpr size_t kRecordBufferLength = 2048;

// Fills the endpoint descriptors and builds the ep0 configuration record for
// `usb_pid` into `init_config`; returns the record's length (86).
size_t build_ep0_config(uint32_t usb_pid, uint8_t* init_config);

// Builds the configuration record of a bulk endpoint file into `init_config`:
// the tag 1, then the endpoint's full-speed and high-speed descriptors.
// Returns its length (18).
size_t build_ep_config(const usb_endpoint_descriptor& full_speed, const usb_endpoint_descriptor& high_speed,
                       uint8_t* init_config);

// ---- Ending a control request ------------------------------------------------------
//
// Every request ends with exactly one of these. Their results are not
// examined, but the reply's is returned for the lines that report it.

// Sends `len` bytes as the data stage (never cut to wLength: the ep0 file
// sends at most wLength). Returns the write's result.
ssize_t reply_ep0(int fd, const void* data, size_t len);
// Completes a request without data stage: a zero-length read.
void ack_ep0(int fd);
// Refuses the request: "Stalled" on standard error, then a zero-length call
// in the direction opposite to the request.
void stall_ep0(int fd, uint8_t bRequestType);
