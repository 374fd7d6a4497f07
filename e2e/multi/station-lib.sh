# Host side of a station run (sourced after /e2e/lib.sh by the scripts in
# e2e/multi/tests/): the boards are other VMs, board I at 169.254.I.2, each
# exporting its gadget over USB/IP. They show up here only once attached,
# in attach order as 1-1, 1-2, ...; a board is known by its serial number.

STATION_BOARDS=${E2E_BOARDS:-3}
BOARD_OUT="" BOARD_RC=""

# wait_for SECONDS COMMAND...: runs COMMAND every 0.2 s until it succeeds;
# returns 1 once SECONDS have passed on the clock (COMMAND itself may take
# a while, unlike the short checks wait_until is made for).
wait_for() {
    _wf_end=$(( $(now_ms) + $1 * 1000 )); shift
    while ! "$@"; do
        [ "$(now_ms)" -lt "$_wf_end" ] || return 1
        sleep 0.2
    done
}

board_ip() { echo "169.254.$1.2"; }
# board_serial I: the USB serial number of board I (the last 8 characters
# of the SoC serial its init wrote).
board_serial() { printf 'cafe%04d' "$1"; }

# on_board I SCRIPT: runs SCRIPT with sh on board I; sets BOARD_OUT (its
# output without the status line) and BOARD_RC, and returns BOARD_RC.
on_board() {
    _ob_all=$(printf '%s\n' "$2" | timeout -k 2 60 nc "$(board_ip "$1")" 7000)
    BOARD_RC=$(printf '%s\n' "$_ob_all" | sed -n 's/^=== rc=\([0-9]*\)$/\1/p' | tail -n 1)
    BOARD_OUT=$(printf '%s\n' "$_ob_all" | grep -v '^=== rc=[0-9]*$')
    [ -n "$BOARD_RC" ] || { BOARD_RC=255; BOARD_OUT="no answer from board $1: $_ob_all"; }
    return "$BOARD_RC"
}
# board_ctl I ARGS: board-ctl on board I; a failure fails the test.
board_ctl() {
    _bc_i=$1; shift
    on_board "$_bc_i" "board-ctl $*" || fail "board $_bc_i: board-ctl $* failed ($BOARD_RC): $BOARD_OUT"
}
# board_digest I: the SHA-256 of board I's /tmp/firmware.
board_digest() { board_ctl "$1" digest; printf '%s\n' "$BOARD_OUT"; }

# board_sysfs SERIAL: prints the sysfs folder of the attached board with this
# serial number once the host has configured it; returns 1 when there is none.
board_sysfs() {
    for _bs in /sys/bus/usb/devices/[0-9]*-*; do
        case "$_bs" in *:*) continue ;; esac
        [ "$(cat "$_bs/serial" 2>/dev/null)" = "$1" ] || continue
        [ "$(cat "$_bs/bConfigurationValue" 2>/dev/null)" = 1 ] || return 1
        [ -d "$_bs/${_bs##*/}:1.0" ] || return 1
        printf '%s\n' "$_bs"
        return 0
    done
    return 1
}
board_attached() { board_sysfs "$(board_serial "$1")" >/dev/null; }
board_detached() { ! board_attached "$1" && [ -z "$(vhci_port "$1")" ]; }
# board_path I: "1-2", where board I is attached now.
board_path() { _bp=$(board_sysfs "$(board_serial "$1")") && printf '%s\n' "${_bp##*/}"; }

# vhci_port I: the vhci port that carries board I's device (nothing when none).
vhci_port() {
    usbip port 2>/dev/null | awk -v ip="$(board_ip "$1")" '
        /^Port [0-9]+:/ { p = $2; sub(/:/, "", p) }
        index($0, "usbip://" ip ":") { print p + 0; exit }'
}
exportable() { timeout -k 1 5 usbip list -r "$(board_ip "$1")" 2>/dev/null | grep -q '^ *1-1: '; }

# attach_board I: attaches board I's exported device and waits until the
# host has configured it. One attach at a time: a second one straight after
# the first fails ("open vhci_driver") until the first device is in sysfs.
attach_board() {
    _ab_t0=$(now_ms)
    wait_for 60 exportable "$1" || fail "board $1 exports no device: $(timeout 5 usbip list -r "$(board_ip "$1")" 2>&1)"
    _ab_n=0
    until _ab_err=$(timeout -k 1 10 usbip attach -r "$(board_ip "$1")" -b 1-1 2>&1); do
        [ -z "$(vhci_port "$1")" ] || break
        _ab_n=$((_ab_n + 1))
        [ "$_ab_n" -lt 10 ] || fail "usbip attach of board $1 failed: $_ab_err"
        sleep 0.5
    done
    wait_until 30 board_attached "$1" || fail "board $1 ($(board_serial "$1")) did not show up after its attach"
    ok "board $1 ($(board_serial "$1")) attached as $(board_path "$1") in $(( $(now_ms) - _ab_t0 )) ms"
}
attach_all() {
    _aa=1
    while [ "$_aa" -le "$STATION_BOARDS" ]; do attach_board "$_aa"; _aa=$((_aa + 1)); done
}

# detach_board I: unplugs board I from the host (its daemon keeps running).
detach_board() {
    _db_port=$(vhci_port "$1")
    [ -z "$_db_port" ] || usbip detach -p "$_db_port" >/dev/null 2>&1 \
        || fail "usbip detach -p $_db_port (board $1) failed"
    wait_until 10 board_detached "$1" || fail "board $1 is still attached after its detach"
}
detach_all() {
    _da=1
    while [ "$_da" -le "$STATION_BOARDS" ]; do detach_board "$_da"; _da=$((_da + 1)); done
}

# reattach_board I: after board I's gadget re-enumerated (daemon restarted),
# it is bound again on the board and attached again here.
reattach_board() {
    board_ctl "$1" export
    detach_board "$1"
    attach_board "$1"
}
# restart_board I: restarts board I's daemon and attaches it again.
restart_board() {
    board_ctl "$1" restart
    detach_board "$1"
    attach_board "$1"
}
