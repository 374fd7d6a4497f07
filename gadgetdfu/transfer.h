// Bulk transfer: the state through which the main thread hands a firmware
// transfer to a stream thread, the retrying writer, the two stream threads,
// and their life cycle (start, stop, wake, join) and clear-halt requests.
//
// Callers: the control requests (SET_CONFIGURATION, SET_INTERFACE), the event
// loop (DISCONNECT, SUSPEND, the way out) and the firmware commands. Nothing
// here calls back into them.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

// ---- The stream threads' shared record -----------------------------------------------

// `stop` nonzero asks both stream threads to leave; `fd_in` and `fd_out` are
// the endpoint files (0 before the first configuration, -1 once closed).
struct io_thread_args {
    std::atomic<uint32_t> stop{0};
    std::atomic<int32_t> fd_in{0};
    std::atomic<int32_t> fd_out{0};
};
extern io_thread_args thread_args;

// Starts the RX thread, then the TX thread, on `thread_args` (stop cleared
// first). When either cannot start, the other is stopped, both endpoint files
// are closed, and false is returned: half a pair cannot stream.
bool start_stream_threads();
// Raises the stop flag and wakes both stream threads out of blocking calls.
void stop_stream_threads();
// Waits until the stream threads started last have left (waking them as
// long as they run). Does nothing when none were started.
void join_stream_threads();
// SET_INTERFACE: clear the halts of the open endpoint files. The stream
// thread that owns each endpoint does it at its next pass, so that ep0 never
// waits behind a read or write that holds the endpoint. A read that bulk OUT
// can no longer end, because this daemon halted it, is cut short first; the
// call returns once the RX thread has cleared that halt.
void request_clear_halts();

// ---- Transfer state --------------------------------------------------------------------

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

// Stops and joins the stream threads, closes what is open (transfers and
// endpoint files) and sets the record and the transfer state back to their
// values at process start.
void reset_streams();

// ---- The writer and the threads ------------------------------------------------------------

// How write_all treats its target.
struct write_rules {
    // Asked after each failed write with its errno: true ends the call at
    // once (a stopping stream, an error that retrying cannot fix).
    bool (*give_up)(int err);
    // The target waits for the host (an endpoint file): console lines the
    // thread holds go out before each write.
    bool waits_for_host;
};

// Writes `length` bytes from `buffer`, retrying failed writes (up to 101
// failures in one call, 200 ms apart) unless `rules` give up. Returns
// `length`, 0 for a length of 0 or less, or -1 with errno set when it gave up.
ssize_t write_all(int fd, const uint8_t* buffer, ssize_t length, const char* description,
                  const write_rules* rules = nullptr);

void* rx_thread(void* arg);
void* tx_thread(void* arg);
