# Shell library of the tests in e2e/systemd/tests/, sourced after
# /e2e/lib.sh inside the board VM (POSIX sh). The daemon here is the
# installed package's, run by systemd: it is not started by the test
# (lib.sh's daemon_* functions do not apply), its console is in the journal.
#
# The test runs once per boot; E2E_BOOT says which (1, 2, ...). A reboot
# ends the run of this boot (await_reboot); the test goes on at the next.

E2E_STATE=/var/lib/gadgetdfu-e2e
BOARD_SERIAL=${BOARD_SERIAL:-89abcdef}   # the last 8 characters of the VM's SoC serial
E2E_DFU_TIMEOUT=120   # dfuctl runs slower in an emulated VM
UNIT=gadgetdfu.service

# install_packages FILE...: dpkg -i of the packages.
install_packages() {
    dpkg -i "$@" >"$E2E_DIR/dpkg.log" 2>&1 || { cat "$E2E_DIR/dpkg.log"; fail "dpkg -i $* failed"; }
    ok "installed $(for p in "$@"; do printf '%s ' "${p##*/}"; done)"
}

service_state() { systemctl is-active "$UNIT" 2>/dev/null; }
service_active() { [ "$(service_state)" = active ]; }
main_pid() { systemctl show -p MainPID --value "$UNIT"; }

# expect_active [SECONDS]: the unit is (or becomes) active.
expect_active() {
    wait_until "${1:-10}" service_active || {
        systemctl status --no-pager "$UNIT"
        fail "$UNIT is $(service_state), not active"
    }
    ok "$UNIT is active (pid $(main_pid))"
}

# board_listed: dfuctl list shows the board's serial.
board_listed() { dfuctl list 2>/dev/null | grep -q "^$BOARD_SERIAL "; }

# enumerated: the board is configured on this VM's own USB host side.
enumerated() {
    for _en in /sys/bus/usb/devices/*; do
        [ "$(cat "$_en/idVendor" 2>/dev/null)" = 0a5c ] && [ "$(cat "$_en/bConfigurationValue" 2>/dev/null)" = 1 ] && return 0
    done
    return 1
}

# print_exposure: the shipped unit's overall exposure, as systemd rates it.
print_exposure() {
    _px=$(systemd-analyze security --offline=true --no-pager "$(systemctl show -p FragmentPath --value "$UNIT")" 2>&1 \
          | grep 'Overall exposure level')
    [ -n "$_px" ] || fail "systemd-analyze security gave no exposure level for the shipped $UNIT"
    say "exposure: shipped $UNIT: ${_px#*: }"
}

# journal_has TEXT: the daemon's lines of this boot in the journal hold TEXT.
journal_has() { journalctl -b -u "$UNIT" --no-pager -o cat | grep -qF -e "$1"; }

# save NAME VALUE / saved NAME: values kept across a reboot.
save() { mkdir -p "$E2E_STATE" && printf '%s\n' "$2" >"$E2E_STATE/$1" && sync; }
saved() { cat "$E2E_STATE/$1" 2>/dev/null; }

# await_reboot: after a command that reboots the VM: this boot's run ends
# with the shutdown; the test goes on at the next boot. Fails when no
# shutdown comes within 60 s.
await_reboot() {
    ok "waiting for the reboot (boot $E2E_BOOT, uptime $(cut -d' ' -f1 /proc/uptime) s)"
    trap - EXIT
    trap 'exit 0' TERM
    sleep 60 &
    wait $!
    E2E_DONE=0
    trap e2e_on_exit EXIT
    fail "the VM did not reboot within 60 s"
}
