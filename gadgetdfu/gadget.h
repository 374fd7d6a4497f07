// Gadget bring-up and the event loop: start-up with the SoC serial number,
// registration with gadgetfs, and the loop that reads gadgetfs events from
// ep0 and hands SETUP requests to the control request handling.
#pragma once

#include <cstdint>

// Copies the serial value that follows "Serial\t\t: " in "/proc/cpuinfo"
// (at most 16 characters, up to the end of its line) into `serial`. Returns 0,
// or -1 when the file cannot be opened or holds no such line.
int GrabSocSerial(uint8_t* serial);

// The life of the process: banner, serial, controller registration, then the
// ep0 event loop. Returns the exit status: 2, 1 or -1.
int gadget_main();

// Reads and handles gadgetfs events until a read of `fd` fails.
void handle_ep0(int fd);

// Sets everything the daemon keeps between requests back to its state at
// process start: the stream threads are stopped and joined, open transfers
// and endpoint files closed, the serial string restored. For a process that
// runs the daemon more than once (the unit tests).
void reset_daemon_state();
