// Simulated bulk pipes with a virtual clock, modelled on what the board
// does on the wire:
//  - OUT: the board reads in requests of 1 MiB; a request ends when it is
//    full or at a short packet (a zero-length packet included).
//  - IN: the board writes chunks; a chunk that is not a multiple of 512
//    bytes ends in a short packet; no zero-length packet is ever sent.
// A host transfer finishes when full, at a short packet (IN), or when
// cancelled, exactly as usbfs reports it.
#pragma once

#include <algorithm>
#include <deque>
#include <optional>
#include <stdexcept>
#include <vector>

#include "transfer.hpp"

namespace dfuctl::testing {

inline constexpr std::size_t kPacket = 512;
inline constexpr std::size_t kBoardRead = 1048576;

class FakePipe : public BulkPipe {
public:
    // `clock`: a virtual clock shared with other fakes; by default the pipe has its own.
    FakePipe(std::size_t slots, std::size_t slot_size, SteadyTime* clock = nullptr)
        : size_(slot_size),
          memory_(slots, std::vector<std::uint8_t>(slot_size)),
          now_(clock != nullptr ? *clock : own_clock_) {}

    SteadyTime now() const { return now_; }
    NowFn clock() {
        return [this] { return now_; };
    }

    std::size_t slot_count() const override { return memory_.size(); }
    std::size_t slot_size() const override { return size_; }
    std::span<std::uint8_t> buffer(std::size_t slot) override { return memory_.at(slot); }

    TransferStatus submit(std::size_t slot, std::size_t length) override {
        if (fail_submit_) return *fail_submit_;
        for (const auto& t : queue_) {
            if (t.slot == slot) throw std::logic_error("slot submitted twice");
        }
        queue_.push_back({slot, length, 0});
        ++submitted_;
        peak_in_flight_ = std::max(peak_in_flight_, queue_.size());
        return TransferStatus::Completed;
    }

    std::optional<Completion> wait(std::chrono::milliseconds limit) override {
        if (done_.empty()) step(limit);
        if (done_.empty()) return std::nullopt;
        Completion c = done_.front();
        done_.pop_front();
        return c;
    }

    void cancel(std::size_t slot) override {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (it->slot == slot) {
                done_.push_back({slot, TransferStatus::Cancelled, it->actual});
                queue_.erase(it);
                ++cancels_;
                return;
            }
        }
    }

    bool device_present() override { return present_; }

    // Fault injection: the transfer finishing as number `n` (0-based) ends with `status`.
    void fail_transfer(std::size_t n, TransferStatus status, bool device_gone) {
        fail_at_ = n;
        fail_status_ = status;
        gone_on_failure_ = device_gone;
    }
    void fail_submit(TransferStatus status) { fail_submit_ = status; }

    std::size_t peak_in_flight() const { return peak_in_flight_; }
    std::size_t submitted() const { return submitted_; }
    // No transfer is queued.
    bool idle() const { return queue_.empty(); }
    // What the libusb pipe's destructor does: cancel what is queued and
    // collect every completion.
    void close() {
        while (!queue_.empty()) cancel(queue_.front().slot);
        done_.clear();
    }
    std::size_t cancels() const { return cancels_; }

protected:
    struct Transfer {
        std::size_t slot;
        std::size_t length;
        std::size_t actual;
    };

    // Moves data for up to `limit` of virtual time; may finish transfers.
    virtual void step(std::chrono::milliseconds limit) = 0;

    void finish_head(TransferStatus status) {
        Transfer t = queue_.front();
        queue_.pop_front();
        if (fail_at_ && finished_ == *fail_at_) {
            status = fail_status_;
            if (gone_on_failure_) present_ = false;
        }
        ++finished_;
        done_.push_back({t.slot, status, t.actual});
    }

    std::size_t size_;
    std::vector<std::vector<std::uint8_t>> memory_;
    std::deque<Transfer> queue_;
    std::deque<Completion> done_;
    SteadyTime own_clock_{};
    SteadyTime& now_;
    std::size_t submitted_ = 0;
    std::size_t finished_ = 0;
    std::size_t peak_in_flight_ = 0;
    std::size_t cancels_ = 0;
    bool present_ = true;
    std::optional<std::size_t> fail_at_;
    TransferStatus fail_status_ = TransferStatus::Completed;
    bool gone_on_failure_ = false;
    std::optional<TransferStatus> fail_submit_;
};

// The board's side of an upload: what each of its reads returned.
class UploadBoard : public FakePipe {
public:
    using FakePipe::FakePipe;

    // From this virtual time on the board stops reading (a hung board).
    void stop_reading_after(std::size_t transfers) { stop_after_ = transfers; }

    void clear_halt() { halted_ = false; }
    // The link's bulk packet size (64 at full speed).
    std::size_t packet = kPacket;
    bool halted() const { return halted_; }

    const std::vector<std::size_t>& reads() const { return reads_; }
    const std::vector<std::uint8_t>& received() const { return received_; }

private:
    void step(std::chrono::milliseconds limit) override {
        if (queue_.empty() || halted_ || (stop_after_ && finished_ >= *stop_after_)) {
            now_ += limit;
            return;
        }
        Transfer& t = queue_.front();
        if (fail_at_ && finished_ == *fail_at_ && fail_status_ == TransferStatus::Stall) {
            // The board halts its endpoint: nothing moves until the host clears the halt.
            halted_ = true;
            now_ += std::chrono::milliseconds(1);
            finish_head(TransferStatus::Stall);
            return;
        }
        const auto& mem = memory_[t.slot];
        // Cut the transfer into packets as the host controller would.
        std::size_t offset = 0;
        do {
            const std::size_t n = std::min(packet, t.length - offset);
            received_.insert(received_.end(), mem.begin() + static_cast<std::ptrdiff_t>(offset),
                             mem.begin() + static_cast<std::ptrdiff_t>(offset + n));
            current_ += n;
            offset += n;
            if (n < packet || current_ == kBoardRead) {
                reads_.push_back(current_);
                current_ = 0;
            }
        } while (offset < t.length);
        t.actual = t.length;
        now_ += std::chrono::milliseconds(1);
        finish_head(TransferStatus::Completed);
    }

    std::size_t current_ = 0;  // bytes in the board's open read request
    std::vector<std::size_t> reads_;
    std::vector<std::uint8_t> received_;
    std::optional<std::size_t> stop_after_;
    bool halted_ = false;
};

// The board's side of a download: chunks that become available at given
// virtual times.
class DownloadBoard : public FakePipe {
public:
    using FakePipe::FakePipe;

    // Queues a chunk of `bytes` bytes (pattern continues across chunks) that
    // the board writes `delay` after the previous one.
    void write_chunk(std::size_t bytes, std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
        next_time_ += delay;
        for (std::size_t off = 0; off < bytes; off += kPacket) {
            Packet p{next_time_, std::min(kPacket, bytes - off), produced_};
            produced_ += p.length;
            packets_.push_back(p);
        }
    }
    // The byte at `offset` of the board's image.
    static std::uint8_t byte_at(std::uint64_t offset) {
        return static_cast<std::uint8_t>(offset * 131 + offset / 251);
    }

private:
    struct Packet {
        SteadyTime at;
        std::size_t length;
        std::uint64_t offset;
    };

    void step(std::chrono::milliseconds limit) override {
        const SteadyTime end = now_ + limit;
        while (true) {
            while (!queue_.empty() && !packets_.empty() && packets_.front().at <= now_) {
                Transfer& t = queue_.front();
                const Packet p = packets_.front();
                if (p.length > t.length - t.actual) {
                    finish_head(TransferStatus::Overflow);
                    return;
                }
                for (std::size_t i = 0; i < p.length; ++i)
                    memory_[t.slot][t.actual + i] = byte_at(p.offset + i);
                t.actual += p.length;
                packets_.pop_front();
                if (p.length < kPacket || t.actual == t.length) {
                    finish_head(TransferStatus::Completed);
                    return;
                }
            }
            if (queue_.empty() || packets_.empty() || packets_.front().at > end) {
                now_ = end;
                return;
            }
            now_ = std::max(now_, packets_.front().at);
        }
    }

    std::deque<Packet> packets_;
    SteadyTime next_time_{};
    std::uint64_t produced_ = 0;
};

}  // namespace dfuctl::testing
