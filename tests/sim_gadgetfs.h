// A simulated gadgetfs and board behind the daemon's OS seam.
//
// The controller node delivers scripted event batches and records, per event,
// the calls the daemon made on ep0 (a reply, a zero-length read or a
// zero-length write). The bulk endpoint files block like the real ones: a read
// of ep1out waits for the host to send, a write to ep1in can be made to wait
// for the host to take the data. Board tools, the firmware image, the eMMC
// node and "/proc/cpuinfo" are scripted too, and console output is captured
// per stream. Board tools are simulated processes behind the seam's process
// calls, timed by a simulated clock that only waits advance (a poll that
// times out, a pause), so a tool's time limit passes at once. Misuse of
// descriptors (a use or close after close), a wait that could never end and
// a tool left unreaped are recorded in `errors()`.
#pragma once

#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// `n` bytes of a pattern that does not repeat within 256 bytes, so that a
// shifted, dropped or repeated block shows; `seed` tells images apart.
inline Bytes sequence(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed + (i >> 8)) & 0xFF);
    return b;
}

usb_gadgetfs_event connect_event();
usb_gadgetfs_event disconnect_event();
usb_gadgetfs_event suspend_event();
usb_gadgetfs_event typed_event(uint32_t type);
usb_gadgetfs_event setup_event(uint8_t bRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                               uint16_t wLength);

// What one SETUP got on ep0.
enum class Outcome { None, Reply, Ack, Stall, Several };

struct Ep0Call {
    bool is_write;  // write (reply or zero-length write) or zero-length read
    Bytes data;
};

struct EventRecord {
    usb_gadgetfs_event event;
    std::vector<Ep0Call> calls;

    uint32_t type() const;
    bool is_setup() const { return type() == GADGETFS_SETUP; }
    // Classifies the ep0 calls by the request's direction: for a
    // device-to-host request a write is the reply and a zero-length read the
    // stall; for host-to-device a zero-length read acknowledges and a
    // zero-length write stalls.
    Outcome outcome() const;
    Bytes reply() const;
};

struct EpRecord {
    std::string path;
    Bytes record;  // the configuration record written after open
};

enum class Node { None, Controller, Ep1In, Ep1Out, Firmware, Emmc, Pipe, Other };

class SimGadget {
public:
    SimGadget();
    ~SimGadget();
    SimGadget(const SimGadget&) = delete;
    SimGadget& operator=(const SimGadget&) = delete;

    // ---- The board as the daemon finds it (set before the daemon runs) ----
    std::optional<std::string> cpuinfo = std::string("processor\t: 0\nSerial\t\t: 10000000abcdef01\n");
    bool primary_node = false;                 // "/dev/gadget/1000480000.usb"
    bool secondary_node = true;                // "/dev/gadget/fe980000.usb"
    std::optional<ssize_t> ep0_record_result;  // overrides the registration write's result
    bool ep1in_exists = true;
    bool ep1out_exists = true;
    std::optional<ssize_t> ep1in_record_result;
    std::optional<ssize_t> ep1out_record_result;
    bool emmc_exists = true;
    std::optional<uint64_t> emmc_size = uint64_t{7818182656};  // nullopt: the size query fails
    // Board tools by exact command line; nullopt: the shell cannot start it.
    std::map<std::string, std::optional<std::string>> tools;
    // Output of a tool whose read fails after the given bytes.
    std::map<std::string, std::string> failing_tools;
    // Output of a tool that then prints nothing more and never ends: the
    // daemon's time limit passes and the tool is killed.
    std::map<std::string, std::string> hanging_tools;
    // Text a tool prints again and again without end (1 ms per read).
    std::map<std::string, std::string> endless_tools;
    // The type of "/tmp/firmware" (S_IFREG, S_IFCHR, S_IFIFO, ...), with the
    // kernel's open semantics for a FIFO or a socket.
    mode_t firmware_type = S_IFREG;

    // ---- The firmware image "/tmp/firmware" ----
    void set_firmware(std::optional<Bytes> content);
    std::optional<Bytes> firmware() const;
    // Writes to the image fail with this errno while set (0: they succeed).
    void set_firmware_write_errno(int err);
    // Each write to the image takes at most this many bytes (0: no limit).
    void set_firmware_write_limit(size_t limit);
    // While held, writes to the image wait (a slow disk).
    void hold_firmware_writes(bool hold);
    // While held, reads of the image wait.
    void hold_firmware_reads(bool hold);
    // Syncs of the image fail with this errno while set (0: they succeed).
    void set_firmware_fsync_errno(int err);

    // ---- ep0 script ----
    void push_batch(const std::vector<usb_gadgetfs_event>& events);
    void push_raw(const Bytes& bytes);  // delivered as one read result
    void push_read_error(int err);
    // Reads after the script fail with EIO, which ends the daemon's loop.
    void end_script();

    // Runs gadget_main() on its own thread.
    void start_daemon();
    int wait_daemon();  // ends the script, joins, returns the status
    // Runs a batch and waits until the loop has handled it.
    void run_batch(const std::vector<usb_gadgetfs_event>& events);
    void wait_ep0_idle();

    // ---- The host side of the bulk endpoints ----
    // gadgetfs semantics of bulk OUT: a read request ends at a short packet
    // (or when full); a signal cancels it, and the bytes it had taken so far
    // are lost. A halted endpoint (the daemon's zero-length write on it)
    // stalls what the host sends until the host clears the halt.
    void host_send(const Bytes& data);  // one read result for the daemon
    // Full packets that move into the pending read without ending it; the
    // next host_send ends the read with these bytes in front.
    void host_send_unfinished(const Bytes& data);
    void host_send_zlp();
    void host_send_error(int err);
    bool out_halted() const;
    int out_halts() const;      // halts the daemon set on bulk OUT
    int host_stalls() const;    // packets refused with a stall
    size_t lost_bytes() const;  // bytes of cancelled reads
    void host_clear_halt();
    Bytes host_received() const;
    size_t host_pending() const;  // packets sent but not yet read by the daemon
    void clear_host_received();
    // Scripted results of the next writes to ep1in: a value below 0 fails
    // with that negated errno, a value >= 0 accepts at most that many bytes.
    void push_in_write_results(const std::vector<ssize_t>& results);
    // While held, writes to ep1in wait (the host is not reading).
    void hold_in_writes(bool hold);
    // A held write to ep1in that a signal cuts off has moved this many bytes
    // to the host before it returns EINTR (once).
    void in_write_moves_on_interrupt(size_t bytes);
    // Endpoint reads fail with ESHUTDOWN, as after a disconnect.
    void endpoints_gone(bool gone);
    // The next write to ep1in waits before it reaches gadgetfs (as if the
    // scheduler took the core from the thread right there, so that a wake
    // sent meanwhile is lost) until release_in_write() or 10 s.
    void hold_next_in_write();
    bool wait_in_write_held();
    void release_in_write();

    // ---- The platform ----
    // Bit n set: the (n+1)-th stream thread creation fails with EAGAIN.
    void fail_thread_creations(unsigned mask);
    int failed_thread_creations() const;
    // Opens of an endpoint file refused with EBUSY because it was still open
    // (gadgetfs serves each endpoint file to one opener).
    int refused_opens() const;
    int wakes() const;  // wake signals sent to stream threads

    // ---- Observations ----
    std::vector<EventRecord> events() const;
    std::vector<EpRecord> endpoint_records() const;
    std::string out() const;
    std::string err() const;
    std::vector<std::string> popen_log() const;  // tools started, in order
    // For each tool killed, the simulated ms from its start to the kill.
    std::vector<int64_t> tool_kill_times() const;
    std::vector<std::string> trace() const;      // ep0 replies, popen, system in order
    std::vector<std::string> errors() const;
    std::vector<std::pair<Node, unsigned long>> ioctls() const;
    uint64_t usleep_total() const;
    int usleep_calls() const;
    int open_count(Node node) const;
    // Paths opened without O_CLOEXEC: the board tools the daemon starts
    // would inherit those descriptors.
    std::vector<std::string> inheritable_opens() const;
    int fsync_count() const;
    int select_count(Node node) const;
    int blocked_count() const;  // threads waiting in an endpoint or disk call
    Bytes ep0_record() const;
    // Waits until `pred` holds (checked whenever the simulation changes or
    // the console grows); false after `timeout`.
    bool wait_until(const std::function<bool()>& pred,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool wait_for_out(const std::string& text, int count = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool wait_for_err(const std::string& text, int count = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // ---- Seam entry points (called through the os table) ----
    int do_open(const char* path, int flags);
    int do_close(int fd);
    ssize_t do_read(int fd, void* buf, size_t len);
    ssize_t do_write(int fd, const void* buf, size_t len);
    int do_select(int nfds, fd_set* r, fd_set* w, fd_set* e, struct timeval* t);
    int do_ioctl(int fd, unsigned long request, void* arg);
    off_t do_lseek(int fd, off_t offset, int whence);
    int do_fsync(int fd);
    FILE* do_fopen(const char* path, const char* mode);
    int do_fstat(int fd, struct stat* st);
    int do_fcntl(int fd, int cmd, int arg);
    int do_spawn(pid_t* pid, const char* path, char* const argv[], int out_fd);
    int do_pipe(int fds[2]);
    int do_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms);
    int do_kill(pid_t pid, int sig);
    pid_t do_waitpid(pid_t pid, int* status, int options);
    int do_clock_gettime(struct timespec* now);
    int do_usleep(unsigned int usec);
    int do_nanosleep(const struct timespec* duration);
    int do_thread_create(pthread_t* thread, void* (*start)(void*), void* arg);
    int do_thread_wake(pthread_t thread);
    void do_console(int stream, const char* text, size_t len);
    void do_ep0_event(uint32_t type);

    static SimGadget* current;

private:
    bool wait_for_text(std::string SimGadget::*stream, const std::string& text, int count,
                       std::chrono::milliseconds timeout) const;

    struct OpenFile {
        Node node;
        std::string path;
        int flags;
        uint64_t offset = 0;
        bool configured = false;  // endpoint/controller record written
        int pipe = 0;             // Node::Pipe: which pipe
        bool pipe_writer = false;
    };
    // A board tool as a process. Its output goes into a pipe; after the
    // output it ends (Ends), fails the next read (Fails), prints nothing
    // more and never ends (Hangs), or repeats its output without end
    // (Endless) until it is killed.
    enum class ToolKind { Ends, Fails, Hangs, Endless };
    struct Process {
        std::string command;
        ToolKind kind = ToolKind::Ends;
        std::string output;
        size_t pos = 0;
        int pipe = 0;  // 0: on the console
        int64_t started_ms = 0;
        bool killed = false;
        bool reaped = false;
    };
    Process* process_on_pipe(int pipe);  // requires the lock
    bool pipe_readable(const Process* p) const;
    struct Ep0Item {
        Bytes bytes;
        int error = 0;
    };
    struct HostPacket {
        Bytes data;
        int error = 0;
        bool unfinished = false;
    };

    // Blocks the calling thread until `ready` or a wake; returns false when
    // woken (EINTR). Requires the lock.
    bool block(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready);
    int allocate_fd();
    OpenFile* file_of(int fd, const char* op);  // requires the lock
    void changed();                             // requires the lock

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::map<int, OpenFile> files_;
    std::deque<int> free_fds_;
    std::deque<Ep0Item> ep0_script_;
    bool script_ended_ = false;
    bool ep0_waiting_ = false;
    std::vector<EventRecord> events_;
    int current_event_ = -1;
    Bytes ep0_record_;
    std::vector<EpRecord> ep_records_;
    std::deque<HostPacket> host_out_;
    Bytes host_in_;
    std::deque<ssize_t> in_write_results_;
    bool hold_in_ = false;
    bool hold_next_in_write_ = false;
    bool in_write_held_ = false;
    bool in_write_released_ = false;
    unsigned thread_creations_ = 0;
    unsigned thread_fail_mask_ = 0;
    int failed_thread_creations_ = 0;
    int refused_opens_ = 0;
    int wakes_ = 0;
    bool endpoints_gone_ = false;
    std::optional<Bytes> firmware_ = Bytes{};
    int firmware_write_errno_ = 0;
    size_t firmware_write_limit_ = 0;
    bool hold_firmware_ = false;
    bool hold_firmware_reads_ = false;
    int firmware_fsync_errno_ = 0;
    bool out_halted_ = false;
    int out_halts_ = 0;
    int host_stalls_ = 0;
    size_t lost_bytes_ = 0;
    size_t in_interrupt_moves_ = 0;
    std::map<pid_t, Process> processes_;
    pid_t next_pid_ = 4000;
    int next_pipe_ = 1;
    int64_t clock_ms_ = 1000000;
    std::vector<int64_t> tool_kill_times_;
    std::map<Node, int> selects_;
    std::vector<pthread_t> blocked_threads_;
    std::vector<pthread_t> woken_threads_;
    std::string out_, err_, cpuinfo_copy_;
    std::vector<std::string> popen_log_, trace_, errors_, inheritable_opens_;
    std::vector<std::pair<Node, unsigned long>> ioctls_;
    std::vector<std::string*> pipe_buffers_;
    uint64_t usleep_total_ = 0;
    int usleep_calls_ = 0;
    int fsyncs_ = 0;
    std::map<Node, int> opens_;
    std::thread daemon_;
    int daemon_status_ = 0;
    bool daemon_running_ = false;
};

}  // namespace sim
