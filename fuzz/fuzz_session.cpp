// A whole dfuctl command against a board whose every answer comes from the
// input: `info`, `verify` and `flash` with a small image, run as run() runs
// a parsed command line (each command line is parsed once), on a virtual
// clock.
//
// Input: one byte of options (bits 0-1: info, verify or flash; bit 2:
// --json; bits 3-4: which image; bit 5: flash --reboot; bits 6-7: the
// --timeout), then one byte (and what it asks for) per thing the board does:
//  - each control request: the daemon's proper answer, a stall, a time-out,
//    an I/O error, the board gone, a reply longer than asked for, a reply of
//    the input's bytes, or the proper one cut short or with one byte changed;
//  - SET_CONFIGURATION and claiming the interface: done, or refused;
//  - each wait on a bulk pipe: the oldest transfer completes (in full, short,
//    as a zero-length packet, with changed data) or fails (stall, overflow,
//    board gone, time-out, error), or nothing happens for the wait's time.
// Once the input has run out the board is silent: control requests time out
// and no bulk transfer moves.
//
// Checked:
//  - the exit status is one of the table's, never 64 (usage) or 70
//    (internal error) for this valid command line;
//  - a failure says why on standard error ("dfuctl: ..."), and with --json
//    every line of standard output is JSON and the last one carries the
//    failure's exit status and message;
//  - success only for what is true: verify matched the bytes the board
//    actually sent, flash stored and read back the very image;
//  - no hang: once the board is silent the command ends within its time-outs
//    (the virtual time after that is at most --timeout plus 2 idle periods
//    and a second).
#include <libusb.h>
#include <unistd.h>

#include <gadgetdfu/protocol.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "fuzz_input.h"
#include "log.hpp"
#include "session.hpp"

namespace {

using namespace dfuctl;
using std::chrono::milliseconds;

constexpr std::size_t kImageSizes[] = {1, 511, 512, 3000};
constexpr unsigned kTimeouts[] = {5000, 1, 250, 60000};
constexpr unsigned kIdleMs = 2000;

std::string g_image_dir;

std::uint8_t image_byte(std::size_t i) { return static_cast<std::uint8_t>(i * 7 + i / 256); }

std::string image_path(std::size_t size) { return g_image_dir + "/image" + std::to_string(size) + ".bin"; }

// The daemon's replies and descriptors, as a well-behaved board sends them.
std::vector<std::uint8_t> reply(std::uint32_t command, std::size_t length, const std::string& payload) {
    std::vector<std::uint8_t> r(length, 0);
    r[0] = static_cast<std::uint8_t>(command);
    std::copy_n(payload.begin(), std::min(payload.size(), length - 4), r.begin() + 4);
    return r;
}

std::vector<std::uint8_t> string_descriptor(const std::string& text) {
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

std::vector<std::uint8_t> proper_answer(std::uint8_t type, std::uint8_t request, std::uint16_t value) {
    if (type == 0x80 && request == 6) {
        const std::uint8_t index = value & 0xFF;
        if (index == 0) return {4, 3, 0x09, 0x04};
        if (index == gadgetdfu::kStringMsOs) {
            auto d = string_descriptor("MSFT100");
            d.push_back(gadgetdfu::kMsVendorCode);
            d.push_back(0);
            d[0] = static_cast<std::uint8_t>(d.size());
            return d;
        }
        return string_descriptor(index == gadgetdfu::kStringSerial ? "abcdef01" : "text");
    }
    const std::uint32_t command = request & gadgetdfu::kCommandMask;
    switch (command) {
    case ORVEN_GET_VERSION:
        return reply(command, gadgetdfu::kReplyLengthVersion, "v1.4");
    case ORVEN_GET_FLASHSIZE:
        return reply(command, gadgetdfu::kReplyLengthFlashSize, "7818182656");
    case ORVEN_GET_EMMC_PROPERTIES:
        return reply(command, 17, "0x010x020x01");
    case ORVEN_GET_SERIAL:
        return reply(command, gadgetdfu::kReplyLengthSerial, "abcdef01\n");
    case ORVEN_WRITE_FIRMWARE:
    case ORVEN_READ_FIRMWARE:
        return reply(command, gadgetdfu::kReplyLengthFirmware, "Error");
    default: {
        const std::size_t length = gadgetdfu::fixed_reply_length(command);
        return length != 0 ? reply(command, length, "") : std::vector<std::uint8_t>{};
    }
    }
}

// The transfers' buffers, made once for the commands' slots.
std::vector<std::uint8_t>& slot_memory(std::size_t slot, std::size_t size) {
    static std::vector<std::vector<std::uint8_t>> memory;
    if (memory.size() <= slot) memory.resize(slot + 1);
    if (memory[slot].size() != size) memory[slot].assign(size, 0);
    return memory[slot];
}

class Board {
public:
    Board(FuzzInput& in) : in_(in) {}

    // The next thing the board does; empty once the input has run out.
    std::optional<std::uint8_t> action() {
        if (in_.remaining() == 0) {
            if (!silent_since_) silent_since_ = clock;
            return std::nullopt;
        }
        return in_.byte();
    }

    int control(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::span<std::uint8_t> data,
                unsigned timeout_ms) {
        if (!attached) return LIBUSB_ERROR_NO_DEVICE;
        const auto a = action();
        const auto timed_out = [&] {
            clock += milliseconds(timeout_ms);
            return LIBUSB_ERROR_TIMEOUT;
        };
        if (!a) return timed_out();
        std::vector<std::uint8_t> answer;
        switch (*a % 16) {
        case 0:
            return LIBUSB_ERROR_PIPE;
        case 1:
            return timed_out();
        case 2:
            return LIBUSB_ERROR_IO;  // the board may be gone: see still_attached
        case 3:
            attached = false;
            return LIBUSB_ERROR_NO_DEVICE;
        case 4:
            return LIBUSB_ERROR_OVERFLOW;  // it sent more than wLength
        case 5:
            answer = in_.bytes(in_.byte());
            break;
        case 6:
            answer = proper_answer(type, request, value);
            answer.resize(answer.size() - std::min<std::size_t>(answer.size(), 1 + in_.byte() % 8));
            break;
        case 7: {
            answer = proper_answer(type, request, value);
            const std::uint8_t at = in_.byte();
            if (!answer.empty()) answer[at % answer.size()] = in_.byte();
            break;
        }
        default:
            answer = proper_answer(type, request, value);
            break;
        }
        if (answer.empty() && (type & 0x60) == 0x40) return LIBUSB_ERROR_PIPE;
        if (answer.size() > data.size()) return LIBUSB_ERROR_OVERFLOW;
        std::copy(answer.begin(), answer.end(), data.begin());
        return static_cast<int>(answer.size());
    }

    // SET_CONFIGURATION, claiming: mostly done.
    int setup_step() {
        const auto a = action();
        if (!a || *a % 8 != 0) return 0;
        static constexpr int kErrors[] = {LIBUSB_ERROR_BUSY, LIBUSB_ERROR_NOT_FOUND, LIBUSB_ERROR_NO_DEVICE,
                                          LIBUSB_ERROR_IO,   LIBUSB_ERROR_TIMEOUT,   LIBUSB_ERROR_ACCESS};
        const int e = kErrors[(*a >> 3) % 6];
        if (e == LIBUSB_ERROR_NO_DEVICE) attached = false;
        return e;
    }

    FuzzInput& in_;
    SteadyTime clock{};
    std::optional<SteadyTime> silent_since_;
    bool attached = true;
    std::vector<std::uint8_t> stored;  // what the board took on its OUT endpoint
    std::vector<std::uint8_t> sent;    // what it put into IN transfers that completed
    std::vector<std::uint8_t> image;   // what it sends on IN: the image it holds
};

class Pipe final : public BulkPipe {
public:
    Pipe(Board& board, bool in, std::size_t slots, std::size_t size) : b_(board), in_(in), size_(size) {
        for (std::size_t s = 0; s < slots; ++s) slot_memory(s, size);
        slots_ = slots;
    }
    std::size_t slot_count() const override { return slots_; }
    std::size_t slot_size() const override { return size_; }
    std::span<std::uint8_t> buffer(std::size_t slot) override { return slot_memory(slot, size_); }
    TransferStatus submit(std::size_t slot, std::size_t length) override {
        if (!b_.attached) return TransferStatus::NoDevice;
        queue_.push_back({slot, length});
        return TransferStatus::Completed;
    }
    void cancel(std::size_t slot) override {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (it->first == slot) {
                done_.push_back({slot, TransferStatus::Cancelled, 0});
                queue_.erase(it);
                return;
            }
        }
    }
    bool device_present() override { return b_.attached; }

    std::optional<Completion> wait(milliseconds limit) override {
        if (done_.empty() && !queue_.empty()) step(limit);
        if (done_.empty()) {
            if (queue_.empty()) b_.clock += limit;
            return std::nullopt;
        }
        const Completion c = done_.front();
        done_.pop_front();
        return c;
    }

private:
    void step(milliseconds limit) {
        const auto a = b_.action();
        if (!a || *a % 16 == 0) {
            b_.clock += limit;
            return;
        }
        b_.clock += milliseconds(1);
        const auto [slot, length] = queue_.front();
        queue_.pop_front();
        static constexpr TransferStatus kFailures[] = {TransferStatus::Stall, TransferStatus::Overflow,
                                                       TransferStatus::NoDevice, TransferStatus::TimedOut,
                                                       TransferStatus::Error};
        std::size_t actual = length;
        switch (*a % 16) {
        case 1: {
            const auto status = kFailures[(*a >> 4) % 5];
            if (status == TransferStatus::NoDevice || (*a >> 4) == 15) b_.attached = false;
            done_.push_back({slot, status, 0});
            return;
        }
        case 2:  // short, a zero-length packet included
            actual = length == 0 ? 0 : b_.in_.le16() % length;
            break;
        default:
            break;
        }
        auto& mem = slot_memory(slot, size_);
        if (in_) {
            for (std::size_t i = 0; i < actual; ++i) {
                const std::size_t at = b_.sent.size() + i;
                mem[i] = at < b_.image.size() ? b_.image[at] : static_cast<std::uint8_t>(at);
            }
            if (*a % 16 == 3 && actual > 0) mem[b_.in_.le16() % actual] ^= static_cast<std::uint8_t>(1 | *a);
            b_.sent.insert(b_.sent.end(), mem.begin(), mem.begin() + static_cast<std::ptrdiff_t>(actual));
        } else {
            b_.stored.insert(b_.stored.end(), mem.begin(), mem.begin() + static_cast<std::ptrdiff_t>(actual));
        }
        done_.push_back({slot, TransferStatus::Completed, actual});
    }

    Board& b_;
    bool in_;
    std::size_t slots_ = 0;
    std::size_t size_;
    std::deque<std::pair<std::size_t, std::size_t>> queue_;
    std::deque<Completion> done_;
};

class Link final : public BoardLink {
public:
    explicit Link(Board& b) : b_(b) {}
    int control(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t,
                std::span<std::uint8_t> data, unsigned timeout_ms) override {
        return b_.control(type, request, value, data, timeout_ms);
    }
    int set_configuration(int) override { return b_.attached ? b_.setup_step() : LIBUSB_ERROR_NO_DEVICE; }
    int claim_interface(int) override { return b_.attached ? b_.setup_step() : LIBUSB_ERROR_NO_DEVICE; }
    int clear_halt(std::uint8_t) override { return b_.attached ? b_.setup_step() : LIBUSB_ERROR_NO_DEVICE; }
    bool full_speed() override { return false; }
    bool still_attached(unsigned) override { return b_.attached; }
    std::unique_ptr<BulkPipe> open_pipe(std::uint8_t endpoint, std::size_t slots, std::size_t size) override {
        // The board sends back what it stored (flash), or else the image.
        if (endpoint == gadgetdfu::kEndpointIn && !b_.stored.empty()) b_.image = b_.stored;
        return std::make_unique<Pipe>(b_, endpoint == gadgetdfu::kEndpointIn, slots, size);
    }

private:
    Board& b_;
};

class FuzzBus final : public Bus {
public:
    explicit FuzzBus(Board& b) : b_(b) {}
    std::vector<BoardEntry> scan(bool) override {
        if (!b_.attached) return {};
        return {{"1-1", std::string("abcdef01"), gadgetdfu::kProductIdSecondary, 1, 2}};
    }
    DescriptorInfo descriptors(const BoardEntry&) override { return {}; }
    std::unique_ptr<BoardLink> open(const BoardEntry&) override { return std::make_unique<Link>(b_); }
    SteadyTime now() override { return b_.clock; }
    void pause(milliseconds d) override { b_.clock += d; }

private:
    Board& b_;
};

// The command line of an options byte, parsed once: parsing builds the
// whole option tree and would take half of each run.
const Invocation& parsed(std::uint8_t options, const std::string& path, const std::string& timeout, bool json,
                         int command, bool reboot) {
    static std::map<std::uint8_t, Invocation> cache;
    const auto it = cache.find(options);
    if (it != cache.end()) return it->second;
    std::vector<const char*> args{"dfuctl", "--progress", "none", "--timeout", timeout.c_str()};
    if (json) args.push_back("--json");
    static const char* const kCommands[] = {"info", "verify", "flash"};
    args.push_back(kCommands[command]);
    if (command != 0) args.push_back(path.c_str());
    if (command == 2 && reboot) args.push_back("--reboot");
    std::ostringstream out, err;
    const ParseResult r = parse_command_line(static_cast<int>(args.size()), args.data(), out, err);
    if (!r.invocation) fuzz_fail("the command line is refused: ", err.str());
    return cache.emplace(options, *r.invocation).first->second;
}

const std::set<int> kExitTable{0, 65, 66, 69, 71, 72, 73, 74, 75, 76, 77, 79};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fuzz_session.XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    g_image_dir = dir;
    for (std::size_t size : kImageSizes) {
        std::ofstream f(image_path(size), std::ios::binary);
        for (std::size_t i = 0; i < size; ++i) f.put(static_cast<char>(image_byte(i)));
    }
    std::atexit([] {
        for (std::size_t size : kImageSizes) ::unlink(image_path(size).c_str());
        ::rmdir(g_image_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t options = in.byte();
    const int command = options % 4 == 3 ? 0 : options % 4;  // info, verify, flash
    const bool json = options & 4;
    const std::size_t image_size = kImageSizes[(options >> 3) % 4];
    const bool reboot = options & 0x20;
    const unsigned timeout = kTimeouts[options >> 6];
    const std::string path = image_path(image_size);
    const std::string timeout_text = std::to_string(timeout);

    const Invocation& invocation = parsed(options, path, timeout_text, json, command, reboot);
    Board board(in);
    std::vector<std::uint8_t> image(image_size);
    for (std::size_t i = 0; i < image_size; ++i) image[i] = image_byte(i);
    board.image = image;
    FuzzBus bus(board);
    std::ostringstream out, err;
    // What run() does once the command line is parsed (no --log, no --wait).
    command_record() = CommandRecord{};
    const int status = report_failures(
        out, err, [&] { return execute(invocation, bus, out, err); }, json);

    const std::string e = err.str();
    FUZZ_CHECK(kExitTable.count(status) == 1, "exit status ", std::to_string(status), " ", e);
    if (status != 0) {
        const auto at = e.find("dfuctl: ");
        FUZZ_CHECK(at != std::string::npos && e.size() > at + 9, "a failure without a message");
    }
    if (json) {
        std::istringstream lines(out.str());
        std::string line, last;
        while (std::getline(lines, line)) {
            FUZZ_CHECK(nlohmann::json::accept(line), "standard output is not JSON: ", line);
            last = line;
        }
        const auto j = nlohmann::json::parse(last.empty() ? "null" : last);
        if (status != 0 && status != 65) {
            FUZZ_CHECK(j.is_object() && j.contains("error") && j["error"]["exit"] == status &&
                           !j["error"]["message"].get<std::string>().empty(),
                       "--json without the failure: ", last);
        }
        if (status == 0) FUZZ_CHECK(j.is_object() && !j.contains("error"), "an error with status 0");
    }
    if (status == 0 && command == 1) FUZZ_CHECK(board.sent == image, "verify matched other bytes");
    if (status == 0 && command == 2) {
        FUZZ_CHECK(board.stored == image && board.sent == image, "flash succeeded without the image");
    }
    if (board.silent_since_) {
        const auto after = board.clock - *board.silent_since_;
        FUZZ_CHECK(after <= milliseconds(timeout + 2 * kIdleMs + 1000), "ran on ",
                   std::to_string(std::chrono::duration_cast<milliseconds>(after).count()),
                   " ms after the board fell silent");
    }
    return 0;
}
