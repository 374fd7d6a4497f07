# Start-up: where the serial number comes from, and every way the daemon
# ends by itself (status and complete console output).
# e2e-timeout: 600
. /e2e/lib.sh

banner="vog Vv1.4"
soc_line() { printf ' SOC Serial number [%s] ' "$1"; }
tab=$(printf '\t')

# No Serial line in /proc/cpuinfo: status 2, before any controller node is
# touched.
use_controller secondary
set_soc_serial_lines
run_daemon_to_exit
expect_eq "$RUN_STATUS" 2 "status without a serial number"
expect_eq "$RUN_OUT" "$banner" "standard output without a serial number"
case "$RUN_ERR" in
    "Unable to open /proc/cpuinfo ("*")
 Aborting ") ok "standard error without a serial number" ;;
    *) fail "standard error without a serial number: '$RUN_ERR'" ;;
esac

# "Serial" must be followed by two tabs, a colon and a space: spaces do not do.
set_soc_serial_lines "Serial          : 1000000089abcdef"
run_daemon_to_exit
expect_eq "$RUN_STATUS" 2 "status with spaces instead of tabs"
set_soc_serial_lines "Serial${tab}: 1000000089abcdef"
run_daemon_to_exit
expect_eq "$RUN_STATUS" 2 "status with one tab only"

# No controller node: status 1 and a hint.
set_soc_serial "$E2E_SOC_SERIAL"
daemon_start none
daemon_wait_exit
expect_daemon_status 1
expect_eq "$(cat "$E2E_DIR/daemon.out")" "$banner
$(soc_line "$E2E_SOC_SERIAL")" "standard output without controller nodes"
expect_eq "$(cat "$E2E_DIR/daemon.err")" "Unable to open /dev/gadget/1000480000.usb and /dev/gadget/fe980000.usb (No such file or directory)
Did you forget to execute this:
mkdir /dev/gadget ; mount -t gadgetfs gadgetfs /dev/gadget
?" "standard error without controller nodes"

# A controller node that refuses the descriptor record: status 255 and no
# "ep0 configured". (/dev/full fails every write with ENOSPC.)
use_controller none
ln -s /dev/full /dev/gadget/fe980000.usb
run_daemon_to_exit
expect_eq "$RUN_STATUS" 255 "status when the record write fails"
expect_eq "$RUN_OUT" "$banner
$(soc_line "$E2E_SOC_SERIAL")" "standard output when the record write fails"
expect_eq "$RUN_ERR" "Write error -1 (No space left on device)" "standard error when the record write fails"

# Only the first Serial line counts; all 16 characters show on the console,
# the host gets the last 8 as the USB serial number.
set_soc_serial_lines "Serial${tab}${tab}: 11111111aaaa2222" "Serial${tab}${tab}: 33333333bbbb4444"
daemon_start secondary
wait_enumerated
expect_line -x out "$(soc_line 11111111aaaa2222)"
expect_dfu 0 "aaaa2222 $BOARD_PATH 0x2711" list

# A second daemon while the first one holds the controller: gadgetfs lets
# only one process open it, so the second ends with status 1.
run_daemon_to_exit
expect_eq "$RUN_STATUS" 1 "status of a second daemon"
case "$RUN_ERR" in
    "Unable to open /dev/gadget/1000480000.usb and /dev/gadget/fe980000.usb (Device or resource busy)"*) ok "second daemon: controller busy" ;;
    *) fail "standard error of a second daemon: '$RUN_ERR'" ;;
esac
# ... and the first one goes on serving.
expect_dfu 0 "04 03 09 04" string 0
daemon_running || fail "the first daemon ended"
ok "the first daemon still runs"

e2e_done
