// libusb errors to exit statuses, and the exit status table of --help.
#include "exit_codes.hpp"

#include <libusb.h>

#include <gtest/gtest.h>

namespace dfuctl {
namespace {

TEST(ExitCodes, LibusbErrors) {
    EXPECT_EQ(exit_for_libusb_error(LIBUSB_SUCCESS), Exit::Ok);
    EXPECT_EQ(exit_for_libusb_error(LIBUSB_ERROR_NO_DEVICE), Exit::Vanished);
    EXPECT_EQ(exit_for_libusb_error(LIBUSB_ERROR_TIMEOUT), Exit::Timeout);
    EXPECT_EQ(exit_for_libusb_error(LIBUSB_ERROR_PIPE), Exit::Protocol);
    EXPECT_EQ(exit_for_libusb_error(LIBUSB_ERROR_OVERFLOW), Exit::Protocol);
    EXPECT_EQ(exit_for_libusb_error(LIBUSB_ERROR_ACCESS), Exit::NoPermission);
    EXPECT_EQ(exit_for_libusb_error(LIBUSB_ERROR_INVALID_PARAM), Exit::Internal);
    for (int e : {LIBUSB_ERROR_IO, LIBUSB_ERROR_NOT_FOUND, LIBUSB_ERROR_BUSY, LIBUSB_ERROR_INTERRUPTED,
                  LIBUSB_ERROR_NO_MEM, LIBUSB_ERROR_NOT_SUPPORTED, LIBUSB_ERROR_OTHER}) {
        EXPECT_EQ(exit_for_libusb_error(e), Exit::OsError) << libusb_error_name(e);
    }
}

TEST(ExitCodes, HelpListsEveryStatus) {
    const std::string help = exit_code_help();
    for (int code : {0, 64, 65, 66, 69, 70, 71, 72, 73, 74, 75, 76, 77, 79, 130}) {
        EXPECT_NE(help.find("  " + std::to_string(code) + " "), std::string::npos) << code;
    }
}

}  // namespace
}  // namespace dfuctl
