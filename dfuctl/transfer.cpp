#include "transfer.hpp"

#include <gadgetdfu/protocol.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "interrupt.hpp"
#include "log.hpp"

namespace dfuctl {

unsigned closing_zlp_count(std::uint64_t image_length, std::size_t packet_size, std::size_t read_size) {
    if (image_length % packet_size != 0) return 1;
    if (image_length % read_size == 0) return 1;
    return 2;
}

Exit exit_for_transfer(TransferStatus status) {
    switch (status) {
    case TransferStatus::Completed:
        return Exit::Ok;
    case TransferStatus::TimedOut:
        return Exit::Timeout;
    case TransferStatus::Stall:
        return Exit::Protocol;
    case TransferStatus::Overflow:
        return Exit::Protocol;
    case TransferStatus::NoDevice:
        return Exit::Vanished;
    case TransferStatus::Cancelled:  // only dfuctl cancels, and never leaves one unhandled
    case TransferStatus::NoMemory:
    case TransferStatus::Error:
        break;
    }
    return Exit::OsError;
}

std::string_view transfer_status_name(TransferStatus status) {
    switch (status) {
    case TransferStatus::Completed:
        return "completed";
    case TransferStatus::TimedOut:
        return "timed out";
    case TransferStatus::Cancelled:
        return "cancelled";
    case TransferStatus::Stall:
        return "stalled";
    case TransferStatus::NoDevice:
        return "device gone";
    case TransferStatus::Overflow:
        return "overflow (the board sent more than asked for)";
    case TransferStatus::NoMemory:
        return "no memory for the transfer";
    case TransferStatus::Error:
        return "transfer error";
    }
    return "unknown";
}

namespace {

// How often the loops look at the clock while nothing finishes.
constexpr std::chrono::milliseconds kTick{100};

// Slot bookkeeping shared by both directions: free slots, the transfers in
// flight in submission order, and finished transfers waiting for their
// turn (results are consumed strictly in submission order, which is the
// order of the bytes on the pipe).
class Slots {
public:
    explicit Slots(std::size_t count) : requested_(count, 0), results_(count) {
        for (std::size_t s = count; s-- > 0;) free_.push_back(s);
    }
    bool has_free() const { return !free_.empty(); }
    std::size_t take_free() {
        const std::size_t s = free_.back();
        free_.pop_back();
        return s;
    }
    void give_back(std::size_t slot) { free_.push_back(slot); }
    void submitted(std::size_t slot, std::size_t length) {
        requested_[slot] = length;
        in_flight_.push_back(slot);
    }
    void finished(const Completion& c) { results_.at(c.slot) = c; }
    bool busy() const { return !in_flight_.empty(); }
    // The oldest transfer, once it has finished; its slot becomes free.
    std::optional<Completion> next() {
        if (in_flight_.empty() || !results_[in_flight_.front()]) return std::nullopt;
        const std::size_t s = in_flight_.front();
        in_flight_.pop_front();
        Completion c = *results_[s];
        results_[s].reset();
        free_.push_back(s);
        return c;
    }
    std::size_t requested(std::size_t slot) const { return requested_[slot]; }
    // Newest first, so that no data can move on into a later transfer once
    // the oldest one has been taken off the pipe.
    void cancel_all(BulkPipe& pipe) const {
        for (auto it = in_flight_.rbegin(); it != in_flight_.rend(); ++it) pipe.cancel(*it);
    }

private:
    std::vector<std::size_t> free_;
    std::deque<std::size_t> in_flight_;
    std::vector<std::size_t> requested_;
    std::vector<std::optional<Completion>> results_;
};

[[noreturn]] void fail(BulkPipe& pipe, TransferStatus status, const StreamOptions& o, std::uint64_t done,
                       const char* endpoint) {
    // Unplugging often shows as a plain transfer error first.
    if (status == TransferStatus::Error && !pipe.device_present()) status = TransferStatus::NoDevice;
    const std::string after = " after " + std::to_string(done) + " bytes";
    switch (status) {
    case TransferStatus::NoDevice:
        throw Failure(Exit::Vanished, o.board + " vanished during the " + o.operation + after);
    case TransferStatus::Stall:
        throw Failure(Exit::Protocol,
                      o.board + " stalled bulk endpoint " + endpoint + " during the " + o.operation + after);
    case TransferStatus::Overflow:
        throw Failure(Exit::Protocol,
                      o.board + " sent more data than asked for during the " + o.operation + after);
    case TransferStatus::TimedOut:
        throw Failure(Exit::Timeout, o.operation + " timed out on bulk endpoint " + endpoint + after);
    case TransferStatus::NoMemory:
        // usbfs caps what all transfers in flight take together, for every
        // program on the host.
        throw Failure(Exit::OsError, "no memory for a bulk transfer during the " + o.operation + after +
                                         ": the host's USB transfers in flight are at their limit (on "
                                         "Linux: usbfs_memory_mb of the usbcore module, 16 MiB by default)");
    default:
        throw Failure(exit_for_transfer(status), "bulk transfer on endpoint " + std::string(endpoint) +
                                                     " failed during the " + o.operation + after + " (" +
                                                     std::string(transfer_status_name(status)) + ")");
    }
}

// -v: a line per bulk transfer that ends, e.g.
//   "bulk 0x81 (IN): 1048576 of 1048576 bytes, completed (+7 not shown: 7340032 bytes)"
// at most one every kTraceInterval; the transfers left out in between are
// counted in the next line. A transfer that failed is always shown.
constexpr std::chrono::milliseconds kTraceInterval{100};

class TransferTrace {
public:
    TransferTrace(const StreamOptions& o, const char* endpoint) : o_(o), endpoint_(endpoint) {}
    void note(const Completion& c, std::size_t requested) {
        if (verbosity() < 1) return;
        const SteadyTime t = o_.now();
        const bool failed = c.status != TransferStatus::Completed && c.status != TransferStatus::Cancelled;
        if (!failed && shown_ && t - last_ < kTraceInterval) {
            ++skipped_;
            skipped_bytes_ += c.actual;
            return;
        }
        std::string line = "bulk " + std::string(endpoint_) + ": " + std::to_string(c.actual) + " of " +
                           std::to_string(requested) + " bytes, " +
                           std::string(transfer_status_name(c.status));
        if (skipped_ > 0) {
            line += " (+" + std::to_string(skipped_) + " not shown: " + std::to_string(skipped_bytes_) +
                    " bytes)";
        }
        trace(line);
        shown_ = true;
        last_ = t;
        skipped_ = 0;
        skipped_bytes_ = 0;
    }
    // At the end of the stream: the transfers not shown since the last line.
    void flush() {
        if (verbosity() < 1 || skipped_ == 0) return;
        trace("bulk " + std::string(endpoint_) + ": +" + std::to_string(skipped_) +
              " not shown: " + std::to_string(skipped_bytes_) + " bytes");
        skipped_ = 0;
    }

private:
    const StreamOptions& o_;
    const char* endpoint_;
    bool shown_ = false;
    SteadyTime last_{};
    std::uint64_t skipped_ = 0;
    std::uint64_t skipped_bytes_ = 0;
};

void report(const StreamOptions& o, std::uint64_t done) {
    if (o.progress) o.progress(done);
}

}  // namespace

UploadResult upload_stream(BulkPipe& pipe, const ReadFn& read, const StreamOptions& o) {
    static const char* const kEndpoint = "0x01 (OUT)";
    const std::size_t size = pipe.slot_size();
    Slots slots(pipe.slot_count());
    UploadResult result;
    TransferTrace tracer(o, kEndpoint);
    bool source_done = false;
    auto last_progress = o.now();

    auto upload_failed = [&](TransferStatus status, std::uint64_t taken) {
        if (status == TransferStatus::Stall) {
            throw Failure(Exit::NotStored, "the board could not store the image: it refused the data after " +
                                               std::to_string(taken) + " bytes");
        }
        fail(pipe, status, o, taken, kEndpoint);
    };

    auto on_stall_timeout = [&](const std::string& what) {
        throw Failure(Exit::Timeout, o.operation + " timed out: " + what + " for " +
                                         std::to_string(o.stall_timeout.count()) + " ms, after " +
                                         std::to_string(result.bytes) + " bytes");
    };

    auto fill = [&] {
        while (!source_done && slots.has_free()) {
            const std::size_t slot = slots.take_free();
            const std::size_t n = read(pipe.buffer(slot).first(size));
            if (n < size) source_done = true;  // only the last transfer is short
            if (n == 0) {
                slots.give_back(slot);
                break;
            }
            const TransferStatus st = pipe.submit(slot, n);
            if (st != TransferStatus::Completed) upload_failed(st, result.bytes);
            slots.submitted(slot, n);
        }
    };

    fill();
    while (slots.busy()) {
        check_interrupted();
        const auto c = pipe.wait(kTick);
        if (!c) {
            if (o.now() - last_progress >= o.stall_timeout) on_stall_timeout("the board took no data");
            report(o, result.bytes);
            continue;
        }
        slots.finished(*c);
        while (const auto r = slots.next()) {
            tracer.note(*r, slots.requested(r->slot));
            if (r->status != TransferStatus::Completed) upload_failed(r->status, result.bytes + r->actual);
            if (r->actual != slots.requested(r->slot)) {
                throw Failure(Exit::OsError, "bulk OUT transfer sent " + std::to_string(r->actual) + " of " +
                                                 std::to_string(slots.requested(r->slot)) +
                                                 " bytes during the " + o.operation);
            }
            result.bytes += r->actual;
            last_progress = o.now();
            report(o, result.bytes);
        }
        fill();
    }

    // The closing packets go one at a time: each must have been taken by the
    // board before the next is offered.
    // A signal may also have ended a pipe the image came from: an image cut
    // short is not closed as if it were whole.
    check_interrupted();
    result.zero_length_packets = closing_zlp_count(result.bytes, o.packet_size, gadgetdfu::kUploadReadSize);
    for (unsigned k = 0; k < result.zero_length_packets; ++k) {
        const TransferStatus st = pipe.submit(0, 0);
        if (st != TransferStatus::Completed) upload_failed(st, result.bytes);
        const auto started = o.now();
        for (;;) {
            check_interrupted();
            const auto c = pipe.wait(kTick);
            if (c) {
                tracer.note(*c, 0);
                if (c->status != TransferStatus::Completed) upload_failed(c->status, result.bytes);
                break;
            }
            if (o.now() - started >= o.stall_timeout) {
                on_stall_timeout("the board did not take closing zero-length packet " +
                                 std::to_string(k + 1) + " of " + std::to_string(result.zero_length_packets));
            }
        }
    }
    tracer.flush();
    return result;
}

DownloadResult download_stream(BulkPipe& pipe, std::uint64_t length, const WriteFn& write,
                               const StreamOptions& o) {
    static const char* const kEndpoint = "0x81 (IN)";
    const bool bounded = length != 0;
    std::uint64_t to_request = length;  // bytes not yet asked for (bounded downloads)
    const std::size_t size = pipe.slot_size();
    Slots slots(pipe.slot_count());
    DownloadResult result;
    TransferTrace tracer(o, kEndpoint);

    // Running: transfers are kept in flight.
    // Probing: nothing finished for a while; every transfer has been
    //   cancelled, and whether they bring bytes back tells a slow board
    //   (bytes in a partly filled transfer) from one that has stopped.
    // Ending: a short packet ended it, or the idle period ran out; the rest
    //   is drained.
    enum class Phase { Running, Probing, Ending } phase = Phase::Running;
    // A transfer that never fills does not finish, so the only way to see
    // whether bytes still arrive is to cancel it. Probing a few times per
    // idle period ends the download at most about 1.5 idle periods after
    // the last byte; while data flows transfers finish and no probe happens.
    const auto probe_interval = std::max<std::chrono::milliseconds>(o.idle / 4, std::chrono::milliseconds(1));
    bool data_while_probing = false;
    auto last_data = o.now();     // bytes were last seen arriving
    auto last_check = last_data;  // a transfer last finished, or a probe last ended

    auto fill = [&] {
        while (phase == Phase::Running && slots.has_free() && (!bounded || to_request > 0)) {
            const std::size_t n =
                bounded ? static_cast<std::size_t>(std::min<std::uint64_t>(size, to_request)) : size;
            const std::size_t slot = slots.take_free();
            const TransferStatus st = pipe.submit(slot, n);
            if (st != TransferStatus::Completed) fail(pipe, st, o, result.bytes, kEndpoint);
            slots.submitted(slot, n);
            if (bounded) to_request -= n;
        }
    };

    fill();
    while (slots.busy()) {
        check_interrupted();
        const auto c = pipe.wait(kTick);
        if (c) {
            slots.finished(*c);
        } else if (phase == Phase::Running && o.now() - last_check >= probe_interval) {
            phase = Phase::Probing;
            data_while_probing = false;
            slots.cancel_all(pipe);
        }
        while (const auto r = slots.next()) {
            tracer.note(*r, slots.requested(r->slot));
            if (phase == Phase::Ending) {
                result.ignored_bytes += r->actual;
                continue;
            }
            const bool cancelled = r->status == TransferStatus::Cancelled && phase == Phase::Probing;
            if (r->status != TransferStatus::Completed && !cancelled) {
                fail(pipe, r->status, o, result.bytes + r->actual, kEndpoint);
            }
            if (!bounded && result.bytes + r->actual > o.most) {
                throw Failure(Exit::Protocol, o.board + " sent more than " + std::to_string(o.most) +
                                                  " bytes during the " + o.operation +
                                                  ", more than any image has: it does not stop sending");
            }
            if (r->actual > 0) {
                write(pipe.buffer(r->slot).first(r->actual));
                result.bytes += r->actual;
                if (phase == Phase::Probing) data_while_probing = true;
            }
            if (cancelled) {
                if (bounded) to_request += slots.requested(r->slot) - r->actual;
                continue;
            }
            last_data = last_check = o.now();
            if (r->actual < slots.requested(r->slot)) {
                result.short_packet = true;
                phase = Phase::Ending;
                slots.cancel_all(pipe);
            }
        }
        if (phase == Phase::Probing && !slots.busy()) {
            last_check = o.now();
            if (data_while_probing) last_data = last_check;
            if (last_check - last_data >= o.idle) {
                result.idle = true;
                phase = Phase::Ending;
            } else {
                phase = Phase::Running;
            }
        }
        report(o, result.bytes);
        fill();
    }
    tracer.flush();
    return result;
}

}  // namespace dfuctl
