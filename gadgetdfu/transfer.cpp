// Bulk transfer: the state through which the main thread hands a firmware
// transfer to a stream thread, the retrying writer, the two stream threads
// that move bytes between the bulk endpoints and the image file, and the
// threads' life cycle.
//
// Hand-over rules. The main thread opens a transfer and publishes its
// descriptor; the stream thread ends it (close, then 0). A stream thread
// takes the descriptor under `transfer_mutex` and then uses it outside the
// lock; if the main thread replaces the transfer meanwhile, it leaves the
// close of the old descriptor to that thread, so no descriptor is ever used
// after it was closed or after its number was given to a new open.
//
// Life cycle. Only the main thread starts, stops and joins the threads. A
// stream thread blocks inside endpoint reads and writes, which cannot be
// polled; a stop raises the flag and wakes it with a signal, and a new pair
// starts only after the old one has been joined.
//
// Wake signals. gadgetfs cancels an endpoint request that a signal
// interrupts and returns EINTR, even when part of its data has moved. So a
// signal is sent only to a thread that is meant to be cut off where it is:
// each thread says under `transfer_mutex` when it enters an endpoint read or
// write, and the main thread decides under the same lock whether to signal.
// A thread must take the lock before it starts its next endpoint call, so a
// signal sent under the lock is delivered before that call and cannot hit
// it. An upload read cut off this way while its upload is open ends the
// upload as failed (its lost bytes would shift the rest); a download write
// cut off ends the download (the host has part of the chunk; it is never
// sent again).
//
// Refusing data. When an upload cannot go on (the image file does not open,
// a write or sync fails, a read was cut off), the RX thread halts bulk OUT:
// a zero-length write on the OUT endpoint file sets the halt (gadgetfs
// answers EBADMSG), and every later packet is stalled until the host clears
// it (CLEAR_FEATURE, which the controller serves, or SET_INTERFACE, which
// has the RX thread clear it). Only the RX thread may set or clear it: its
// pending read holds the endpoint.
#include "transfer.h"

#include <fcntl.h>
#include <linux/usb/gadgetfs.h>
#include <sys/select.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "gadgetdfu/protocol.h"
#include "os.h"
#include "paths.h"

io_thread_args thread_args;

std::atomic<int32_t> fdFirmware{0};
std::atomic<int32_t> fdRFirmware{0};
std::atomic<uint64_t> readSize{0};
std::atomic<uint64_t> totalBytesRead{0};

namespace {

// Clear-halt requests handed to the stream threads (see request_clear_halts).
std::atomic<bool> clear_halt_in_pending{false};
std::atomic<bool> clear_halt_out_pending{false};

// The pair of stream threads started last, and whether each is still running.
// Only the main thread touches the handles.
struct stream_thread {
    pthread_t handle{};
    bool started = false;
};
stream_thread threadr, threadt;

std::mutex transfer_mutex;
// The TX thread waits here while no download is open.
std::condition_variable download_cv;
// Signalled when a stream thread lets go of a replaced descriptor, leaves an
// endpoint read, or has halted bulk OUT.
std::condition_variable rx_tx_cv;
// How often the main thread wakes a stream thread, 2 ms apart, until it has
// let go of what a new command replaced (bounded: a thread that never gets
// there must not hold up the control endpoint for ever).
constexpr int kHandOverWakes = 500;

// The descriptor a stream thread is using outside the lock. When the main
// thread replaces that transfer, it sets `close_when_done` and the thread
// closes the old descriptor once it is finished with it.
struct in_use {
    int fd = -1;
    bool close_when_done = false;
};
in_use upload_use;    // guarded by transfer_mutex
in_use download_use;  // guarded by transfer_mutex

// Guarded by transfer_mutex: where the stream threads are (see "Wake
// signals" above) and what the RX thread is asked to do.
struct rx_status {
    bool reading = false;          // in a read of the OUT endpoint
    uint64_t read_generation = 0;  // `upload_generation` when the read began
    bool halt_requested = false;   // halt bulk OUT at the top of the next pass
    bool out_halted = false;       // bulk OUT halted by this thread, not cleared since
};
rx_status rx;
bool tx_writing = false;  // in a write of a chunk to the IN endpoint
// Counts upload commands: bytes of a read that began before the latest one
// belong to no upload.
uint64_t upload_generation = 0;

// A run of writes that return 0 makes no progress; this many in a row end
// write_all with failure.
constexpr int kMaxEmptyWrites = 100;

// Ends the main thread's hold on a descriptor that a new command replaces.
// Returns true when a stream thread is using it (and will close it).
bool retire(in_use& use, int fd) {  // requires transfer_mutex
    if (use.fd == fd) {
        use.close_when_done = true;
        return true;
    }
    os->close(fd);
    return false;
}

// Gives a descriptor back after a use outside the lock. With `end`, the
// transfer is over (the thread closes it and marks it closed), unless the
// main thread replaced it meanwhile, in which case only the old descriptor
// is closed and the new transfer stays. Returns true when `end` ended the
// published transfer.
bool release(in_use& use, std::atomic<int32_t>& published, int fd, bool end) {
    // requires transfer_mutex
    use.fd = -1;
    if (use.close_when_done) {
        use.close_when_done = false;
        os->close(fd);
        rx_tx_cv.notify_all();
        return false;
    }
    if (end && published.load() == fd) {
        os->close(fd);
        published.store(0);
        return true;
    }
    return false;
}

// The image file: only an interrupted or busy write is worth another try;
// a full, broken or read-only file system is not. A stopping stream gives up
// too.
bool disk_write_gives_up(int err) { return (err != EINTR && err != EAGAIN) || thread_args.stop.load() != 0; }
const write_rules kToDisk = {.give_up = disk_write_gives_up, .waits_for_host = false};

// The IN endpoint: a write cut off by a signal may have sent part of the
// chunk, so it is never repeated; a stopping stream or a replaced download
// gives up too. Other failures (the host away for a moment) are retried.
bool usb_write_gives_up(int err) {
    if (err == EINTR || thread_args.stop.load() != 0) return true;
    std::lock_guard<std::mutex> lock(transfer_mutex);
    return download_use.close_when_done;
}
const write_rules kToUsb = {.give_up = usb_write_gives_up, .waits_for_host = true};

// Closes the download, flushes the IN endpoint's FIFO, clears its halt and
// marks the download closed. Results are not looked at.
void end_download(int file, int fd_in) {  // requires transfer_mutex
    download_use.fd = -1;
    os->close(file);
    (void)os->ioctl(fd_in, GADGETFS_FIFO_FLUSH, nullptr);
    (void)os->ioctl(fd_in, GADGETFS_CLEAR_HALT, nullptr);
    fdRFirmware.store(0);
}

// Halts bulk OUT by a "wrong-direction" zero-length write. RX thread only.
void halt_out(int fd_out) {  // requires transfer_mutex
    uint8_t none = 0;
    (void)os->write(fd_out, &none, 0);  // gadgetfs answers EBADMSG: the halt is set
    rx.out_halted = true;
}

// Ends an upload that cannot go on: the file is closed and bulk OUT halted,
// so that the host learns at its next packet. `what` and `err` say why. A
// replaced upload is only let go; the new one is not touched.
void fail_upload(int file, int fd_out, const char* what, int err) {
    {
        std::lock_guard<std::mutex> lock(transfer_mutex);
        if (!release(upload_use, fdFirmware, file, true)) return;
        halt_out(fd_out);
    }
    log_err("Upload abandoned, bulk OUT halted: %s (%s)\n", what, errno_text(err));
}

bool usable_for_select(int fd) { return fd > 0 && fd < FD_SETSIZE; }

// Wakes a TX thread that waits for a download, so it re-reads its state.
void notify_tx_waiter() {
    // Taking the lock orders this with a waiter's test of its condition, so
    // that a change made just before cannot be missed.
    { std::lock_guard<std::mutex> lock(transfer_mutex); }
    download_cv.notify_all();
}

// Signals a stream thread only while it is inside the endpoint call it is
// meant to leave: RX in a read of bulk OUT, TX in a write to bulk IN.
void wake_rx_if_reading() {  // requires transfer_mutex
    if (threadr.started && rx.reading) os->thread_wake(threadr.handle);
}
void wake_tx_if_writing() {  // requires transfer_mutex
    if (threadt.started && tx_writing) os->thread_wake(threadt.handle);
}

// Whether the RX thread still has to act on the latest upload command: leave
// a read that began before it, or halt bulk OUT.
bool rx_behind() {  // requires transfer_mutex
    if (!threadr.started || thread_args.stop.load() != 0) return false;
    return (rx.reading && rx.read_generation != upload_generation) || rx.halt_requested;
}

void close_field(std::atomic<int32_t>* field) {
    const int fd = field->exchange(-1);
    if (fd > 0) os->close(fd);
}

// Whether SET_INTERFACE has to cut the RX thread's read short to clear the
// halt: a halt this daemon set stalls every packet, so that read never
// returns by itself. It is cut off only while its bytes would go nowhere
// anyway (no upload open, or the read began before the latest upload
// command); a read that belongs to an open upload is left alone.
bool rx_waits_behind_own_halt() {  // requires transfer_mutex
    if (!threadr.started || thread_args.stop.load() != 0) return false;
    if (!rx.out_halted || !clear_halt_out_pending.load()) return false;
    return fdFirmware.load() <= 0 || rx.read_generation != upload_generation;
}

// Opens the image without ever waiting in the open: a FIFO at its path (any
// local user can make one in /tmp) would hold the open, and ep0 with it,
// until something opened the other end. Only a regular file or a device node
// is taken, and then put back into blocking mode. The descriptor, or -1 with
// errno set (ENXIO for a FIFO or a socket, EISDIR for a folder).
int open_firmware(int access) {
    const int fd = os->open(kFirmwarePath, access | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    int err = 0;
    if (os->fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
        log_err("Refusing %s: neither a regular file nor a device node\n", kFirmwarePath);
    } else {
        const int flags = os->fcntl(fd, F_GETFL, 0);
        if (flags < 0 || os->fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) err = errno;
    }
    if (err == 0) return fd;
    (void)os->close(fd);
    errno = err;
    return -1;
}

}  // namespace

// ---- Life cycle of the stream threads (main thread) -------------------------------

bool start_stream_threads() {
    thread_args.stop.store(0);
    clear_halt_in_pending.store(false);
    clear_halt_out_pending.store(false);
    {
        std::lock_guard<std::mutex> lock(transfer_mutex);
        rx = {};
        tx_writing = false;
    }
    threadr.started = os->thread_create(&threadr.handle, rx_thread, &thread_args) == 0;
    threadt.started = os->thread_create(&threadt.handle, tx_thread, &thread_args) == 0;
    if (threadr.started && threadt.started) return true;
    log_err("Unable to start the stream threads\n");
    // Half a pair cannot stream: let the one that started leave, and close
    // both endpoint files, so that the next SET_CONFIGURATION 1 starts from
    // scratch instead of finding a file still open.
    stop_stream_threads();
    join_stream_threads();
    close_field(&thread_args.fd_in);
    close_field(&thread_args.fd_out);
    return false;
}

void stop_stream_threads() {
    thread_args.stop.store(1);
    notify_tx_waiter();
    // A thread between two endpoint calls sees the flag by itself; one
    // inside a call is cut off there. A download between chunks stays open.
    std::lock_guard<std::mutex> lock(transfer_mutex);
    wake_rx_if_reading();
    wake_tx_if_writing();
}

void join_stream_threads() {
    for (stream_thread* t : {&threadr, &threadt}) {
        if (!t->started) continue;
        // A signal sent just before the thread entered its call is lost, so
        // keep waking it, as long as it is inside one, until it has gone.
        while (os->thread_tryjoin(t->handle) == EBUSY) {
            notify_tx_waiter();
            {
                std::lock_guard<std::mutex> lock(transfer_mutex);
                if (t == &threadr)
                    wake_rx_if_reading();
                else
                    wake_tx_if_writing();
            }
            const struct timespec pause = {0, 2000000};
            os->nanosleep(&pause);
        }
        t->started = false;
    }
}

void request_clear_halts() {
    // Only endpoint files that are open; the thread that owns each one does
    // the ioctl at the top of its next pass.
    if (thread_args.fd_in.load() > 0) {
        clear_halt_in_pending.store(true);
        notify_tx_waiter();
    }
    if (thread_args.fd_out.load() <= 0) return;
    clear_halt_out_pending.store(true);
    // Before the host has the acknowledgement, so that its next packet finds
    // the endpoint cleared. A wake may come just before the read and be lost,
    // hence the repetition (bounded, like a hand-over).
    std::unique_lock<std::mutex> lock(transfer_mutex);
    for (int tries = 0; tries < kHandOverWakes && rx_waits_behind_own_halt(); ++tries) {
        wake_rx_if_reading();
        rx_tx_cv.wait_for(lock, std::chrono::milliseconds(2));
    }
}

// ---- Opening transfers (main thread) --------------------------------------------

int open_upload() {
    std::unique_lock<std::mutex> lock(transfer_mutex);
    const int old = fdFirmware.load();
    if (old > 0) {
        log_err("Block device still open for writing, close it first!\n");
        retire(upload_use, old);
    }
    log_err("Opening blockdevice for writing... \n");
    const int tfd = open_firmware(O_WRONLY);
    const int open_errno = errno;
    (void)os->lseek(tfd, 0, SEEK_SET);
    fdFirmware.store(tfd);
    ++upload_generation;
    log_err("File/device(write) opening process result= [%d]... \n", fdFirmware.load());

    // Before the host has the reply: a read the RX thread has pending began
    // before this command and may already hold bytes sent before it; it is
    // cut off, and its bytes go nowhere. When the file did not open, bulk OUT
    // is halted so that the data the host sends next is refused.
    rx.halt_requested = tfd < 0 && threadr.started && thread_args.stop.load() == 0;
    for (int tries = 0; tries < kHandOverWakes && rx_behind(); ++tries) {
        if (rx.read_generation != upload_generation) wake_rx_if_reading();
        rx_tx_cv.wait_for(lock, std::chrono::milliseconds(2));
    }
    return tfd < 0 ? -open_errno : tfd;
}

int open_download(uint64_t length) {
    std::unique_lock<std::mutex> lock(transfer_mutex);
    const int old = fdRFirmware.load();
    bool interrupt_sender = false;
    if (old > 0) {
        log_err("Block device still open for reading, close it first!\n");
        interrupt_sender = retire(download_use, old);
    }
    log_err("Opening blockdevice for reading... \n");
    const int tfd = open_firmware(O_RDONLY);
    const int open_errno = errno;
    (void)os->lseek(tfd, 0, SEEK_SET);
    if (length == 0)
        log_err("Reading all bytes from firmware... \n");
    else
        log_err("Reading %llu bytes from firmware... \n", static_cast<unsigned long long>(length));
    // The counters first, the descriptor last: it publishes the download.
    totalBytesRead.store(0, std::memory_order_relaxed);
    readSize.store(length, std::memory_order_relaxed);
    fdRFirmware.store(tfd, std::memory_order_release);
    log_err("File/device(read) opening process result= [%d]... \n", fdRFirmware.load());
    download_cv.notify_all();

    // A chunk of the old download may be on its way to the host: cut it
    // short so that the new download starts clean.
    for (int tries = 0; interrupt_sender && tries < kHandOverWakes && download_use.close_when_done; ++tries) {
        wake_tx_if_writing();
        rx_tx_cv.wait_for(lock, std::chrono::milliseconds(2));
    }
    return tfd < 0 ? -open_errno : tfd;
}

void reset_streams() {
    stop_stream_threads();
    join_stream_threads();
    for (std::atomic<int32_t>* fd : {&thread_args.fd_in, &thread_args.fd_out}) {
        const int old = fd->exchange(0);
        if (old > 0) os->close(old);
    }
    thread_args.stop.store(0);
    clear_halt_in_pending.store(false);
    clear_halt_out_pending.store(false);

    std::lock_guard<std::mutex> lock(transfer_mutex);
    for (std::atomic<int32_t>* fd : {&fdFirmware, &fdRFirmware}) {
        const int old = fd->exchange(0);
        if (old > 0) os->close(old);
    }
    readSize.store(0);
    totalBytesRead.store(0);
    upload_use = {};
    download_use = {};
    rx = {};
    tx_writing = false;
    upload_generation = 0;
}

// ---- write_all --------------------------------------------------------------------

ssize_t write_all(int fd, const uint8_t* buffer, ssize_t length, const char* description,
                  const write_rules* rules) {
    if (length <= 0) return 0;

    ssize_t totalBytesWritten = 0;
    int attempts = 0;
    int emptyWrites = 0;
    while (totalBytesWritten < length) {
        const ssize_t to_write = length - totalBytesWritten;
        log_out("write_all %s to_write: %d\n", description, static_cast<int>(to_write));
        if (rules != nullptr && rules->waits_for_host) console_flush();
        const ssize_t bytesWritten = os->write(fd, buffer + totalBytesWritten, static_cast<size_t>(to_write));
        const int err = errno;
        log_out("write_all %s bytesWritten: %d\n", description, static_cast<int>(bytesWritten));

        if (bytesWritten < 0) {
            errno = err;
            log_perror("write error");
            if (++attempts > 100 || (rules != nullptr && rules->give_up(err))) {
                errno = err;
                return -1;
            }
            os->usleep(200000);
            continue;
        }
        if (bytesWritten == 0) {
            if (++emptyWrites > kMaxEmptyWrites) {
                log_err("write error: no progress after %d empty writes\n", kMaxEmptyWrites);
                errno = EIO;
                return -1;
            }
            continue;
        }
        emptyWrites = 0;
        totalBytesWritten += bytesWritten;
    }
    return totalBytesWritten;
}

// ---- Upload stream ------------------------------------------------------------------

void* rx_thread(void* arg) {
    auto* args = static_cast<io_thread_args*>(arg);
    (void)os->thread_accept_wake();
    log_err("Starting RX thread: %d\n", static_cast<int>(args->stop.load()));
    const int max_read_fd = std::max(0, static_cast<int>(args->fd_out.load()));

    // Not cleared between passes: only the bytes a read returned are ever
    // written, so nothing of an earlier chunk can reach the file.
    uint8_t buffer[gadgetdfu::kUploadReadSize];
    console_hold();

    while (args->stop.load() == 0) {
        const int fd_out = args->fd_out.load();
        if (!usable_for_select(fd_out)) {
            log_err("RX Thread has no usable endpoint file (%d)\n", fd_out);
            break;
        }
        if (clear_halt_out_pending.exchange(false)) {
            (void)os->ioctl(fd_out, GADGETFS_CLEAR_HALT, nullptr);
            std::lock_guard<std::mutex> lock(transfer_mutex);
            rx.out_halted = false;
            rx_tx_cv.notify_all();
        }

        fd_set read_set;
        FD_ZERO(&read_set);
        FD_SET(fd_out, &read_set);
        struct timeval timeout = {0, 10000};

        log_line("RX Thread waiting for data from usb");
        const int ret = os->select(max_read_fd + 1, &read_set, nullptr, nullptr, &timeout);
        const int select_errno = errno;
        log_out("RX Thread got data from usb: %d\n", ret);
        if (ret == 0) continue;
        if (ret < 0) {
            if (select_errno == EINTR) continue;  // woken to look at the stop flag
            log_err("rx select error!\n");
            break;
        }

        log_line("RX Thread read data from usb");
        console_flush();  // the read waits for the host
        {
            std::lock_guard<std::mutex> lock(transfer_mutex);
            if (rx.halt_requested) {
                // The upload command found no file to write to.
                halt_out(fd_out);
                rx.halt_requested = false;
                rx_tx_cv.notify_all();
            }
            rx.reading = true;
            rx.read_generation = upload_generation;
        }
        const ssize_t n = os->read(fd_out, buffer, sizeof buffer);
        const int read_errno = errno;
        log_out("RX Thread read data done from usb: %d\n", static_cast<int>(n));

        int file;
        bool stale;
        {
            std::lock_guard<std::mutex> lock(transfer_mutex);
            rx.reading = false;
            stale = rx.read_generation != upload_generation;
            file = fdFirmware.load();
            if (file > 0 && !stale) upload_use.fd = file;
            rx_tx_cv.notify_all();
        }
        if (file <= 0) {
            log_line("No output file, ignore these bytes. Keep reading to empty the buffer.");
            if (n < 0) os->usleep(1000);  // a failing endpoint must not spin the core
            continue;
        }
        if (stale) {
            // The read began before the upload command: whatever it holds was
            // sent before the host had the reply.
            if (n > 0) log_line("RX Thread drops bytes sent before the upload command");
            continue;
        }

        if (n < 0) {
            if (read_errno == EINTR) {
                // The request was cancelled and its bytes, if any, are lost:
                // the upload cannot go on without a gap.
                fail_upload(file, fd_out, "read from usb interrupted", read_errno);
                continue;
            }
            log_err("Read error from usb %d(%s)\n", static_cast<int>(n), errno_text(read_errno));
            {
                std::lock_guard<std::mutex> lock(transfer_mutex);
                release(upload_use, fdFirmware, file, false);
            }
            os->usleep(1000);
            continue;
        }

        if (n == 0) {
            // A zero-length packet ends the upload.
            log_line("RX Thread read 0 bytes from usb");
            if (os->fsync(file) != 0) {
                fail_upload(file, fd_out, "sync to disk failed", errno);
                continue;
            }
            std::lock_guard<std::mutex> lock(transfer_mutex);
            release(upload_use, fdFirmware, file, true);
            continue;
        }

        log_out("Read %d bytes from USB\n", static_cast<int>(n));
        log_out("RX Thread writing to disk: %d\n", static_cast<int>(n));
        const ssize_t write_res = write_all(file, buffer, n, "to disk", &kToDisk);
        const int write_errno = errno;
        log_out("RX Thread write to disk done %d\n", static_cast<int>(write_res));
        if (write_res == -1) {
            log_err("write error\n");
            fail_upload(file, fd_out, "write to disk failed", write_errno);
            continue;
        }
        log_out("Write status %d (%s)\n", static_cast<int>(write_res), errno_text(write_errno));
        // On storage before the next chunk is taken from the pipe.
        if (os->fsync(file) != 0) {
            fail_upload(file, fd_out, "sync to disk failed", errno);
            continue;
        }
        std::lock_guard<std::mutex> lock(transfer_mutex);
        release(upload_use, fdFirmware, file, false);
    }

    log_line("RX Thread exiting");
    console_flush();
    const int fd_out = args->fd_out.exchange(-1);
    if (fd_out > 0) os->close(fd_out);
    log_err(" RX Thread exiting\n");
    return nullptr;
}

// ---- Download stream -------------------------------------------------------------

void* tx_thread(void* arg) {
    auto* args = static_cast<io_thread_args*>(arg);
    (void)os->thread_accept_wake();
    log_err("Starting TX thread\n");
    const int max_write_fd = std::max(0, static_cast<int>(args->fd_in.load()));

    uint8_t buffer[gadgetdfu::kDownloadChunkSize];
    console_hold();

    while (args->stop.load() == 0) {
        const int fd_in = args->fd_in.load();
        if (!usable_for_select(fd_in)) {
            log_err("TX Thread has no usable endpoint file (%d)\n", fd_in);
            break;
        }
        if (clear_halt_in_pending.exchange(false)) (void)os->ioctl(fd_in, GADGETFS_CLEAR_HALT, nullptr);

        fd_set write_set;
        FD_ZERO(&write_set);
        FD_SET(fd_in, &write_set);
        const int ret = os->select(max_write_fd + 1, nullptr, &write_set, nullptr, nullptr);
        if (ret < 0) {
            if (errno == EINTR) continue;  // woken to look at the stop flag
            log_err("tx select error!\n");
            break;
        }
        if (ret == 0) {
            os->usleep(1000);
            continue;
        }

        int file;
        ssize_t to_read;
        {
            // Wait for a download instead of spinning: the endpoint file
            // reports itself ready at once whether or not there is work.
            std::unique_lock<std::mutex> lock(transfer_mutex);
            const auto work = [args] {
                return fdRFirmware.load(std::memory_order_acquire) > 0 || args->stop.load() != 0 ||
                       clear_halt_in_pending.load();
            };
            if (!work()) {
                console_flush();  // waiting for the host's next command
                download_cv.wait(lock, work);
            }
            file = fdRFirmware.load(std::memory_order_acquire);
            if (file <= 0 || args->stop.load() != 0) continue;  // a stop between chunks leaves it open
            download_use.fd = file;

            const uint64_t size = readSize.load(std::memory_order_relaxed);
            if (size == 0) {
                to_read = static_cast<ssize_t>(gadgetdfu::kDownloadChunkSize);
            } else {
                const int64_t remaining =
                    static_cast<int64_t>(size - totalBytesRead.load(std::memory_order_relaxed));
                to_read =
                    static_cast<ssize_t>(std::clamp<int64_t>(remaining, 0, gadgetdfu::kDownloadChunkSize));
            }
        }

        const ssize_t n = os->read(file, buffer, static_cast<size_t>(to_read));
        const int read_errno = errno;
        {
            std::lock_guard<std::mutex> lock(transfer_mutex);
            if (download_use.close_when_done) {
                // Replaced while the chunk was read: the old download's
                // bytes are not sent, the new one starts at its offset 0.
                release(download_use, fdRFirmware, file, false);
                continue;
            }
            if (n > 0 && args->stop.load() != 0) {
                // Stopped between chunks: put the chunk back, so that the
                // download goes on from here with the next pair of threads.
                (void)os->lseek(file, -static_cast<off_t>(n), SEEK_CUR);
                release(download_use, fdRFirmware, file, false);
                continue;
            }
            if (n <= 0) {
                log_err("End of file or read error %d(%s)\n", static_cast<int>(n), errno_text(read_errno));
                end_download(file, args->fd_in.load());
                continue;
            }
            const uint64_t total = totalBytesRead.load(std::memory_order_relaxed) + static_cast<uint64_t>(n);
            totalBytesRead.store(total, std::memory_order_relaxed);
            if (n > 3)
                log_out("write %d bytes to usb: %02x %02x %02x %02x (totalBytesRead: %lld)\n",
                        static_cast<int>(n), buffer[0], buffer[1], buffer[2], buffer[3],
                        static_cast<long long>(total));
            else
                log_out("write %d bytes to usb: %02x (totalBytesRead: %lld)\n", static_cast<int>(n),
                        buffer[0], static_cast<long long>(total));
            tx_writing = true;
        }

        const ssize_t written = write_all(args->fd_in.load(), buffer, n, "to usb", &kToUsb);

        std::lock_guard<std::mutex> lock(transfer_mutex);
        tx_writing = false;
        if (download_use.close_when_done) {
            release(download_use, fdRFirmware, file, false);
            continue;
        }
        if (written == -1) {
            log_err("write to usb failed\n");
            end_download(file, args->fd_in.load());
            continue;
        }
        const uint64_t size = readSize.load(std::memory_order_relaxed);
        const uint64_t total = totalBytesRead.load(std::memory_order_relaxed);
        if (size != 0 && total == size) {
            log_out("TX Thread read all bytes from disk (%lld)\n", static_cast<long long>(total));
            end_download(file, args->fd_in.load());
            continue;
        }
        download_use.fd = -1;
    }

    console_flush();
    const int fd_in = args->fd_in.exchange(-1);
    if (fd_in > 0) os->close(fd_in);
    log_err(" TX Thread exiting\n");
    return nullptr;
}
