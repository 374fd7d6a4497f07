#include "interrupt.hpp"

#include <csignal>

#include "exit_codes.hpp"
#include "platform.hpp"

namespace dfuctl {
namespace {

// Lock-free, so that the signal handler may touch them.
std::atomic<int> g_count{0};
std::atomic<int> g_first{0};
std::atomic<int> g_needed{1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_stop_signal(int signal) { note_stop_signal(signal); }

}  // namespace

StopSignals::StopSignals() {
    g_count.store(0);
    g_first.store(0);
    g_needed.store(1);
    platform::catch_stop_signals(on_stop_signal);
}

StopSignals::~StopSignals() {
    platform::restore_stop_signals();
    // Outside a run nothing is interrupted.
    g_count.store(0);
    g_first.store(0);
}

const std::atomic<int>& stop_requests() { return g_count; }

void note_stop_signal(int signal) {
    int none = 0;
    g_first.compare_exchange_strong(none, signal, std::memory_order_acq_rel);
    g_count.fetch_add(1, std::memory_order_acq_rel);
}

SecondSignalStops::SecondSignalStops() { g_needed.store(2, std::memory_order_release); }
SecondSignalStops::~SecondSignalStops() { g_needed.store(1, std::memory_order_release); }

bool interrupted() {
    return g_count.load(std::memory_order_acquire) >= g_needed.load(std::memory_order_acquire);
}

void check_interrupted() {
    if (interrupted()) throw Failure(Exit::Aborted, interruption_message());
}

std::string interruption_message() {
    switch (const int s = g_first.load(std::memory_order_acquire)) {
    case SIGINT:
        return "interrupted by SIGINT";
    case SIGTERM:
        return "interrupted by SIGTERM";
#ifdef SIGBREAK
    case SIGBREAK:
        return "interrupted by Ctrl-Break";
#endif
    default:
        return "interrupted by signal " + std::to_string(s);
    }
}

}  // namespace dfuctl
