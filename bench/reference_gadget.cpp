// reference_gadget: the least a gadgetfs program must do to serve dfuctl's
// upload and download, used by the benchmark as the yardstick for the daemon.
//
// It registers the same ep0 record as the daemon (same descriptors, 86
// bytes), answers only what dfuctl and the host kernel ask during
// enumeration and a transfer (string descriptors 0 to 6, SET_CONFIGURATION 1,
// vendor commands 8 and 9 with their 24-byte reply), and moves the data with
// the daemon's request sizes:
//   upload    reads of 1 MiB from ep1out, each chunk written to the image file
//             and synced before the next read; a zero-length read ends it;
//   download  reads of at most 512000 bytes from the image file, each written
//             to ep1in; no zero-length packet at the end.
// Nothing is logged per chunk, nothing is cleared, no select() is made.
//
// Limits, fine for the benchmark: the endpoint files are configured once, at
// the first SET_CONFIGURATION 1, and stay configured; a download that the
// host abandons in the middle keeps the sender waiting in its write (a new
// download command replaces the old one only between two chunks).
//
//   reference_gadget [--controller PATH] [--product-id ID] [--image PATH]
//
// SIGTERM or SIGINT ends it.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <gadgetdfu/protocol.h>
#include <CLI/CLI.hpp>

namespace {

// ---- Descriptors -------------------------------------------------------------

constexpr std::size_t kEp0RecordLength = 86;
constexpr std::size_t kProductIdOffset = 4 + 2 * 32 + 10;  // idProduct in the device descriptor

// Tag 0, then the full-speed and the high-speed block (configuration,
// interface, bulk IN 0x81, bulk OUT 0x01, max packet 512 in both), then the
// device descriptor: vendor class, bcdUSB 0, 0a5c:2711, strings 1/2/3.
constexpr std::array<std::uint8_t, kEp0RecordLength> kEp0RecordTemplate = {
    0x00,
    0x00,
    0x00,
    0x00,
    // full speed: configuration (iConfiguration 5), interface, endpoints
    0x09,
    0x02,
    0x20,
    0x00,
    0x01,
    0x01,
    0x05,
    0xC0,
    0x00,
    0x09,
    0x04,
    0x00,
    0x00,
    0x02,
    0xFF,
    0x00,
    0x00,
    0x06,
    0x07,
    0x05,
    0x81,
    0x02,
    0x00,
    0x02,
    0x00,
    0x07,
    0x05,
    0x01,
    0x02,
    0x00,
    0x02,
    0x00,
    // high speed: the same with iConfiguration 4
    0x09,
    0x02,
    0x20,
    0x00,
    0x01,
    0x01,
    0x04,
    0xC0,
    0x00,
    0x09,
    0x04,
    0x00,
    0x00,
    0x02,
    0xFF,
    0x00,
    0x00,
    0x06,
    0x07,
    0x05,
    0x81,
    0x02,
    0x00,
    0x02,
    0x00,
    0x07,
    0x05,
    0x01,
    0x02,
    0x00,
    0x02,
    0x00,
    // device
    0x12,
    0x01,
    0x00,
    0x00,
    0xFF,
    0x00,
    0x00,
    0x40,
    0x5C,
    0x0A,
    0x11,
    0x27,
    0x02,
    0x00,
    0x01,
    0x02,
    0x03,
    0x01,
};
static_assert(kEp0RecordTemplate[kProductIdOffset] == 0x11 &&
              kEp0RecordTemplate[kProductIdOffset + 1] == 0x27);

// Endpoint records: tag 1, then the endpoint descriptor twice (full and high
// speed).
constexpr std::size_t kEpRecordLength = 18;
constexpr std::array<std::uint8_t, kEpRecordLength> kEpInRecord = {
    0x01, 0x00, 0x00, 0x00, 0x07, 0x05, 0x81, 0x02, 0x00,
    0x02, 0x00, 0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00,
};
constexpr std::array<std::uint8_t, kEpRecordLength> kEpOutRecord = {
    0x01, 0x00, 0x00, 0x00, 0x07, 0x05, 0x01, 0x02, 0x00,
    0x02, 0x00, 0x07, 0x05, 0x01, 0x02, 0x00, 0x02, 0x00,
};

constexpr const char* kEp1InPath = "/dev/gadget/ep1in";
constexpr const char* kEp1OutPath = "/dev/gadget/ep1out";

// ---- Small helpers -------------------------------------------------------------

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

std::atomic<bool> g_terminate{false};
void on_terminate(int) { g_terminate.store(true); }
void on_wake(int) {}
constexpr int kWakeSignal = SIGUSR1;

// Installs `handler` without SA_RESTART, so that a blocked call returns EINTR.
void install(int signo, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(signo, &sa, nullptr);
}

// Writes all of `data`; false on an error other than EINTR, or when
// `give_up` says so after an interrupted write.
template <typename GiveUp>
bool write_all(int fd, std::span<const std::uint8_t> data, GiveUp give_up) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR && !give_up()) continue;
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

std::vector<std::uint8_t> string_descriptor(const std::string& ascii) {
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * ascii.size()), USB_DT_STRING};
    for (const char c : ascii) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

// The last 8 of the 16 characters after "Serial\t\t: " in /proc/cpuinfo,
// which the board shows as its USB serial number.
std::string board_serial() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    const std::string needle = "Serial\t\t: ";
    for (std::string line; std::getline(cpuinfo, line);) {
        const auto at = line.find(needle);
        if (at == std::string::npos) continue;
        const std::string value = line.substr(at + needle.size(), 16);
        return value.size() > 8 ? value.substr(8) : std::string();
    }
    return {};
}

// ---- The two streams --------------------------------------------------------------

// What the control endpoint hands to the stream threads.
struct Transfers {
    std::mutex mutex;
    std::condition_variable download_ready;
    Fd upload;                          // image file open for an upload
    Fd download;                        // image file of a download not yet taken by the sender
    std::uint64_t download_length = 0;  // 0: the whole file
    bool stopping = false;
    std::atomic<bool> download_replaced{false};
};

// A stream thread that can be woken out of a blocking endpoint call.
class StreamThread {
public:
    template <typename Body>
    explicit StreamThread(Body body) {
        // Termination signals are for the control thread only.
        sigset_t block, old;
        sigemptyset(&block);
        sigaddset(&block, SIGTERM);
        sigaddset(&block, SIGINT);
        pthread_sigmask(SIG_BLOCK, &block, &old);
        thread_ = std::thread([this, body] {
            body();
            finished_.store(true);
        });
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    StreamThread(const StreamThread&) = delete;
    StreamThread& operator=(const StreamThread&) = delete;
    // The owner has raised the stop flag; a wake-up sent just before the
    // thread entered a blocking call is lost, so keep sending until it has left.
    ~StreamThread() {
        while (!finished_.load()) {
            pthread_kill(thread_.native_handle(), kWakeSignal);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        thread_.join();
    }

private:
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// Upload: ep1out to the image file, 1 MiB per read.
void receive(Transfers& t, int ep_out) {
    std::vector<std::uint8_t> buffer(gadgetdfu::kUploadReadSize);
    for (;;) {
        const ssize_t n = ::read(ep_out, buffer.data(), buffer.size());
        std::lock_guard<std::mutex> lock(t.mutex);
        if (t.stopping) return;
        if (n < 0 || !t.upload.valid()) {
            // No upload open: the data is dropped. A failing endpoint (the
            // host went away) is not spun on.
            if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (n == 0) {  // a zero-length packet ends the upload
            ::fsync(t.upload.get());
            t.upload.reset();
            continue;
        }
        const bool ok = write_all(t.upload.get(), std::span(buffer).first(static_cast<std::size_t>(n)),
                                  [] { return false; });
        if (!ok) {
            std::perror("reference_gadget: image write");
            t.upload.reset();
            continue;
        }
        ::fsync(t.upload.get());  // on storage before the next chunk is read
    }
}

// Download: the image file to ep1in, 512000 bytes per read and write.
void send(Transfers& t, int ep_in) {
    std::vector<std::uint8_t> buffer(gadgetdfu::kDownloadChunkSize);
    for (;;) {
        Fd file;
        std::uint64_t left;
        {
            std::unique_lock<std::mutex> lock(t.mutex);
            t.download_ready.wait(lock, [&t] { return t.stopping || t.download.valid(); });
            if (t.stopping) return;
            file = std::move(t.download);
            left = t.download_length;
            t.download_replaced.store(false);
        }
        const bool whole = left == 0;
        auto give_up = [&t] { return t.download_replaced.load(); };
        while ((whole || left > 0) && !give_up()) {
            const std::size_t want =
                whole || left > buffer.size() ? buffer.size() : static_cast<std::size_t>(left);
            const ssize_t n = ::read(file.get(), buffer.data(), want);
            if (n <= 0) break;
            if (!write_all(ep_in, std::span(buffer).first(static_cast<std::size_t>(n)), give_up)) break;
            if (!whole) left -= static_cast<std::uint64_t>(n);
        }
    }
}

// ---- The control endpoint ----------------------------------------------------------

class Gadget {
public:
    Gadget(Fd ep0, std::string image) : ep0_(std::move(ep0)), image_(std::move(image)) {
        strings_ = {
            {0x04, USB_DT_STRING, 0x09, 0x04},
            string_descriptor("Orven B.V."),
            string_descriptor("Velko Pro DFU"),
            string_descriptor(board_serial()),
            string_descriptor("High speed configuration"),
            string_descriptor("Low speed configuration"),
            string_descriptor("Custom interface"),
        };
    }
    Gadget(const Gadget&) = delete;
    Gadget& operator=(const Gadget&) = delete;
    ~Gadget() { stop_streams(); }

    // Reads gadgetfs events until the endpoint fails or a termination signal.
    int run() {
        std::array<usb_gadgetfs_event, 5> events{};
        while (!g_terminate.load()) {
            const ssize_t n = ::read(ep0_.get(), events.data(), sizeof events);
            if (n < 0) {
                if (errno == EINTR) continue;
                std::perror("reference_gadget: ep0 read");
                return 1;
            }
            for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
                std::uint32_t type;
                std::memcpy(&type, &events[i].type, sizeof type);
                if (type == GADGETFS_SETUP) setup(events[i].u.setup);
            }
        }
        return 0;
    }

private:
    void reply(const void* data, std::size_t length) { (void)::write(ep0_.get(), data, length); }
    // A zero-length read is the status stage of a request without data.
    void ack() { (void)::read(ep0_.get(), &scratch_, 0); }
    // gadgetfs stalls a request when ep0 is used in the wrong direction.
    void stall(const usb_ctrlrequest& r) {
        if (r.bRequestType & USB_DIR_IN)
            (void)::read(ep0_.get(), &scratch_, 0);
        else
            (void)::write(ep0_.get(), &scratch_, 0);
    }

    void setup(const usb_ctrlrequest& r) {
        const unsigned value = le16toh(r.wValue);
        if (r.bRequestType == 0x80 && r.bRequest == USB_REQ_GET_DESCRIPTOR && (value >> 8) == USB_DT_STRING &&
            (value & 0xFF) < strings_.size()) {
            const auto& d = strings_[value & 0xFF];
            reply(d.data(), d.size());
        } else if (r.bRequestType == 0x00 && r.bRequest == USB_REQ_SET_CONFIGURATION) {
            if (value == 1 && !configured()) configure();
            ack();
        } else if (r.bRequestType == gadgetdfu::kVendorRequestIn &&
                   ((r.bRequest & gadgetdfu::kCommandMask) == ORVEN_WRITE_FIRMWARE ||
                    (r.bRequest & gadgetdfu::kCommandMask) == ORVEN_READ_FIRMWARE)) {
            firmware_command(r);
        } else {
            stall(r);
        }
    }

    bool configured() const { return ep_in_.valid() && ep_out_.valid(); }

    void configure() {
        Fd in(::open(kEp1InPath, O_RDWR));
        Fd out(::open(kEp1OutPath, O_RDWR));
        if (!in.valid() || !out.valid() ||
            ::write(in.get(), kEpInRecord.data(), kEpInRecord.size()) !=
                static_cast<ssize_t>(kEpRecordLength) ||
            ::write(out.get(), kEpOutRecord.data(), kEpOutRecord.size()) !=
                static_cast<ssize_t>(kEpRecordLength)) {
            std::perror("reference_gadget: endpoint configuration");
            return;
        }
        ep_in_ = std::move(in);
        ep_out_ = std::move(out);
        const int ep_out = ep_out_.get();
        const int ep_in = ep_in_.get();
        receiver_ = std::make_unique<StreamThread>([this, ep_out] { receive(transfers_, ep_out); });
        sender_ = std::make_unique<StreamThread>([this, ep_in] { send(transfers_, ep_in); });
    }

    void firmware_command(const usb_ctrlrequest& r) {
        const unsigned command = r.bRequest & gadgetdfu::kCommandMask;
        if (command == ORVEN_WRITE_FIRMWARE) {
            Fd file(::open(image_.c_str(), O_WRONLY));
            std::lock_guard<std::mutex> lock(transfers_.mutex);
            transfers_.upload = std::move(file);
        } else {
            Fd file(::open(image_.c_str(), O_RDONLY));
            {
                std::lock_guard<std::mutex> lock(transfers_.mutex);
                transfers_.download = std::move(file);
                transfers_.download_length =
                    gadgetdfu::decode_download_length(r.bRequest, le16toh(r.wValue), le16toh(r.wIndex));
                transfers_.download_replaced.store(true);
            }
            transfers_.download_ready.notify_all();
        }
        // The daemon's reply: the command number, three zeros, "Error" (it
        // answers so whatever the open gave).
        std::array<std::uint8_t, gadgetdfu::kReplyLengthFirmware> answer{};
        answer[0] = static_cast<std::uint8_t>(command);
        std::memcpy(answer.data() + gadgetdfu::kReplyHeaderLength, "Error", 6);
        reply(answer.data(), answer.size());
    }

    void stop_streams() {
        {
            std::lock_guard<std::mutex> lock(transfers_.mutex);
            transfers_.stopping = true;
            transfers_.download_replaced.store(true);
        }
        transfers_.download_ready.notify_all();
        receiver_.reset();
        sender_.reset();
    }

    Fd ep0_;
    int scratch_ = 0;  // buffer of the zero-length ep0 calls
    std::string image_;
    std::vector<std::vector<std::uint8_t>> strings_;
    Fd ep_in_, ep_out_;
    Transfers transfers_;
    // Declared last: destroyed (joined) before the files they use.
    std::unique_ptr<StreamThread> receiver_, sender_;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Minimal gadgetfs program serving dfuctl's upload and download (benchmark reference)"};
    std::string controller = "/dev/gadget/fe980000.usb";
    unsigned product_id = gadgetdfu::kProductIdSecondary;
    std::string image = "/tmp/firmware";
    app.add_option("--controller", controller, "gadgetfs controller node")->capture_default_str();
    app.add_option("--product-id", product_id, "idProduct to register")
        ->capture_default_str()
        ->check(CLI::Range(0u, 0xFFFFu));
    app.add_option("--image", image, "image file (written by uploads, read by downloads; not created)")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    install(SIGTERM, on_terminate);
    install(SIGINT, on_terminate);
    install(kWakeSignal, on_wake);

    Fd ep0(::open(controller.c_str(), O_RDWR));
    if (!ep0.valid()) {
        std::perror(("reference_gadget: " + controller).c_str());
        return 1;
    }
    auto record = kEp0RecordTemplate;
    record[kProductIdOffset] = static_cast<std::uint8_t>(product_id & 0xFF);
    record[kProductIdOffset + 1] = static_cast<std::uint8_t>(product_id >> 8);
    if (::write(ep0.get(), record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
        std::perror("reference_gadget: ep0 configuration");
        return 1;
    }
    Gadget gadget(std::move(ep0), image);
    return gadget.run();
}
