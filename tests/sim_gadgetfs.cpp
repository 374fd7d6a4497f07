#include "sim_gadgetfs.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "gadget.h"
#include "os.h"
#include "paths.h"

namespace sim {

SimGadget* SimGadget::current = nullptr;

namespace {

usb_gadgetfs_event make_event(uint32_t type) {
    usb_gadgetfs_event e;
    std::memset(&e, 0, sizeof e);
    std::memcpy(&e.type, &type, sizeof type);  // any number, known type or not
    return e;
}

SimGadget& S() { return *SimGadget::current; }

int t_open(const char* p, int f) { return S().do_open(p, f); }
int t_close(int fd) { return S().do_close(fd); }
ssize_t t_read(int fd, void* b, size_t n) { return S().do_read(fd, b, n); }
ssize_t t_write(int fd, const void* b, size_t n) { return S().do_write(fd, b, n); }
int t_select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* t) {
    return S().do_select(n, r, w, e, t);
}
int t_ioctl(int fd, unsigned long req, void* arg) { return S().do_ioctl(fd, req, arg); }
off_t t_lseek(int fd, off_t off, int whence) { return S().do_lseek(fd, off, whence); }
int t_fsync(int fd) { return S().do_fsync(fd); }
FILE* t_fopen(const char* p, const char* m) { return S().do_fopen(p, m); }
int t_fclose(FILE* f) { return std::fclose(f); }
int t_fstat(int fd, struct stat* st) { return S().do_fstat(fd, st); }
int t_fcntl(int fd, int cmd, int arg) { return S().do_fcntl(fd, cmd, arg); }
int t_spawn(pid_t* pid, const char* path, char* const argv[], int out_fd) {
    return S().do_spawn(pid, path, argv, out_fd);
}
int t_pipe(int fds[2]) { return S().do_pipe(fds); }
int t_poll(struct pollfd* fds, nfds_t n, int timeout) { return S().do_poll(fds, n, timeout); }
int t_kill(pid_t pid, int sig) { return S().do_kill(pid, sig); }
pid_t t_waitpid(pid_t pid, int* status, int options) { return S().do_waitpid(pid, status, options); }
int t_clock_gettime(struct timespec* now) { return S().do_clock_gettime(now); }
int t_usleep(unsigned int us) { return S().do_usleep(us); }
int t_nanosleep(const struct timespec* d) { return S().do_nanosleep(d); }
int t_thread_create(pthread_t* t, void* (*start)(void*), void* arg) {
    return S().do_thread_create(t, start, arg);
}
int t_thread_join(pthread_t t) { return os_real.thread_join(t); }
int t_thread_tryjoin(pthread_t t) { return os_real.thread_tryjoin(t); }
int t_thread_wake(pthread_t t) { return S().do_thread_wake(t); }
int t_thread_accept_wake() { return 0; }  // the simulated wake is no signal
void t_console(console_stream s, const char* text, size_t len) {
    S().do_console(s == CONSOLE_OUT ? 1 : 2, text, len);
}
void t_ep0_event(uint32_t type) { S().do_ep0_event(type); }

const os_interface kSimOs = {
    .open = t_open,
    .close = t_close,
    .read = t_read,
    .write = t_write,
    .select = t_select,
    .ioctl = t_ioctl,
    .lseek = t_lseek,
    .fsync = t_fsync,
    .fopen = t_fopen,
    .fclose = t_fclose,
    .fstat = t_fstat,
    .fcntl = t_fcntl,
    .spawn = t_spawn,
    .pipe = t_pipe,
    .poll = t_poll,
    .kill = t_kill,
    .waitpid = t_waitpid,
    .clock_gettime = t_clock_gettime,
    .usleep = t_usleep,
    .nanosleep = t_nanosleep,
    .thread_create = t_thread_create,
    .thread_join = t_thread_join,
    .thread_tryjoin = t_thread_tryjoin,
    .thread_wake = t_thread_wake,
    .thread_accept_wake = t_thread_accept_wake,
    .console = t_console,
    .ep0_event = t_ep0_event,
};

}  // namespace

usb_gadgetfs_event connect_event() { return make_event(GADGETFS_CONNECT); }
usb_gadgetfs_event disconnect_event() { return make_event(GADGETFS_DISCONNECT); }
usb_gadgetfs_event suspend_event() { return make_event(GADGETFS_SUSPEND); }
usb_gadgetfs_event typed_event(uint32_t type) { return make_event(type); }

usb_gadgetfs_event setup_event(uint8_t bRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                               uint16_t wLength) {
    usb_gadgetfs_event e = make_event(GADGETFS_SETUP);
    e.u.setup.bRequestType = bRequestType;
    e.u.setup.bRequest = bRequest;
    e.u.setup.wValue = wValue;
    e.u.setup.wIndex = wIndex;
    e.u.setup.wLength = wLength;
    return e;
}

uint32_t EventRecord::type() const {
    uint32_t t;
    std::memcpy(&t, &event.type, sizeof t);
    return t;
}

Outcome EventRecord::outcome() const {
    if (calls.empty()) return Outcome::None;
    if (calls.size() > 1) return Outcome::Several;
    const Ep0Call& c = calls[0];
    const bool in = event.u.setup.bRequestType & USB_DIR_IN;
    if (in) return c.is_write ? Outcome::Reply : Outcome::Stall;
    if (!c.is_write) return Outcome::Ack;
    return c.data.empty() ? Outcome::Stall : Outcome::Reply;
}

Bytes EventRecord::reply() const { return outcome() == Outcome::Reply ? calls[0].data : Bytes{}; }

// ---- Life cycle --------------------------------------------------------------------

SimGadget::SimGadget() {
    if (current != nullptr) throw std::logic_error("one SimGadget at a time");
    current = this;
    for (int fd = 10; fd < 1000; ++fd) free_fds_.push_back(fd);
    os = &kSimOs;
}

SimGadget::~SimGadget() {
    if (daemon_running_) wait_daemon();
    // The daemon's threads, transfers and tables as at process start, for
    // the next test.
    reset_daemon_state();
    os = &os_real;
    for (std::string* b : pipe_buffers_) delete b;
    current = nullptr;
}

void SimGadget::changed() { cv_.notify_all(); }

bool SimGadget::block(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready) {
    const pthread_t self = pthread_self();
    blocked_threads_.push_back(self);
    changed();
    bool woken = false;
    cv_.wait(lock, [&] {
        auto it = std::find_if(woken_threads_.begin(), woken_threads_.end(),
                               [&](pthread_t t) { return pthread_equal(t, self); });
        if (it != woken_threads_.end()) {
            woken_threads_.erase(it);
            woken = true;
            return true;
        }
        return ready();
    });
    blocked_threads_.erase(std::find_if(blocked_threads_.begin(), blocked_threads_.end(),
                                        [&](pthread_t t) { return pthread_equal(t, self); }));
    return !woken;
}

int SimGadget::allocate_fd() {
    const int fd = free_fds_.front();
    free_fds_.pop_front();
    return fd;
}

SimGadget::OpenFile* SimGadget::file_of(int fd, const char* op) {
    auto it = files_.find(fd);
    if (it == files_.end()) {
        if (fd > 0)
            errors_.push_back(std::string(op) + " on descriptor " + std::to_string(fd) + " that is not open");
        errno = EBADF;
        return nullptr;
    }
    return &it->second;
}

// ---- Scenario ----------------------------------------------------------------------

void SimGadget::set_firmware(std::optional<Bytes> content) {
    std::lock_guard<std::mutex> lock(mutex_);
    firmware_ = std::move(content);
}

std::optional<Bytes> SimGadget::firmware() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_;
}

void SimGadget::set_firmware_write_errno(int err) {
    std::lock_guard<std::mutex> lock(mutex_);
    firmware_write_errno_ = err;
}

void SimGadget::set_firmware_write_limit(size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    firmware_write_limit_ = limit;
}

void SimGadget::hold_firmware_writes(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_firmware_ = hold;
    changed();
}

void SimGadget::hold_firmware_reads(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_firmware_reads_ = hold;
    changed();
}

void SimGadget::set_firmware_fsync_errno(int err) {
    std::lock_guard<std::mutex> lock(mutex_);
    firmware_fsync_errno_ = err;
}

void SimGadget::push_batch(const std::vector<usb_gadgetfs_event>& events) {
    Bytes bytes(events.size() * sizeof(usb_gadgetfs_event));
    if (!events.empty()) std::memcpy(bytes.data(), events.data(), bytes.size());
    push_raw(bytes);
}

void SimGadget::push_raw(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    ep0_script_.push_back({bytes, 0});
    changed();
}

void SimGadget::push_read_error(int err) {
    std::lock_guard<std::mutex> lock(mutex_);
    ep0_script_.push_back({{}, err});
    changed();
}

void SimGadget::end_script() {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ended_ = true;
    changed();
}

void SimGadget::start_daemon() {
    daemon_running_ = true;
    daemon_ = std::thread([this] { daemon_status_ = gadget_main(); });
}

int SimGadget::wait_daemon() {
    end_script();
    if (daemon_.joinable()) daemon_.join();
    daemon_running_ = false;
    return daemon_status_;
}

void SimGadget::wait_ep0_idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return ep0_script_.empty() && ep0_waiting_; });
}

void SimGadget::run_batch(const std::vector<usb_gadgetfs_event>& events) {
    push_batch(events);
    wait_ep0_idle();
}

void SimGadget::host_send(const Bytes& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (out_halted_) {
        ++host_stalls_;
        return;
    }
    host_out_.push_back({data, 0});
    changed();
}

void SimGadget::host_send_unfinished(const Bytes& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (out_halted_) {
        ++host_stalls_;
        return;
    }
    host_out_.push_back({data, 0, true});
    changed();
}

bool SimGadget::out_halted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_halted_;
}

int SimGadget::out_halts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_halts_;
}

int SimGadget::host_stalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return host_stalls_;
}

size_t SimGadget::lost_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_bytes_;
}

void SimGadget::host_clear_halt() {
    std::lock_guard<std::mutex> lock(mutex_);
    out_halted_ = false;
    changed();
}

void SimGadget::in_write_moves_on_interrupt(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_interrupt_moves_ = bytes;
}

void SimGadget::host_send_zlp() { host_send({}); }

void SimGadget::host_send_error(int err) {
    std::lock_guard<std::mutex> lock(mutex_);
    host_out_.push_back({{}, err});
    changed();
}

Bytes SimGadget::host_received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return host_in_;
}

size_t SimGadget::host_pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return host_out_.size();
}

void SimGadget::clear_host_received() {
    std::lock_guard<std::mutex> lock(mutex_);
    host_in_.clear();
}

void SimGadget::push_in_write_results(const std::vector<ssize_t>& results) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_write_results_.insert(in_write_results_.end(), results.begin(), results.end());
}

void SimGadget::hold_in_writes(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_in_ = hold;
    changed();
}

void SimGadget::hold_next_in_write() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_next_in_write_ = true;
    in_write_held_ = in_write_released_ = false;
}

bool SimGadget::wait_in_write_held() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return in_write_held_; });
}

void SimGadget::release_in_write() {
    std::lock_guard<std::mutex> lock(mutex_);
    in_write_released_ = true;
    changed();
}

void SimGadget::fail_thread_creations(unsigned mask) {
    std::lock_guard<std::mutex> lock(mutex_);
    thread_fail_mask_ = mask;
}

int SimGadget::failed_thread_creations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_thread_creations_;
}

int SimGadget::refused_opens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_opens_;
}

int SimGadget::wakes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakes_;
}

void SimGadget::endpoints_gone(bool gone) {
    std::lock_guard<std::mutex> lock(mutex_);
    endpoints_gone_ = gone;
    changed();
}

// ---- Observations ------------------------------------------------------------------

std::vector<EventRecord> SimGadget::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}
std::vector<EpRecord> SimGadget::endpoint_records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ep_records_;
}
std::string SimGadget::out() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}
std::string SimGadget::err() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}
std::vector<int64_t> SimGadget::tool_kill_times() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tool_kill_times_;
}

std::vector<std::string> SimGadget::popen_log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return popen_log_;
}

std::vector<std::string> SimGadget::inheritable_opens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inheritable_opens_;
}
std::vector<std::string> SimGadget::trace() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return trace_;
}
std::vector<std::string> SimGadget::errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> errors = errors_;
    for (const auto& [pid, p] : processes_)
        if (!p.reaped) errors.push_back("tool never reaped: " + p.command);
    return errors;
}
std::vector<std::pair<Node, unsigned long>> SimGadget::ioctls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ioctls_;
}
uint64_t SimGadget::usleep_total() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return usleep_total_;
}
int SimGadget::usleep_calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return usleep_calls_;
}
int SimGadget::open_count(Node node) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(
        std::count_if(files_.begin(), files_.end(), [&](const auto& f) { return f.second.node == node; }));
}
int SimGadget::select_count(Node node) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = selects_.find(node);
    return it == selects_.end() ? 0 : it->second;
}
int SimGadget::blocked_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(blocked_threads_.size());
}
int SimGadget::fsync_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fsyncs_;
}
Bytes SimGadget::ep0_record() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ep0_record_;
}

bool SimGadget::wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const {
    // `pred` takes the lock itself, so it is only asked with the lock free;
    // the wait wakes on every change and at least every 5 ms.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
}

bool SimGadget::wait_for_text(std::string SimGadget::*stream, const std::string& text, int count,
                              std::chrono::milliseconds timeout) const {
    return wait_until(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::string& o = this->*stream;
            int found = 0;
            for (size_t pos = o.find(text); pos != std::string::npos; pos = o.find(text, pos + 1)) ++found;
            return found >= count;
        },
        timeout);
}

bool SimGadget::wait_for_out(const std::string& text, int count, std::chrono::milliseconds timeout) const {
    return wait_for_text(&SimGadget::out_, text, count, timeout);
}

bool SimGadget::wait_for_err(const std::string& text, int count, std::chrono::milliseconds timeout) const {
    return wait_for_text(&SimGadget::err_, text, count, timeout);
}

// ---- Seam ----------------------------------------------------------------------------

int SimGadget::do_open(const char* path_c, int flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path(path_c);
    Node node = Node::Other;
    bool exists = false;
    if (path == kControllerPrimary) {
        node = Node::Controller;
        exists = primary_node;
    } else if (path == kControllerSecondary) {
        node = Node::Controller;
        exists = secondary_node;
    } else if (path == kEp1InPath) {
        node = Node::Ep1In;
        exists = ep1in_exists;
    } else if (path == kEp1OutPath) {
        node = Node::Ep1Out;
        exists = ep1out_exists;
    } else if (path == kFirmwarePath) {
        node = Node::Firmware;
        exists = firmware_.has_value();
    } else if (path == kEmmcPath) {
        node = Node::Emmc;
        exists = emmc_exists;
    }
    if (!exists) {
        errno = ENOENT;
        return -1;
    }
    if (node == Node::Firmware && !S_ISREG(firmware_type) && !S_ISCHR(firmware_type) &&
        !S_ISBLK(firmware_type)) {
        // A socket cannot be opened, nor a folder for writing; a FIFO opened
        // for writing without a reader fails only with O_NONBLOCK, and any
        // open of it without O_NONBLOCK waits for the other end, which never
        // comes here.
        const bool fifo = S_ISFIFO(firmware_type);
        if (S_ISDIR(firmware_type)) {
            if ((flags & O_ACCMODE) != O_RDONLY) {
                errno = EISDIR;
                return -1;
            }
        } else if (fifo && !(flags & O_NONBLOCK)) {
            errors_.push_back("blocking open of a FIFO at " + path);
            errno = EINTR;
            return -1;
        } else if (!fifo || (flags & O_ACCMODE) != O_RDONLY) {
            errno = ENXIO;
            return -1;
        }
    }
    // gadgetfs lets an endpoint file be open once at a time.
    if ((node == Node::Ep1In || node == Node::Ep1Out) &&
        std::any_of(files_.begin(), files_.end(), [&](const auto& f) { return f.second.node == node; })) {
        ++refused_opens_;
        errno = EBUSY;
        return -1;
    }
    const int fd = allocate_fd();
    files_[fd] = OpenFile{node, path, flags};
    ++opens_[node];
    if (!(flags & O_CLOEXEC)) inheritable_opens_.push_back(path);
    changed();
    return fd;
}

int SimGadget::do_close(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_of(fd, "close") == nullptr) return -1;
    files_.erase(fd);
    free_fds_.push_back(fd);
    changed();
    return 0;
}

ssize_t SimGadget::do_read(int fd, void* buf, size_t len) {
    std::unique_lock<std::mutex> lock(mutex_);
    OpenFile* f = file_of(fd, "read");
    if (f == nullptr) return -1;

    switch (f->node) {
    case Node::Controller: {
        if (len == 0) {
            // A zero-length read: acknowledge or stall, or the suspend read.
            if (current_event_ < 0)
                errors_.push_back("zero-length ep0 read before any event");
            else
                events_[static_cast<size_t>(current_event_)].calls.push_back({false, {}});
            trace_.push_back("ep0 read0");
            changed();
            return 0;
        }
        ep0_waiting_ = true;
        changed();
        cv_.wait(lock, [this] { return !ep0_script_.empty() || script_ended_; });
        ep0_waiting_ = false;
        if (ep0_script_.empty()) {
            errno = EIO;
            return -1;
        }
        Ep0Item item = ep0_script_.front();
        ep0_script_.pop_front();
        if (item.error != 0) {
            errno = item.error;
            return -1;
        }
        const size_t n = std::min(len, item.bytes.size());
        if (n > 0)  // an empty read result has no data pointer to copy from
            std::memcpy(buf, item.bytes.data(), n);
        if (n < item.bytes.size())
            ep0_script_.push_front({Bytes(item.bytes.begin() + static_cast<long>(n), item.bytes.end()), 0});
        // The events the daemon will see, whole records only.
        for (size_t off = 0; off + sizeof(usb_gadgetfs_event) <= n; off += sizeof(usb_gadgetfs_event)) {
            EventRecord r;
            std::memcpy(&r.event, item.bytes.data() + off, sizeof r.event);
            events_.push_back(r);
        }
        return static_cast<ssize_t>(n);
    }
    case Node::Ep1Out: {
        Bytes moved;  // taken into this read request, which has not ended yet
        HostPacket p;
        for (;;) {
            if (!block(lock, [this] { return !host_out_.empty() || endpoints_gone_; })) {
                lost_bytes_ += moved.size();  // the cancelled request takes them along
                errno = EINTR;
                return -1;
            }
            if (files_.find(fd) == files_.end()) {
                errors_.push_back("ep1out closed while a read was waiting on it");
                errno = EBADF;
                return -1;
            }
            if (host_out_.empty()) {
                errno = ESHUTDOWN;
                return -1;
            }
            p = host_out_.front();
            host_out_.pop_front();
            changed();
            if (!p.unfinished || p.error != 0) break;
            moved.insert(moved.end(), p.data.begin(), p.data.end());
        }
        if (p.error != 0) {
            lost_bytes_ += moved.size();
            errno = p.error;
            return -1;
        }
        moved.insert(moved.end(), p.data.begin(), p.data.end());
        const size_t n = std::min(len, moved.size());
        if (n > 0)  // a zero-length packet has no data pointer to copy from
            std::memcpy(buf, moved.data(), n);
        if (n < moved.size())
            host_out_.push_front({Bytes(moved.begin() + static_cast<long>(n), moved.end()), 0});
        return static_cast<ssize_t>(n);
    }
    case Node::Pipe: {
        Process* p = f->pipe_writer ? nullptr : process_on_pipe(f->pipe);
        if (p == nullptr || p->killed || (p->pos >= p->output.size() && p->kind == ToolKind::Ends)) return 0;
        if (p->kind == ToolKind::Endless) {
            clock_ms_ += 1;
            if (p->pos >= p->output.size()) p->pos = 0;
        }
        if (p->pos >= p->output.size()) {
            if (p->kind == ToolKind::Fails) {
                errno = EIO;
                return -1;
            }
            errors_.push_back("read of a quiet tool's pipe, which would wait: " + p->command);
            errno = EAGAIN;
            return -1;
        }
        const size_t n = std::min(len, p->output.size() - p->pos);
        std::memcpy(buf, p->output.data() + p->pos, n);
        p->pos += n;
        return static_cast<ssize_t>(n);
    }
    case Node::Firmware: {
        if ((f->flags & O_ACCMODE) == O_WRONLY) {
            errno = EBADF;
            return -1;
        }
        if (f->flags & O_NONBLOCK) errors_.push_back("image read in non-blocking mode");
        if (!block(lock, [this] { return !hold_firmware_reads_; })) {
            errno = EINTR;
            return -1;
        }
        f = file_of(fd, "read");
        if (f == nullptr) return -1;
        const Bytes& content = *firmware_;
        if (f->offset >= content.size()) return 0;
        const size_t n = std::min<uint64_t>(len, content.size() - f->offset);
        std::memcpy(buf, content.data() + f->offset, n);
        f->offset += n;
        return static_cast<ssize_t>(n);
    }
    default:
        errno = EINVAL;
        return -1;
    }
}

ssize_t SimGadget::do_write(int fd, const void* buf, size_t len) {
    std::unique_lock<std::mutex> lock(mutex_);
    OpenFile* f = file_of(fd, "write");
    if (f == nullptr) return -1;
    const auto* bytes = static_cast<const uint8_t*>(buf);

    switch (f->node) {
    case Node::Controller: {
        if (!f->configured) {
            f->configured = true;
            ep0_record_.assign(bytes, bytes + len);
            return ep0_record_result ? *ep0_record_result : static_cast<ssize_t>(len);
        }
        if (current_event_ < 0)
            errors_.push_back("ep0 write before any event");
        else
            events_[static_cast<size_t>(current_event_)].calls.push_back({true, Bytes(bytes, bytes + len)});
        trace_.push_back(len == 0 ? "ep0 write0" : "ep0 reply " + std::to_string(len));
        changed();
        return static_cast<ssize_t>(len);
    }
    case Node::Ep1In:
    case Node::Ep1Out: {
        if (!f->configured) {
            f->configured = true;
            ep_records_.push_back({f->path, Bytes(bytes, bytes + len)});
            if (f->node == Node::Ep1Out) out_halted_ = false;  // enabling the endpoint clears it
            const auto& result = f->node == Node::Ep1In ? ep1in_record_result : ep1out_record_result;
            return result ? *result : static_cast<ssize_t>(len);
        }
        if (f->node == Node::Ep1Out) {
            // A "wrong-direction" call halts the endpoint.
            if (len == 0) {
                out_halted_ = true;
                ++out_halts_;
                trace_.push_back("halt ep1out");
                changed();
                errno = EBADMSG;
                return -1;
            }
            errno = EINVAL;
            return -1;
        }
        if (hold_next_in_write_) {
            // Held before the call reaches gadgetfs: a wake now is lost.
            hold_next_in_write_ = false;
            in_write_held_ = true;
            changed();
            cv_.wait_for(lock, std::chrono::seconds(10), [this] { return in_write_released_; });
            f = file_of(fd, "write");
            if (f == nullptr) return -1;
        }
        if (!block(lock, [this] { return !hold_in_ || endpoints_gone_; })) {
            // Cancelled: part of the data may have reached the host.
            const size_t moved = std::min(len, in_interrupt_moves_);
            host_in_.insert(host_in_.end(), bytes, bytes + moved);
            in_interrupt_moves_ = 0;
            errno = EINTR;
            return -1;
        }
        if (files_.find(fd) == files_.end()) {
            errors_.push_back("ep1in closed while a write was waiting on it");
            errno = EBADF;
            return -1;
        }
        if (endpoints_gone_) {
            errno = ESHUTDOWN;
            return -1;
        }
        size_t n = len;
        if (!in_write_results_.empty()) {
            const ssize_t r = in_write_results_.front();
            in_write_results_.pop_front();
            if (r < 0) {
                errno = static_cast<int>(-r);
                return -1;
            }
            n = std::min(len, static_cast<size_t>(r));
        }
        host_in_.insert(host_in_.end(), bytes, bytes + n);
        changed();
        return static_cast<ssize_t>(n);
    }
    case Node::Firmware: {
        if ((f->flags & O_ACCMODE) == O_RDONLY) {
            errno = EBADF;
            return -1;
        }
        if (f->flags & O_NONBLOCK) errors_.push_back("image written in non-blocking mode");
        if (!block(lock, [this] { return !hold_firmware_; })) {
            errno = EINTR;
            return -1;
        }
        if (files_.find(fd) == files_.end()) {
            errors_.push_back("image closed while a write was waiting on it");
            errno = EBADF;
            return -1;
        }
        f = &files_.at(fd);
        if (firmware_write_errno_ != 0) {
            errno = firmware_write_errno_;
            return -1;
        }
        size_t n = len;
        if (firmware_write_limit_ != 0) n = std::min(n, firmware_write_limit_);
        Bytes& content = *firmware_;
        if (content.size() < f->offset + n) content.resize(f->offset + n);
        std::memcpy(content.data() + f->offset, bytes, n);
        f->offset += n;
        changed();
        return static_cast<ssize_t>(n);
    }
    default:
        errno = EINVAL;
        return -1;
    }
}

int SimGadget::do_select(int nfds, fd_set* r, fd_set* w, fd_set*, struct timeval*) {
    std::lock_guard<std::mutex> lock(mutex_);
    // gadgetfs files report themselves ready at once; the read or write
    // then blocks.
    int ready = 0;
    for (int fd = 0; fd < nfds; ++fd) {
        if ((r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w))) {
            const OpenFile* f = file_of(fd, "select");
            if (f == nullptr) {
                errno = EBADF;
                return -1;
            }
            ++selects_[f->node];
            ++ready;
        }
    }
    return ready;
}

int SimGadget::do_ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    OpenFile* f = file_of(fd, "ioctl");
    if (f == nullptr) return -1;
    ioctls_.push_back({f->node, request});
    if (f->node == Node::Ep1Out && request == GADGETFS_CLEAR_HALT) {
        out_halted_ = false;
        trace_.push_back("clear halt ep1out");
    }
    changed();
    if (f->node == Node::Emmc && request == BLKGETSIZE64) {
        if (!emmc_size) {
            errno = ENOTTY;
            return -1;
        }
        std::memcpy(arg, &*emmc_size, sizeof(uint64_t));
    }
    return 0;
}

off_t SimGadget::do_lseek(int fd, off_t offset, int whence) {
    std::lock_guard<std::mutex> lock(mutex_);
    OpenFile* f = file_of(fd, "lseek");
    if (f == nullptr) return -1;
    const off_t base = whence == SEEK_CUR ? static_cast<off_t>(f->offset) : 0;
    if ((whence != SEEK_SET && whence != SEEK_CUR) || base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    f->offset = static_cast<uint64_t>(base + offset);
    return base + offset;
}

int SimGadget::do_fsync(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    const OpenFile* f = file_of(fd, "fsync");
    if (f == nullptr) return -1;
    if (f->node == Node::Firmware && firmware_fsync_errno_ != 0) {
        errno = firmware_fsync_errno_;
        return -1;
    }
    ++fsyncs_;
    changed();
    return 0;
}

FILE* SimGadget::do_fopen(const char* path, const char* mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::string(path) != kCpuInfoPath || !cpuinfo) {
        errno = ENOENT;
        return nullptr;
    }
    auto* copy = new std::string(*cpuinfo);
    pipe_buffers_.push_back(copy);
    if (copy->empty()) return std::fopen("/dev/null", mode);
    return fmemopen(copy->data(), copy->size(), mode);
}

int SimGadget::do_fstat(int fd, struct stat* st) {
    std::lock_guard<std::mutex> lock(mutex_);
    const OpenFile* f = file_of(fd, "fstat");
    if (f == nullptr) return -1;
    std::memset(st, 0, sizeof *st);
    st->st_mode = (f->node == Node::Firmware ? firmware_type : S_IFCHR) | 0644;
    if (f->node == Node::Firmware && firmware_) st->st_size = static_cast<off_t>(firmware_->size());
    return 0;
}

int SimGadget::do_fcntl(int fd, int cmd, int arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    OpenFile* f = file_of(fd, "fcntl");
    if (f == nullptr) return -1;
    if (cmd == F_GETFL) return f->flags & ~O_CLOEXEC;
    if (cmd != F_SETFL) {
        errno = EINVAL;
        return -1;
    }
    // Only the status flags change; access mode and close-on-exec stay.
    f->flags = (f->flags & (O_ACCMODE | O_CLOEXEC)) | (arg & O_NONBLOCK);
    return 0;
}

SimGadget::Process* SimGadget::process_on_pipe(int pipe) {
    for (auto& [pid, p] : processes_)
        if (p.pipe == pipe && !p.reaped) return &p;
    return nullptr;
}

bool SimGadget::pipe_readable(const Process* p) const {
    return p == nullptr || p->killed || p->pos < p->output.size() || p->kind == ToolKind::Ends ||
           p->kind == ToolKind::Fails || p->kind == ToolKind::Endless;
}

int SimGadget::do_pipe(int fds[2]) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int pipe = next_pipe_++;
    for (int end = 0; end < 2; ++end) {
        fds[end] = allocate_fd();
        OpenFile f{Node::Pipe, "pipe", (end == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC};
        f.pipe = pipe;
        f.pipe_writer = end == 1;
        files_[fds[end]] = f;
    }
    changed();
    return 0;
}

int SimGadget::do_spawn(pid_t* pid, const char* path, char* const argv[], int out_fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string command = argv[2] != nullptr ? argv[2] : "";
    if (std::string(path) != "/bin/sh" || std::string(argv[1]) != "-c" || argv[3] != nullptr)
        errors_.push_back(std::string("tool not started as /bin/sh -c COMMAND: ") + path);
    const bool with_output = out_fd >= 0;
    trace_.push_back((with_output ? "popen " : "system ") + command);
    if (with_output) popen_log_.push_back(command);
    changed();

    Process p;
    p.command = command;
    p.started_ms = clock_ms_;
    if (with_output) {
        const OpenFile* f = file_of(out_fd, "spawn");
        if (f == nullptr || f->node != Node::Pipe || !f->pipe_writer) {
            errors_.push_back("tool output not on a pipe's write end: " + command);
            return EBADF;
        }
        p.pipe = f->pipe;
    }
    if (auto it = tools.find(command); it != tools.end()) {
        if (!it->second) return ENOENT;  // the shell cannot be started
        p.output = *it->second;
    } else if (auto failing = failing_tools.find(command); failing != failing_tools.end()) {
        p.kind = ToolKind::Fails;
        p.output = failing->second;
    } else if (auto hanging = hanging_tools.find(command); hanging != hanging_tools.end()) {
        p.kind = ToolKind::Hangs;
        p.output = hanging->second;
    } else if (auto endless = endless_tools.find(command); endless != endless_tools.end()) {
        p.kind = ToolKind::Endless;
        p.output = endless->second;
    }
    *pid = next_pid_++;
    processes_[*pid] = p;
    return 0;
}

int SimGadget::do_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int ready = 0;
        for (nfds_t i = 0; i < nfds; ++i) {
            fds[i].revents = 0;
            const OpenFile* f = file_of(fds[i].fd, "poll");
            if (f == nullptr || f->node != Node::Pipe || f->pipe_writer) {
                errors_.push_back("poll of something else than a tool's output");
                errno = EBADF;
                return -1;
            }
            if (pipe_readable(process_on_pipe(f->pipe))) {
                fds[i].revents = POLLIN;
                ++ready;
            }
        }
        if (ready > 0) return ready;
        if (timeout_ms < 0) {
            errors_.push_back("poll without a time limit on a quiet tool");
            errno = EINVAL;
            return -1;
        }
        clock_ms_ += timeout_ms;  // nothing arrives while the time passes
    }
    std::this_thread::yield();
    return 0;
}

int SimGadget::do_kill(pid_t pid, int sig) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = processes_.find(pid < 0 ? -pid : pid);
    if (pid >= 0 || sig != SIGKILL) errors_.push_back("a tool signalled other than its group by SIGKILL");
    if (it == processes_.end() || it->second.reaped) {
        errno = ESRCH;
        return -1;
    }
    Process& p = it->second;
    if (!p.killed && (p.kind == ToolKind::Hangs || p.kind == ToolKind::Endless)) {
        p.killed = true;
        trace_.push_back("killed");
        tool_kill_times_.push_back(clock_ms_ - p.started_ms);
        changed();
    }
    return 0;
}

pid_t SimGadget::do_waitpid(pid_t pid, int* status, int options) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = processes_.find(pid);
    if (it == processes_.end() || it->second.reaped) {
        errors_.push_back("wait for a process that is no tool or was reaped");
        errno = ECHILD;
        return -1;
    }
    Process& p = it->second;
    const bool ends = p.kind == ToolKind::Ends || p.kind == ToolKind::Fails;
    if (!ends && !p.killed) {
        if (options & WNOHANG) return 0;
        errors_.push_back("wait without end for a tool that never ends: " + p.command);
        errno = ECHILD;
        return -1;
    }
    p.reaped = true;
    *status = p.killed ? SIGKILL : 0;  // killed by SIGKILL, or exit status 0
    changed();
    return pid;
}

int SimGadget::do_clock_gettime(struct timespec* now) {
    std::lock_guard<std::mutex> lock(mutex_);
    now->tv_sec = static_cast<time_t>(clock_ms_ / 1000);
    now->tv_nsec = static_cast<long>(clock_ms_ % 1000) * 1000000;
    return 0;
}

int SimGadget::do_usleep(unsigned int usec) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        usleep_total_ += usec;
        ++usleep_calls_;
    }
    std::this_thread::yield();
    return 0;
}

int SimGadget::do_thread_wake(pthread_t thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakes_;
    // Like a signal: it interrupts a call that is blocked now and is lost
    // otherwise.
    const auto same = [&](pthread_t t) { return pthread_equal(t, thread); };
    const bool blocked = std::any_of(blocked_threads_.begin(), blocked_threads_.end(), same);
    // A second signal before the first is taken merges with it.
    const bool pending = std::any_of(woken_threads_.begin(), woken_threads_.end(), same);
    if (blocked && !pending) {
        woken_threads_.push_back(thread);
        changed();
    }
    return 0;
}

void SimGadget::do_console(int stream, const char* text, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    (stream == 1 ? out_ : err_).append(text, len);
    changed();
}

void SimGadget::do_ep0_event(uint32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    // ep0 calls from now on belong to the next event the loop read.
    ++current_event_;
    changed();
}

int SimGadget::do_nanosleep(const struct timespec* duration) {
    // A hand-over wait: really sleep, so that the thread waited for runs.
    return os_real.nanosleep(duration);
}

int SimGadget::do_thread_create(pthread_t* thread, void* (*start)(void*), void* arg) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const unsigned n = thread_creations_++;
        if (n < 32 && (thread_fail_mask_ >> n & 1)) {
            ++failed_thread_creations_;
            return EAGAIN;
        }
    }
    return os_real.thread_create(thread, start, arg);
}

}  // namespace sim
