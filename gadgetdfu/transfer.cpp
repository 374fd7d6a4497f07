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
#include "transfer.h"

#include <fcntl.h>
#include <linux/usb/gadgetfs.h>
#include <sys/select.h>

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
// Signalled when a stream thread lets go of a replaced descriptor.
std::condition_variable retired_cv;
// How often a new download wakes the TX thread, 2 ms apart, to make it drop
// the chunk of the download it replaces.
constexpr int kRetireWakes = 500;

// The descriptor a stream thread is using outside the lock. When the main
// thread replaces that transfer, it sets `close_when_done` and the thread
// closes the old descriptor once it is finished with it.
struct in_use {
    int fd = -1;
    bool close_when_done = false;
};
in_use upload_use;    // guarded by transfer_mutex
in_use download_use;  // guarded by transfer_mutex

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
// is closed and the new transfer stays.
void release(in_use& use, std::atomic<int32_t>& published, int fd, bool end) {
    // requires transfer_mutex
    use.fd = -1;
    if (use.close_when_done) {
        use.close_when_done = false;
        os->close(fd);
        retired_cv.notify_all();
        return;
    }
    if (end && published.load() == fd) {
        os->close(fd);
        published.store(0);
    }
}

bool rx_should_give_up(int) { return thread_args.stop.load() != 0; }
const write_rules kToDisk = {.give_up = rx_should_give_up, .waits_for_host = false};

bool tx_should_give_up(int) {
    if (thread_args.stop.load() != 0) return true;
    std::lock_guard<std::mutex> lock(transfer_mutex);
    return download_use.close_when_done;
}
const write_rules kToUsb = {.give_up = tx_should_give_up, .waits_for_host = true};

// Closes the download, flushes the IN endpoint's FIFO, clears its halt and
// marks the download closed. Results are not looked at.
void end_download(int file, int fd_in) {  // requires transfer_mutex
    download_use.fd = -1;
    os->close(file);
    (void)os->ioctl(fd_in, GADGETFS_FIFO_FLUSH, nullptr);
    (void)os->ioctl(fd_in, GADGETFS_CLEAR_HALT, nullptr);
    fdRFirmware.store(0);
}

bool usable_for_select(int fd) { return fd > 0 && fd < FD_SETSIZE; }

// Wakes a TX thread that waits for a download, so it re-reads its state.
void notify_tx_waiter() {
    // Taking the lock orders this with a waiter's test of its condition, so
    // that a change made just before cannot be missed.
    { std::lock_guard<std::mutex> lock(transfer_mutex); }
    download_cv.notify_all();
}

// Wakes the TX thread out of a write to the IN endpoint (the download it is
// sending was replaced).
void wake_tx_thread() {
    if (threadt.started) os->thread_wake(threadt.handle);
}

void close_field(std::atomic<int32_t>* field) {
    const int fd = field->exchange(-1);
    if (fd > 0) os->close(fd);
}

}  // namespace

// ---- Life cycle of the stream threads (main thread) -------------------------------

bool start_stream_threads() {
    thread_args.stop.store(0);
    clear_halt_in_pending.store(false);
    clear_halt_out_pending.store(false);
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
    if (threadr.started) os->thread_wake(threadr.handle);
    if (threadt.started) os->thread_wake(threadt.handle);
}

void join_stream_threads() {
    for (stream_thread* t : {&threadr, &threadt}) {
        if (!t->started) continue;
        // A thread blocked in an endpoint call is woken by a signal; one sent
        // just before it entered the call is lost, so keep waking it until
        // it has gone.
        while (os->thread_tryjoin(t->handle) == EBUSY) {
            notify_tx_waiter();
            os->thread_wake(t->handle);
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
    if (thread_args.fd_out.load() > 0) clear_halt_out_pending.store(true);
}

// ---- Opening transfers (main thread) --------------------------------------------

int open_upload() {
    std::lock_guard<std::mutex> lock(transfer_mutex);
    const int old = fdFirmware.load();
    if (old > 0) {
        log_err("Block device still open for writing, close it first!\n");
        retire(upload_use, old);
    }
    log_err("Opening blockdevice for writing... \n");
    const int tfd = os->open(kFirmwarePath, O_WRONLY | O_CLOEXEC);
    (void)os->lseek(tfd, 0, SEEK_SET);
    fdFirmware.store(tfd);
    log_err("File/device(write) opening process result= [%d]... \n", fdFirmware.load());
    return tfd;
}

int open_download(uint64_t length) {
    bool interrupt_sender = false;
    int tfd;
    {
        std::lock_guard<std::mutex> lock(transfer_mutex);
        const int old = fdRFirmware.load();
        if (old > 0) {
            log_err("Block device still open for reading, close it first!\n");
            interrupt_sender = retire(download_use, old);
        }
        log_err("Opening blockdevice for reading... \n");
        tfd = os->open(kFirmwarePath, O_RDONLY | O_CLOEXEC);
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
    }
    notify_tx_waiter();
    // A chunk of the old download may be on its way to the host: cut it
    // short so that the new download starts clean. A wake that arrives
    // while the thread is between its checks and the write is lost, so wake
    // it until it has let go of the old descriptor (bounded: a thread that
    // never gets there must not hold up the control endpoint for ever).
    if (interrupt_sender) {
        std::unique_lock<std::mutex> lock(transfer_mutex);
        for (int tries = 0; tries < kRetireWakes && download_use.close_when_done; ++tries) {
            lock.unlock();
            wake_tx_thread();
            lock.lock();
            retired_cv.wait_for(lock, std::chrono::milliseconds(2),
                                [] { return !download_use.close_when_done; });
        }
    }
    return tfd;
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
        if (clear_halt_out_pending.exchange(false)) (void)os->ioctl(fd_out, GADGETFS_CLEAR_HALT, nullptr);

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
        const ssize_t n = os->read(fd_out, buffer, sizeof buffer);
        const int read_errno = errno;
        log_out("RX Thread read data done from usb: %d\n", static_cast<int>(n));

        int file;
        {
            std::lock_guard<std::mutex> lock(transfer_mutex);
            file = fdFirmware.load();
            if (file > 0) upload_use.fd = file;
        }
        if (file <= 0) {
            log_line("No output file, ignore these bytes. Keep reading to empty the buffer.");
            if (n < 0) os->usleep(1000);  // a failing endpoint must not spin the core
            continue;
        }

        if (n < 0) {
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
            (void)os->fsync(file);
            std::lock_guard<std::mutex> lock(transfer_mutex);
            release(upload_use, fdFirmware, file, true);
            continue;
        }

        log_out("Read %d bytes from USB\n", static_cast<int>(n));
        log_out("RX Thread writing to disk: %d\n", static_cast<int>(n));
        const ssize_t write_res = write_all(file, buffer, n, "to disk", &kToDisk);
        log_out("RX Thread write to disk done %d\n", static_cast<int>(write_res));
        if (write_res == -1) {
            log_err("write error\n");
            std::lock_guard<std::mutex> lock(transfer_mutex);
            release(upload_use, fdFirmware, file, true);
            continue;
        }
        log_out("Write status %d (%s)\n", static_cast<int>(write_res), errno_text(errno));
        // On storage before the next chunk is taken from the pipe.
        (void)os->fsync(file);
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
            if (file <= 0) continue;
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
        }

        const ssize_t written = write_all(args->fd_in.load(), buffer, n, "to usb", &kToUsb);

        std::lock_guard<std::mutex> lock(transfer_mutex);
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
