#include "session.hpp"

#include <libusb.h>

#include <algorithm>
#include <utility>

#include "exit_codes.hpp"
#include "interrupt.hpp"
#include "log.hpp"
#include "numbers.hpp"
#include "replies.hpp"

namespace dfuctl {
namespace {

std::string stalled_message(const std::string& what) {
    return what.empty() ? "request stalled" : "request stalled (" + what + ")";
}

// -v: one line per control request and one for its outcome.
void trace_request(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                   std::size_t length, const std::string& what) {
    if (verbosity() < 1) return;
    trace("> " + hex_value(type, 2) + " " + hex_value(request, 2) + " wValue " + hex_value(value, 4) +
          " wIndex " + hex_value(index, 4) + " wLength " + std::to_string(length) +
          (what.empty() ? "" : " (" + what + ")"));
}

void trace_result(int rc, bool in, std::span<const std::uint8_t> data) {
    if (verbosity() < 1) return;
    if (rc < 0) {
        trace(std::string("< ") + libusb_error_name(rc));
    } else if (in) {
        trace("< " + std::to_string(rc) + " bytes: " + to_hex(data.first(static_cast<std::size_t>(rc))));
    } else {
        trace("< sent " + std::to_string(rc) + " bytes");
    }
}

}  // namespace

Session::Session(std::unique_ptr<BoardLink> link, BoardEntry board, const GlobalOptions& options)
    : link_(std::move(link)), board_(std::move(board)), options_(options) {}

std::optional<std::vector<std::uint8_t>> Session::control_in_or_stall(std::uint8_t type, std::uint8_t request,
                                                                      std::uint16_t value,
                                                                      std::uint16_t index,
                                                                      std::uint16_t length,
                                                                      const std::string& what,
                                                                      unsigned timeout_ms) {
    check_interrupted();
    if (timeout_ms == 0) timeout_ms = options_.timeout_ms;
    std::vector<std::uint8_t> buf(length);
    trace_request(type, request, value, index, length, what);
    const int rc = link_->control(type, request, value, index, buf, timeout_ms);
    trace_result(rc, true, buf);
    if (rc == LIBUSB_ERROR_PIPE) return std::nullopt;
    if (rc < 0) control_failure(rc, what, timeout_ms);
    buf.resize(static_cast<std::size_t>(rc));
    return buf;
}

std::vector<std::uint8_t> Session::control_in(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                              std::uint16_t index, std::uint16_t length,
                                              const std::string& what, unsigned timeout_ms) {
    auto r = control_in_or_stall(type, request, value, index, length, what, timeout_ms);
    if (!r) throw Failure(Exit::Protocol, stalled_message(what));
    return std::move(*r);
}

void Session::control_out(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                          std::vector<std::uint8_t> data, const std::string& what) {
    check_interrupted();
    trace_request(type, request, value, index, data.size(), what);
    const int rc = link_->control(type, request, value, index, data, options_.timeout_ms);
    trace_result(rc, false, data);
    if (rc == LIBUSB_ERROR_PIPE) throw Failure(Exit::Protocol, stalled_message(what));
    if (rc < 0) control_failure(rc, what);
}

std::vector<std::uint8_t> Session::vendor(std::uint32_t command, std::uint8_t request, std::uint16_t value,
                                          std::uint16_t index) {
    if (request == 0) request = static_cast<std::uint8_t>(command);
    const unsigned timeout_ms = gadgetdfu::waits_on_board(command) && !options_.timeout_given
                                    ? std::max(options_.timeout_ms, kBoardToolWaitMs)
                                    : options_.timeout_ms;
    auto reply = control_in(gadgetdfu::kVendorRequestIn, request, value, index, reply_request_length(command),
                            std::string(command_name(command)), timeout_ms);
    check_reply(command, reply);
    return reply;
}

void Session::set_configuration(int n) {
    const std::string what = "SET_CONFIGURATION " + std::to_string(n);
    const int rc = link_->set_configuration(n);
    if (rc == 0) return;
    if (rc == LIBUSB_ERROR_BUSY) {
        throw Failure(Exit::OsError, "cannot send " + what + " to " + label() +
                                         ": another program has claimed its interface");
    }
    if (rc == LIBUSB_ERROR_NOT_FOUND || rc == LIBUSB_ERROR_INVALID_PARAM) {
        throw Failure(Exit::OsError, "the host refused " + what + ": " + label() + " has no configuration " +
                                         std::to_string(n));
    }
    control_failure(rc, what);
}

void Session::claim() {
    const int rc = link_->claim_interface(gadgetdfu::kInterfaceNumber);
    if (rc == 0) return;
    if (rc == LIBUSB_ERROR_BUSY) {
        throw Failure(Exit::OsError, "interface 0 of " + label() + " is claimed by another program");
    }
    control_failure(rc, "claiming interface 0");
}

void Session::clear_halt(std::uint8_t endpoint) {
    const int rc = link_->clear_halt(endpoint);
    if (rc == 0 || rc == LIBUSB_ERROR_NO_DEVICE) return;
    control_failure(rc, "CLEAR_FEATURE(ENDPOINT_HALT) on endpoint " + hex_value(endpoint, 2));
}

std::vector<std::uint8_t> Session::prepare_stream(std::uint32_t command,
                                                  const gadgetdfu::DownloadRequest& request) {
    set_configuration(gadgetdfu::kConfigurationValue);
    claim();
    return vendor(command, request.bRequest, request.wValue, request.wIndex);
}

void Session::control_failure(int rc, const std::string& what, unsigned timeout_ms) {
    if (timeout_ms == 0) timeout_ms = options_.timeout_ms;
    // A board pulled mid-request often shows as a plain I/O error first.
    if (rc == LIBUSB_ERROR_IO && !link_->still_attached(500)) rc = LIBUSB_ERROR_NO_DEVICE;
    const std::string req = what.empty() ? "the request" : what;
    switch (rc) {
    case LIBUSB_ERROR_NO_DEVICE:
        throw Failure(Exit::Vanished, label() + " vanished during " + req);
    case LIBUSB_ERROR_TIMEOUT:
        throw Failure(Exit::Timeout, "timed out after " + std::to_string(timeout_ms) +
                                         " ms waiting for " + label() + " to answer " + req);
    case LIBUSB_ERROR_OVERFLOW:
        throw Failure(Exit::Protocol, label() + " sent more than asked for in reply to " + req);
    case LIBUSB_ERROR_INTERRUPTED:  // a stop signal cancelled the request
        throw Failure(Exit::Aborted, interruption_message());
    default:
        throw Failure(exit_for_libusb_error(rc), req + " failed: " + libusb_strerror(rc));
    }
}

BoardEntry select_one(Bus& bus, const GlobalOptions& options) {
    const auto boards = bus.scan(options.selector.serial.has_value());
    BoardEntry board = boards.at(select_board(boards, options.selector));
    command_record().serial = board.serial;
    command_record().path = board.path;
    trace("using " + board_label(board));
    return board;
}

Session open_session(Bus& bus, const GlobalOptions& options) {
    BoardEntry board = select_one(bus, options);
    auto link = bus.open(board);
    return Session(std::move(link), std::move(board), options);
}

}  // namespace dfuctl
