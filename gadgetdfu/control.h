// Control request handling: classification of SETUP requests, the standard
// and class requests the device answers itself, string descriptors, and
// SET_CONFIGURATION with the bulk endpoint files and the stream threads.
#pragma once

#include <linux/usb/ch9.h>

#include <atomic>
#include <cstdint>

// The bit-field view of bRequestType.
union SRequestType {
    struct {
        uint8_t Recipient : 5;
        uint8_t Type : 2;
        uint8_t Dir : 1;
    } BM;
    uint8_t B;
};

// Answers, refuses or hands on one SETUP request of the ep0 file `fd`; every
// request ends with exactly one reply, acknowledgement or stall.
void handle_setup_request(int fd, const usb_ctrlrequest* setup);

// Opens and configures both bulk endpoint files, storing each descriptor in
// its field as soon as it is open. Returns 0 when both are configured, else
// nonzero, and then leaves neither file open.
int init_ep(std::atomic<int32_t>* fd_in, std::atomic<int32_t>* fd_out);
