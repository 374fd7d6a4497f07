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

std::string exit_code_help() {
    return "Exit codes:\n"
           "  0   success (upload: the board took every byte and the end; flash: the read-back matched)\n"
           "  64  usage error\n"
           "  65  verify, flash: the board's image differs from FILE; download: the board sent fewer bytes\n"
           "      than --length\n"
           "  66  input file cannot be read or decompressed (corrupt, truncated)\n"
           "  69  no board attached, several boards and none chosen, or no match for --serial/--path\n"
           "  70  internal error\n"
           "  71  no USB access (libusb cannot start or sees no USB device), or another libusb or\n"
           "      operating-system failure\n"
           "  72  the board cannot open its image file (/tmp/firmware)\n"
           "  73  output file cannot be created\n"
           "  74  the board vanished during a request or transfer\n"
           "  75  a request or transfer timed out, or the board did not come back within --wait\n"
           "  76  request stalled, or a malformed reply\n"
           "  77  permission denied opening the board (install 70-gadgetdfu.rules)\n"
           "  79  the board could not store the image: it refused the upload's data\n"
           "  130 stopped by SIGINT or SIGTERM (any command; with several boards the first signal lets\n"
           "      the boards in flight finish, the second aborts them)\n"
           "With several boards (flash --all, several --serial/--path, station) the status is that of\n"
           "the first board in the list that failed, unless a signal stopped the run.\n";
}

}  // namespace dfuctl
