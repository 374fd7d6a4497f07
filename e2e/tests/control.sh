# Standard and class requests on the control endpoint: replies, stalls and
# acknowledgements as libusb reports them, and the daemon's lines for each.
#
# Not every request a host sends reaches the daemon. Below it, the UDC driver
# answers GET_STATUS, SET_FEATURE and CLEAR_FEATURE, and gadgetfs answers
# GET_DESCRIPTOR for the device and configuration descriptors and
# GET_CONFIGURATION, and refuses SET_CONFIGURATION with a value it does not
# know. The checks below cover what does reach the daemon, and make sure the
# rest indeed never does (so the daemon's handling of those cannot be tested
# from a host at all).
# e2e-timeout: 600
. /e2e/lib.sh

daemon_start secondary
wait_enumerated

# One SETUP event: the event line is continued by the request line.
log_mark
expect_dfu 0 "00" control 0x81 0x0a 0 0 1
expect_line -x out "1 event(s): Type:3. EP0 SETUP:Setup request 129 10 0 0"
expect_order out "Setup request 129 10 0 0" "Standard/Class request" "GET_INTERFACE" "."

# GET_INTERFACE: one zero byte, whatever the recipient, type or wLength (the
# daemon writes its byte, the control endpoint sends at most wLength).
log_mark
expect_dfu 0 "00" control 0x80 0x0a 0 0 1
expect_dfu 0 "00" control 0xa1 0x0a 0 0 1
expect_dfu 0 "" control 0x81 0x0a 0 0 0
expect_count -x out "GET_INTERFACE" 3
expect_line out "Setup request 161 10 0 0"

# bRequest 0x20 and 0x22: four zero bytes, standard or class; 0x21 between
# them is stalled.
log_mark
expect_dfu 0 "00 00 00 00" control 0x80 0x20 0 0 4
expect_dfu 0 "00 00 00 00" control 0x80 0x22 0 0 4
expect_dfu 0 "00 00 00 00" control 0xa1 0x20 0 0 4
expect_dfu 0 "00 00 00 00" control 0xa1 0x22 0 0 4
expect_line out "Setup request 128 32 0 0"
expect_line out "Setup request 161 34 0 0"
expect_no_line err "Stalled"
log_mark
expect_stalled control 0x80 0x21 0 0 4
expect_order out "Setup request 128 33 0 0" "Standard/Class request"
wait_line -x err "Stalled"

# A request the table does not know is stalled.
log_mark
expect_stalled control 0x80 0x30 0 0 4
expect_line out "Setup request 128 48 0 0"
wait_line -x err "Stalled"

# GET_DESCRIPTOR is served only with bRequestType 0x80: as a class request it
# is stalled before the string lookup, without a message of its own.
log_mark
expect_stalled control 0xa0 6 0x0302 0x0409 255
expect_order out "Setup request 160 6 770 1033" "Standard/Class request"
expect_no_line out "Get string id"
wait_line -x err "Stalled"
expect_count err "" 1

# The reserved request type is stalled, in either direction.
log_mark
expect_stalled control 0xe0 0 0 0 0
expect_stalled control 0x60 0 0 0 0
expect_order out "Setup request 224 0 0 0" "Reserved request"
expect_order out "Setup request 96 0 0 0" "Reserved request"
expect_no_line out "Standard/Class request"
wait_count -x err "Stalled" 2

# SET_INTERFACE is acknowledged (no data stage) and the device goes on
# answering.
log_mark
expect_dfu 0 "" control 0x01 0x0b 0 0 0
expect_dfu 0 "" control 0x00 0x0b 1 0 0
expect_count -x out "SET_INTERFACE" 2
expect_line out "Setup request 0 11 1 0"
expect_dfu 0 "00" control 0x81 0x0a 0 0 1
expect_no_line err "Stalled"

# SET_CONFIGURATION is taken only with bRequestType 0x00.
log_mark
expect_stalled control 0x01 9 1 0 0
expect_line out "Setup request 1 9 1 0"
wait_line -x err "Stalled"
expect_order err "Bad dir" "Stalled"
expect_no_line out "Set config value"

# Answered below the daemon: it must see none of these.
log_mark
expect_dfu_rc 0 control 0x80 0 0 0 2                 # GET_STATUS
expect_dfu 0 "01" control 0x80 8 0 0 1               # GET_CONFIGURATION: 1 is selected
expect_dfu_rc 0 control 0x02 1 0 0x81 0              # CLEAR_FEATURE(ENDPOINT_HALT) on 0x81
expect_stalled control 0x00 9 2 0 0                  # SET_CONFIGURATION 2
expect_count out "Setup request" 0

# After all this the device still answers a string request.
expect_dfu 0 "04 03 09 04" string 0

e2e_done
