// Simulated boards behind the session's interfaces (Bus, BoardLink): each
// answers the vendor commands on ep0 as the board's daemon does, records
// every request, and hands out the simulated bulk pipes of fake_pipe.hpp,
// all on one virtual clock.
#pragma once

#include <libusb.h>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <sstream>

#include "commands.hpp"
#include "fake_pipe.hpp"
#include "firmware.hpp"
#include "session.hpp"

namespace dfuctl::testing {

// Slot count and size of the transfers the commands use.
inline constexpr std::size_t kCommandSlots = kTransferSlots;
inline constexpr std::size_t kCommandSlotSize = kTransferSize;

struct ControlRequest {
    std::uint8_t type;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
};

// A reply frame: the command number, three zeros, the payload at offset 4.
inline std::vector<std::uint8_t> vendor_reply(std::uint32_t command, std::size_t length,
                                              const std::string& payload = "") {
    std::vector<std::uint8_t> r(length, 0);
    r[0] = static_cast<std::uint8_t>(command);
    std::memcpy(r.data() + 4, payload.data(), std::min(payload.size(), length - 4));
    return r;
}

class FakeBoard {
public:
    FakeBoard(std::string path, std::string serial, SteadyTime* clock)
        : path(std::move(path)),
          serial(std::move(serial)),
          upload(kCommandSlots, kCommandSlotSize, clock),
          download(kCommandSlots, kCommandSlotSize, clock),
          clock_(clock) {}

    std::string path;
    std::string serial;
    // Replies by command number; a command without one gets the daemon's
    // usual answer from answer().
    std::map<std::uint32_t, std::vector<std::uint8_t>> replies;
    // Every control transfer and SET_CONFIGURATION, in order.
    std::vector<ControlRequest> requests;
    std::vector<unsigned> timeouts;  // of each control request, ms
    std::vector<int> configurations;
    // The next control transfer fails with this libusb error; with
    // `gone_on_failure` the board is unplugged as it fails.
    std::optional<int> fail_next;
    bool gone_on_failure = false;
    // Bytes 12..15 of the firmware replies: the errno of the image file's open.
    std::uint32_t open_errno = 0;
    bool full_speed = false;
    // Endpoints whose halt the host cleared, and whether a bulk transfer was
    // still queued on the OUT pipe at the time.
    std::vector<std::uint8_t> cleared_halts;
    bool cleared_with_transfers_queued = false;
    // REBOOT takes the board off the bus for this long; it comes back at
    // another address.
    std::chrono::milliseconds reboot_time{3000};
    std::optional<SteadyTime> back_at;
    std::uint8_t address = 2;
    bool attached = true;
    UploadBoard upload;
    DownloadBoard download;

    int control(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                std::span<std::uint8_t> data) {
        requests.push_back({type, request, value, index, static_cast<std::uint16_t>(data.size())});
        if (fail_next) {
            if (gone_on_failure) attached = false;
            return *std::exchange(fail_next, std::nullopt);
        }
        if (!attached) return LIBUSB_ERROR_NO_DEVICE;
        if ((type & 0x60) != 0x40) return LIBUSB_ERROR_PIPE;  // only the vendor commands here
        const std::uint32_t command = request & gadgetdfu::kCommandMask;
        const auto it = replies.find(command);
        const std::vector<std::uint8_t> reply = it != replies.end() ? it->second : answer(command);
        if (reply.empty()) return LIBUSB_ERROR_PIPE;
        // ep0 sends at most wLength bytes.
        const std::size_t n = std::min(reply.size(), data.size());
        std::copy_n(reply.begin(), n, data.begin());
        if (command == ORVEN_REBOOT) {
            attached = false;
            back_at = *clock_ + reboot_time;
        }
        return static_cast<int>(n);
    }

    std::vector<std::uint8_t> answer(std::uint32_t command) const {
        switch (command) {
        case ORVEN_GET_VERSION:
            return vendor_reply(command, 24, "v1.4");
        case ORVEN_GET_FLASHSIZE:
            return vendor_reply(command, 24, "7818182656");
        case ORVEN_GET_EMMC_PROPERTIES:
            return vendor_reply(command, 17, "0x010x020x01");
        case ORVEN_GET_SERIAL:
            return vendor_reply(command, 39, "abcdef01\n");
        case ORVEN_WRITE_FIRMWARE:
        case ORVEN_READ_FIRMWARE: {
            auto r = vendor_reply(command, 24, "Error");
            for (int i = 0; i < 4; ++i) r[12 + i] = static_cast<std::uint8_t>(open_errno >> (8 * i));
            return r;
        }
        default: {
            const std::size_t length = gadgetdfu::fixed_reply_length(command);
            return length != 0 ? vendor_reply(command, length) : std::vector<std::uint8_t>{};
        }
        }
    }

    // The vendor commands the board was sent, in order.
    std::vector<std::uint32_t> commands() const {
        std::vector<std::uint32_t> v;
        for (const auto& r : requests) {
            if ((r.type & 0x60) == 0x40) v.push_back(r.request & gadgetdfu::kCommandMask);
        }
        return v;
    }

private:
    SteadyTime* clock_;
};

class FakeBus final : public Bus {
public:
    // Boards are at paths 1-1, 1-2, ... in the order they are added.
    FakeBoard& add(const std::string& serial) {
        auto& b = boards.emplace_back("1-" + std::to_string(boards.size() + 1), serial, &clock);
        b.address = static_cast<std::uint8_t>(1 + boards.size());
        return b;
    }

    std::vector<BoardEntry> scan(bool) override {
        if (no_usb_looks > 0) {
            --no_usb_looks;
            throw NoUsbAccess(Exit::OsError, "no USB access: no USB device at all");
        }
        std::vector<BoardEntry> v;
        for (auto& b : boards) {
            if (b.attached) v.push_back({b.path, b.serial, gadgetdfu::kProductIdSecondary, 1, b.address});
        }
        return v;
    }
    DescriptorInfo descriptors(const BoardEntry&) override { return {}; }
    std::unique_ptr<BoardLink> open(const BoardEntry& entry) override {
        for (auto& b : boards) {
            if (b.path == entry.path) return std::make_unique<Link>(b, *this);
        }
        throw Failure(Exit::Vanished, entry.path + " is gone");
    }
    SteadyTime now() override { return clock; }
    void pause(std::chrono::milliseconds duration) override {
        clock += duration;
        tick();
    }
    // Like a libusb context without udevd, the bus shows a rebooted board
    // only to a fresh look.
    Bus& fresh() override {
        if (fresh_look != nullptr) return *fresh_look;
        for (auto& b : boards) {
            if (b.back_at && clock >= *b.back_at) {
                b.back_at.reset();
                b.attached = true;
                b.address += 10;  // enumerated afresh
            }
        }
        return *this;
    }

    SteadyTime clock{};
    std::deque<FakeBoard> boards;
    // The next looks at the bus see no USB device at all (the host's USB
    // stack still coming up).
    int no_usb_looks = 0;
    // When set, a fresh look is this other bus: a context opened later,
    // which sees boards this one does not know of yet.
    FakeBus* fresh_look = nullptr;
    // Called whenever the host waits: each pause, bulk wait and control
    // request (to raise a signal at a given virtual time).
    std::function<void()> on_tick;
    void tick() {
        if (on_tick) on_tick();
    }

private:
    // The pipes stay the board's, so that tests can look at them afterwards.
    class PipeRef final : public BulkPipe {
    public:
        PipeRef(FakePipe& pipe, FakeBus& bus) : p_(pipe), bus_(bus) {}
        ~PipeRef() override { p_.close(); }
        std::size_t slot_count() const override { return p_.slot_count(); }
        std::size_t slot_size() const override { return p_.slot_size(); }
        std::span<std::uint8_t> buffer(std::size_t slot) override { return p_.buffer(slot); }
        TransferStatus submit(std::size_t slot, std::size_t length) override {
            return p_.submit(slot, length);
        }
        std::optional<Completion> wait(std::chrono::milliseconds limit) override {
            bus_.tick();
            return p_.wait(limit);
        }
        void cancel(std::size_t slot) override { p_.cancel(slot); }
        bool device_present() override { return p_.device_present(); }

    private:
        FakePipe& p_;
        FakeBus& bus_;
    };

    class Link final : public BoardLink {
    public:
        Link(FakeBoard& board, FakeBus& bus) : b_(board), bus_(bus) {}
        int control(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                    std::span<std::uint8_t> data, unsigned timeout_ms) override {
            b_.timeouts.push_back(timeout_ms);
            bus_.tick();
            return b_.control(type, request, value, index, data);
        }
        int set_configuration(int configuration) override {
            b_.configurations.push_back(configuration);
            return b_.attached ? 0 : LIBUSB_ERROR_NO_DEVICE;
        }
        int claim_interface(int) override { return 0; }
        int clear_halt(std::uint8_t endpoint) override {
            b_.cleared_halts.push_back(endpoint);
            if (!b_.upload.idle()) b_.cleared_with_transfers_queued = true;
            if (endpoint == gadgetdfu::kEndpointOut) b_.upload.clear_halt();
            return 0;
        }
        bool full_speed() override { return b_.full_speed; }
        bool still_attached(unsigned) override { return b_.attached; }
        std::unique_ptr<BulkPipe> open_pipe(std::uint8_t endpoint, std::size_t slots,
                                            std::size_t slot_size) override {
            FakePipe& pipe = endpoint == gadgetdfu::kEndpointOut ? static_cast<FakePipe&>(b_.upload)
                                                                 : static_cast<FakePipe&>(b_.download);
            if (pipe.slot_count() != slots || pipe.slot_size() != slot_size) {
                throw std::logic_error("the fake board's pipes have other slots");
            }
            return std::make_unique<PipeRef>(pipe, bus_);
        }

    private:
        FakeBoard& b_;
        FakeBus& bus_;
    };
};

// What a command printed and returned, as run() would report it.
struct CommandRun {
    int status = 0;
    std::string out, err;
};

inline CommandRun run_command(FakeBus& bus, std::vector<const char*> args) {
    args.insert(args.begin(), "dfuctl");
    std::ostringstream out, err;
    const int status = run(static_cast<int>(args.size()), args.data(), out, err,
                           [&](const GlobalOptions&) -> Bus& { return bus; });
    return {status, out.str(), err.str()};
}

}  // namespace dfuctl::testing
