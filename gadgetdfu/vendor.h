// The vendor command service: the command set carried in the low nibble of
// bRequest, its reply frame, and the commands themselves.
#pragma once

#include <linux/usb/ch9.h>

#include <cstddef>

// Runs the vendor command of `setup` and answers it on the ep0 file `fd`
// (one reply), or stalls a number that is no command.
void handle_vendor_request(int fd, const usb_ctrlrequest* setup);

// Board information. Each writes into the reply's payload area.
void get_eMMC_size(char* buff);
size_t get_eMMC_properties(char* buffer);
void read_serial(char* buffer);
void set_led_ring(const char* led_command, char* result, int size);
