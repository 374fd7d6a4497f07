#include "exit_codes.hpp"

#include <libusb.h>

namespace dfuctl {

Exit exit_for_libusb_error(int libusb_error) {
    switch (libusb_error) {
    case LIBUSB_SUCCESS:
        return Exit::Ok;
    case LIBUSB_ERROR_NO_DEVICE:
        return Exit::Vanished;
    case LIBUSB_ERROR_TIMEOUT:
        return Exit::Timeout;
    case LIBUSB_ERROR_PIPE:
        return Exit::Protocol;  // stall
    case LIBUSB_ERROR_OVERFLOW:
        return Exit::Protocol;  // the board sent more than asked for
    case LIBUSB_ERROR_ACCESS:
        return Exit::NoPermission;
    case LIBUSB_ERROR_INVALID_PARAM:
        return Exit::Internal;  // dfuctl built a bad request
    default:
        return Exit::OsError;  // IO, NOT_FOUND, BUSY, NO_MEM, INTERRUPTED, NOT_SUPPORTED, OTHER
    }
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
    case TransferStatus::Error:
        return "transfer error";
    }
    return "unknown";
}

std::string exit_code_help() {
    return "Exit codes:\n"
           "  0   success\n"
           "  64  usage error\n"
           "  65  verify: the board's image differs from FILE\n"
           "  66  input file cannot be read\n"
           "  69  no board attached, several boards and none chosen, or no match for --serial/--path\n"
           "  70  internal error\n"
           "  71  other libusb or operating-system failure\n"
           "  73  output file cannot be created\n"
           "  74  the board vanished during a request or transfer\n"
           "  75  a request or transfer timed out\n"
           "  76  request stalled, or a malformed reply\n"
           "  77  permission denied opening the board (install 70-gadgetdfu.rules)\n";
}

}  // namespace dfuctl
