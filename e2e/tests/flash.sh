# dfuctl flash end to end: upload, read back and compare SHA-256; with
# --reboot, reboot the board and wait for the same serial to come back.
# Exit 0 only when the board's image matched; a failed flash never reboots.
# e2e-timeout: 300
. /e2e/lib.sh

daemon_start secondary
wait_enumerated
standin_reset reboot
version=v1.4        # the daemon's GET_VERSION text

# Plain, and with --json: one JSON object that names the image's SHA-256.
: >/tmp/firmware
make_image /tmp/image 3145777
expect_dfu_rc 0 flash /tmp/image
expect_sha256 /tmp/firmware "$(sha256_of /tmp/image)"
: >/tmp/firmware
make_image /tmp/image 100001
expect_dfu_rc 0 --json flash /tmp/image
expect_sha256 /tmp/firmware "$(sha256_of /tmp/image)"
json=$(printf '%s' "$DFU_OUT" | tr -d '\n')
case "$json" in
    "{"*"$(sha256_of /tmp/image)"*"}") ok "dfuctl --json flash printed one object with the SHA-256" ;;
    *) fail "dfuctl --json flash printed: $DFU_OUT" ;;
esac
expect_standin_not_called reboot

# A flash that fails does not reboot.
standin_reset reboot
rm -f /tmp/firmware
expect_dfu_fails "$DFU_EXIT_CANNOT_OPEN" "$DFU_MSG_CANNOT_OPEN" flash --reboot --wait 5 /tmp/image
expect_standin_not_called reboot

# --reboot: the board is told to reboot once the read-back matched.
: >/tmp/firmware
expect_dfu_rc 0 flash --reboot /tmp/image
expect_out_line "board is rebooting"
wait_until 10 standin_called reboot || fail "dfuctl flash --reboot did not reboot the board"
ok "the board was told to reboot"
standin_reset reboot

# --reboot --wait: the stand-in records the reboot; the test then restarts
# the daemon, as the board comes back after a reboot, and dfuctl must find
# the same serial and report its version. (No udevd runs in the VM: dfuctl
# must see the board leave and come back without hot-plug events.)
: >/tmp/firmware
make_image /tmp/image 1048577
{ timeout -k 2 90 dfuctl flash --reboot --wait 30 /tmp/image >"$E2E_DIR/flash.out" 2>"$E2E_DIR/flash.err"
  echo $? >"$E2E_DIR/flash.rc"; } &
flash_pid=$!
wait_until 60 standin_called reboot || fail "dfuctl flash --reboot did not reboot the board: $(cat "$E2E_DIR/flash.err")"
ok "the board was told to reboot"
expect_sha256 /tmp/firmware "$(sha256_of /tmp/image)"
daemon_stop
sleep 1
daemon_start secondary
wait "$flash_pid"
DFU_CMD="dfuctl flash --reboot --wait 30" DFU_RC=$(cat "$E2E_DIR/flash.rc")
cp "$E2E_DIR/flash.out" "$E2E_DIR/dfu.out"; cp "$E2E_DIR/flash.err" "$E2E_DIR/dfu.err"
[ "$DFU_RC" = 0 ] || fail "dfuctl flash --reboot exited with $DFU_RC"
grep -qF -e "$version" "$E2E_DIR/flash.out" || fail "dfuctl flash --reboot did not report the version $version"
ok "dfuctl flash --reboot waited for the board and reported $version"

e2e_done
