# The field procedure on two machines: the host VM reaches the board VM over
# USB/IP (the board exports its gadget at every enumeration, the host
# attaches it again whenever its port died) and flashes it with a reboot;
# the board really reboots (run-board.sh counts its boots) and comes back
# with the same serial.
# e2e-timeout: 900
. /e2e/lib.sh
. /e2e/board-lib.sh
E2E_DFU_TIMEOUT=300   # more than the --wait below

install_packages /e2e/debs/dfuctl_*.deb
expect_dfu_rc 0 --wait=180 list
expect_out_line "$BOARD_SERIAL 1-1 0x2711"
ok "the board is attached over USB/IP after $(cut -d' ' -f1 /proc/uptime) s"

make_image /root/work/image.bin 8388608
t0=$(now_ms)
expect_dfu_rc 0 flash /root/work/image.bin --reboot --wait 180
say "flash --reboot --wait: board back after $(( ($(now_ms) - t0) / 1000 )) s"
expect_dfu_rc 0 list
expect_out_line "$BOARD_SERIAL 1-1 0x2711"
expect_dfu_rc 0 info
e2e_done
