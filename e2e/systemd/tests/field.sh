# The field procedure on two machines: the host VM reaches the board VM over
# USB/IP (the board exports its gadget at every enumeration, the host
# attaches it again whenever its port died) and flashes it with a reboot;
# the board really reboots (run-board.sh counts its boots) and comes back
# with the same serial.
# e2e-timeout: 1200
. /e2e/lib.sh
. /e2e/board-lib.sh
E2E_DFU_TIMEOUT=660   # more than the --wait below

# What the link looks like from here, for a failure.
link_context() {
    say "--- usbip port:"; usbip port 2>&1
    say "--- usbip list -r $FIELD_BOARD:"; timeout 20 usbip list -r "$FIELD_BOARD" 2>&1
    say "--- addresses:"; ip -br addr 2>&1
    say "--- link and attach units:"
    journalctl -b -u gadgetdfu-vm-net -u gadgetdfu-vm-attach --no-pager 2>&1 | tail -n 20
}
FIELD_BOARD=169.254.1.2

install_packages /e2e/debs/dfuctl_*.deb
# The board VM boots alongside this one: its first appearance may take a while.
dfu --wait=600 list
[ "$DFU_RC" = 0 ] || { link_context; fail "the board did not appear over USB/IP"; }
expect_out_line "$BOARD_SERIAL 1-1 0x2711"
ok "the board is attached over USB/IP after $(cut -d' ' -f1 /proc/uptime) s"

make_image /root/work/image.bin 8388608
t0=$(now_ms)
# A USB/IP link between two emulated machines can pause for seconds: the
# read-back must not take such a pause for the image's end (--idle-ms).
dfu flash /root/work/image.bin --reboot --wait 180 --idle-ms 20000
[ "$DFU_RC" = 0 ] || { link_context; fail "dfuctl flash --reboot --wait 180: exit status $DFU_RC"; }
ok "dfuctl flash --reboot --wait 180 -> 0"
say "flash --reboot --wait: board back after $(( ($(now_ms) - t0) / 1000 )) s"
expect_dfu_rc 0 list
expect_out_line "$BOARD_SERIAL 1-1 0x2711"
expect_dfu_rc 0 info
e2e_done
