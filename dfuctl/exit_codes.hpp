// Exit statuses of dfuctl (sysexits numbering) and the failure type that
// carries one up to main().
#pragma once

#include <stdexcept>
#include <string>

namespace dfuctl {

enum class Exit : int {
    Ok = 0,
    Usage = 64,         // bad command line
    Mismatch = 65,      // verify, flash: the board's image differs; download: shorter than --length
    NoInput = 66,       // input file cannot be read
    NoBoard = 69,       // no board, several boards, or no match for --serial/--path
    Internal = 70,      // a bug in dfuctl
    OsError = 71,       // any other libusb or operating-system failure
    NoImageFile = 72,   // the board cannot open its image file
    CantCreate = 73,    // output file cannot be created
    Vanished = 74,      // the board went away during a request or transfer
    Timeout = 75,       // a request or transfer timed out
    Protocol = 76,      // stalled request or malformed reply
    NoPermission = 77,  // the device node cannot be opened by this user
    NotStored = 79,     // the board refused the data of an upload (it could not store it)
    Aborted = 130,      // stopped by SIGINT or SIGTERM
};

// Anything that ends the run with a given status. The message is printed as
// "dfuctl: <message>" on standard error.
class Failure : public std::runtime_error {
public:
    Failure(Exit code, const std::string& message) : std::runtime_error(message), code_(code) {}
    Exit code() const { return code_; }

private:
    Exit code_;
};

// libusb error number (LIBUSB_ERROR_*) to exit status.
Exit exit_for_libusb_error(int libusb_error);

// The table printed at the end of `dfuctl --help`.
std::string exit_code_help();

}  // namespace dfuctl
