# Shell library of the end-to-end tests; sourced by every script in
# e2e/tests/ inside the VM (POSIX sh, run by dash). The VM's init has already
# loaded dummy_hcd and gadgetfs, mounted gadgetfs at /run/gadgetfs, made
# /dev/mmcblk0 a RAM disk and put a Serial line into /proc/cpuinfo.
#
# A test looks like this:
#
#   . /e2e/lib.sh
#   daemon_start secondary         # fe980000.usb only: product id 0x2711
#   wait_enumerated
#   log_mark
#   expect_dfu 0 "04 03 09 04" string 0
#   wait_line out "Found 4 bytes"
#   e2e_done
#
# Every expect_* counts one check and calls fail (which prints the context
# and exits 1) when it does not hold. A script that ends without a failed
# check but also without a single check counts as failed.

E2E_DIR=/run/e2e
E2E_GADGETFS=/run/gadgetfs
E2E_STANDINS=/run/standins
E2E_CHECKS=0
E2E_DONE=0
E2E_WAIT=${E2E_WAIT:-10}          # default seconds for the wait_* functions
E2E_DFU_TIMEOUT=${E2E_DFU_TIMEOUT:-60}
DAEMON_PID=""
DAEMON_STATUS=""
E2E_READERS=""
DFU_RC="" DFU_OUT="" DFU_ERR="" DFU_CMD=""
BOARD_SYSFS="" BOARD_PATH=""
: "${E2E_TEST_NAME:=test}"
: "${E2E_DAEMON:=/usr/sbin/gadgetdfu}"
: "${E2E_DAEMON_WRAPPER:=}"

# ---------------------------------------------------------------------------
# Reporting

say() { printf '%s\n' "$*"; }

ok() {
    E2E_CHECKS=$((E2E_CHECKS + 1))
    say "  ok $E2E_CHECKS - $*"
}

# fail MESSAGE: prints MESSAGE and what the daemon, dfuctl and the kernel said
# last, then ends the test with status 1.
fail() {
    say "FAIL: $*"
    if [ -n "$DFU_CMD" ]; then
        say "--- last command: $DFU_CMD (exit $DFU_RC)"
        say "--- its stdout:"; cat "$E2E_DIR/dfu.out" 2>/dev/null
        say "--- its stderr:"; cat "$E2E_DIR/dfu.err" 2>/dev/null
    fi
    if [ -f "$E2E_DIR/daemon.log" ]; then
        if daemon_running; then say "--- daemon (running, pid $DAEMON_PID), last 40 lines:"
        else say "--- daemon (not running, status ${DAEMON_STATUS:-?}), last 40 lines:"; fi
        tail -n 40 "$E2E_DIR/daemon.log"
    fi
    say "--- kernel, last 15 lines:"
    dmesg | tail -n 15
    say "--- end of context"
    E2E_DONE=1
    exit 1
}

# e2e_done: stops the daemon and reports the number of checks.
e2e_done() {
    daemon_running && daemon_stop
    [ "$E2E_CHECKS" -gt 0 ] || fail "the test made no checks"
    E2E_DONE=1
    say "PASS: $E2E_TEST_NAME: $E2E_CHECKS checks"
    exit 0
}

e2e_on_exit() {
    rc=$?
    if [ -n "$DAEMON_PID" ] && kill -0 "$DAEMON_PID" 2>/dev/null; then
        kill -TERM "$DAEMON_PID" 2>/dev/null
        wait "$DAEMON_PID" 2>/dev/null
    fi
    if [ "$E2E_DONE" = 0 ] && [ "$rc" = 0 ]; then
        say "FAIL: $E2E_TEST_NAME ended without e2e_done after $E2E_CHECKS checks"
        exit 1
    fi
}
trap e2e_on_exit EXIT
trap 'fail "stopped by the watchdog (the test took too long)"' TERM

# ---------------------------------------------------------------------------
# Waiting

# wait_until SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds;
# returns 1 when SECONDS have passed.
wait_until() {
    _wu_left=$(( $1 * 20 )); shift
    while ! "$@"; do
        [ "$_wu_left" -gt 0 ] || return 1
        _wu_left=$((_wu_left - 1))
        sleep 0.05
    done
    return 0
}

# now_ms: milliseconds since the VM booted.
now_ms() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }

# ---------------------------------------------------------------------------
# The board side: controller nodes, serial number, the daemon

# use_controller VARIANT: which controller nodes /dev/gadget shows. All of
# them lead to the one dummy_udc; the daemon's choice shows in the product id.
#   secondary  fe980000.usb only          (product id 0x2711)
#   primary    1000480000.usb only        (product id 0x2712)
#   both       both nodes                 (the daemon must take 1000480000.usb: 0x2712)
#   none       no controller node at all
use_controller() {
    rm -f /dev/gadget/*
    case "$1" in
        secondary) ln -s "$E2E_GADGETFS/dummy_udc" /dev/gadget/fe980000.usb ;;
        primary) ln -s "$E2E_GADGETFS/dummy_udc" /dev/gadget/1000480000.usb ;;
        both) ln -s "$E2E_GADGETFS/dummy_udc" /dev/gadget/1000480000.usb
              ln -s "$E2E_GADGETFS/dummy_udc" /dev/gadget/fe980000.usb ;;
        none) ;;
        *) fail "use_controller: unknown variant '$1'" ;;
    esac
    # The endpoint files appear in gadgetfs once ep0 is configured.
    ln -s "$E2E_GADGETFS/ep1in-bulk" /dev/gadget/ep1in
    ln -s "$E2E_GADGETFS/ep1out-bulk" /dev/gadget/ep1out
}

# set_soc_serial TEXT: the text after "Serial<tab><tab>: " in /proc/cpuinfo.
# set_soc_serial_lines [LINE...]: replaces the Serial line by these lines
# (none: no Serial line at all).
set_soc_serial() { set_soc_serial_lines "$(printf 'Serial\t\t: %s' "$1")"; }
set_soc_serial_lines() {
    _ss_rest=$(grep -v '^Serial' "$E2E_DIR/cpuinfo")
    # Rewritten in place: the bind mount over /proc/cpuinfo follows the inode.
    {
        printf '%s\n' "$_ss_rest"
        for _ss_line in "$@"; do printf '%s\n' "$_ss_line"; done
    } >"$E2E_DIR/cpuinfo"
}

# daemon_start [VARIANT]: starts the daemon in the background with the given
# controller nodes (default: $E2E_CONTROLLER, else secondary). Its standard
# output goes to $E2E_DIR/daemon.out, its standard error to daemon.err and
# both, interleaved as they come, to daemon.log.
daemon_start() {
    daemon_running && fail "daemon_start: the daemon is already running"
    use_controller "${1:-${E2E_CONTROLLER:-secondary}}"
    rm -f "$E2E_DIR/daemon.out" "$E2E_DIR/daemon.err" "$E2E_DIR/daemon.log" \
          "$E2E_DIR/out.fifo" "$E2E_DIR/err.fifo"
    : >"$E2E_DIR/daemon.log"
    mkfifo "$E2E_DIR/out.fifo" "$E2E_DIR/err.fifo"
    tee -a "$E2E_DIR/daemon.log" <"$E2E_DIR/out.fifo" >"$E2E_DIR/daemon.out" &
    E2E_READERS=$!
    tee -a "$E2E_DIR/daemon.log" <"$E2E_DIR/err.fifo" >"$E2E_DIR/daemon.err" &
    E2E_READERS="$E2E_READERS $!"
    # shellcheck disable=SC2086 # the wrapper is one word or nothing
    $E2E_DAEMON_WRAPPER "$E2E_DAEMON" >"$E2E_DIR/out.fifo" 2>"$E2E_DIR/err.fifo" &
    DAEMON_PID=$!
    DAEMON_STATUS=""
    E2E_MARK_out=0 E2E_MARK_err=0 E2E_MARK_all=0
    say "  daemon started (pid $DAEMON_PID, controller ${1:-${E2E_CONTROLLER:-secondary}})"
}

daemon_running() { [ -n "$DAEMON_PID" ] && [ -z "$DAEMON_STATUS" ] && kill -0 "$DAEMON_PID" 2>/dev/null; }

# daemon_stop: ends the daemon (it has no exit of its own while ep0 works),
# waits for it and for the host to see the board go away.
daemon_stop() {
    [ -n "$DAEMON_PID" ] || return 0
    kill -TERM "$DAEMON_PID" 2>/dev/null
    wait "$DAEMON_PID" 2>/dev/null
    DAEMON_STATUS=$?
    wait_readers
    wait_until 5 board_absent || fail "the board is still attached after the daemon ended"
}
# wait_readers: the log readers have written the daemon's last lines.
wait_readers() {
    # shellcheck disable=SC2086 # two process ids
    wait $E2E_READERS 2>/dev/null
    E2E_SETTLED=1
}

# daemon_wait_exit [SECONDS]: waits for the daemon to end by itself and sets
# DAEMON_STATUS to its exit status.
daemon_wait_exit() {
    wait_until "${1:-$E2E_WAIT}" daemon_exited || fail "the daemon did not exit within ${1:-$E2E_WAIT}s"
    wait "$DAEMON_PID" 2>/dev/null
    DAEMON_STATUS=$?
    wait_readers
}
daemon_exited() { ! kill -0 "$DAEMON_PID" 2>/dev/null || [ -n "$(zombie_state)" ]; }
zombie_state() { grep -s '^State:.*Z' "/proc/$DAEMON_PID/status"; }

# run_daemon_to_exit [SECONDS]: runs one more daemon in the foreground, for
# the ways it ends by itself, with the controller nodes as they are. Sets
# RUN_STATUS, RUN_OUT and RUN_ERR (its whole standard output and error).
run_daemon_to_exit() {
    # shellcheck disable=SC2086 # the wrapper is one word or nothing
    timeout -k 2 "${1:-20}" $E2E_DAEMON_WRAPPER "$E2E_DAEMON" \
        >"$E2E_DIR/run.out" 2>"$E2E_DIR/run.err"
    RUN_STATUS=$?
    RUN_OUT=$(cat "$E2E_DIR/run.out")
    RUN_ERR=$(cat "$E2E_DIR/run.err")
    case "$RUN_STATUS" in
        124|137|143) fail "the daemon was still running after ${1:-20}s; it printed:
$RUN_OUT
$RUN_ERR" ;;
    esac
}

# expect_daemon_status N: the daemon ended by itself with status N.
expect_daemon_status() {
    [ "$DAEMON_STATUS" = "$1" ] || fail "daemon exit status: expected $1, got ${DAEMON_STATUS:-none}"
    ok "daemon exited with status $1"
}

# ---------------------------------------------------------------------------
# The host side: enumeration, plugging

# find_board: sets BOARD_SYSFS (/sys/bus/usb/devices/1-1) and BOARD_PATH (1-1)
# of the first attached board.
find_board() {
    for _fb in /sys/bus/usb/devices/*; do
        [ -f "$_fb/idVendor" ] || continue
        [ "$(cat "$_fb/idVendor" 2>/dev/null)" = 0a5c ] || continue
        case "$(cat "$_fb/idProduct" 2>/dev/null)" in 2711|2712) ;; *) continue ;; esac
        BOARD_SYSFS=$_fb
        BOARD_PATH=${_fb##*/}
        return 0
    done
    return 1
}
board_absent() { ! find_board; }
board_configured() {
    find_board && [ "$(cat "$BOARD_SYSFS/bConfigurationValue" 2>/dev/null)" = 1 ] \
        && [ -d "$BOARD_SYSFS/$BOARD_PATH:1.0" ]
}
interface_string_read() { [ -f "$BOARD_SYSFS/$BOARD_PATH:1.0/interface" ]; }

# wait_enumerated [SECONDS]: waits until the host has enumerated the board and
# selected configuration 1 (which the host kernel does by itself), and has
# read the interface string, its last request of an enumeration. After it,
# the daemon sees only what the test itself sends.
wait_enumerated() {
    wait_until "${1:-$E2E_WAIT}" board_configured \
        || fail "the board did not enumerate with configuration 1 within ${1:-$E2E_WAIT}s"
    wait_until 2 interface_string_read || say "  note: the host has not read the interface string"
    sleep 0.1
}

# wait_gone [SECONDS]: waits until no board is attached.
wait_gone() {
    wait_until "${1:-$E2E_WAIT}" board_absent || fail "the board is still attached after ${1:-$E2E_WAIT}s"
}

# unplug / replug: powers the board's root-hub port off and on, as pulling
# and putting back the cable does. The daemon sees a DISCONNECT and, after
# replug, a fresh enumeration.
unplug() {
    find_board || fail "unplug: no board attached"
    E2E_PORT=$(readlink -f "$BOARD_SYSFS/port")
    [ -f "$E2E_PORT/disable" ] || fail "unplug: no port control at $E2E_PORT"
    echo 1 >"$E2E_PORT/disable" || fail "unplug: cannot disable $E2E_PORT"
    wait_gone
}
replug() {
    [ -n "${E2E_PORT:-}" ] || fail "replug without unplug"
    echo 0 >"$E2E_PORT/disable" || fail "replug: cannot enable $E2E_PORT"
}
replug_and_wait() { replug; wait_enumerated "$@"; }

# ---------------------------------------------------------------------------
# The daemon's console

# The daemon's two streams reach their files through a reader process each,
# a moment after the daemon wrote them. log_settle waits until both files
# have stopped growing; it runs once after each dfuctl command, before the
# first look at the console, so that a check never misses a line the daemon
# printed while it handled the command. (Lines printed by the daemon's own
# threads later on are what wait_line is for.)
E2E_SETTLED=1
log_settle() {
    [ "$E2E_SETTLED" = 1 ] && return 0
    _ls_prev="" _ls_n=0
    while [ "$_ls_n" -lt 50 ]; do
        _ls_now=$(cat "$E2E_DIR/daemon.out" "$E2E_DIR/daemon.err" 2>/dev/null | wc -c)
        [ "$_ls_now" = "$_ls_prev" ] && break
        _ls_prev=$_ls_now _ls_n=$((_ls_n + 1))
        sleep 0.02
    done
    E2E_SETTLED=1
}

# log_mark: the expectations below look only at lines printed after this.
log_mark() {
    log_settle
    E2E_MARK_out=$(line_count "$E2E_DIR/daemon.out")
    E2E_MARK_err=$(line_count "$E2E_DIR/daemon.err")
    E2E_MARK_all=$(line_count "$E2E_DIR/daemon.log")
}
line_count() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }

# stream_file STREAM: out = standard output, err = standard error, all = both.
stream_file() {
    case "$1" in
        out) echo "$E2E_DIR/daemon.out" ;;
        err) echo "$E2E_DIR/daemon.err" ;;
        all) echo "$E2E_DIR/daemon.log" ;;
        *) fail "unknown stream '$1' (out, err or all)" ;;
    esac
}

# since_mark STREAM: the lines of STREAM after the last log_mark. A line that
# was still incomplete at the mark counts as after it.
since_mark() {
    log_settle
    eval "_sm_mark=\$E2E_MARK_$1"
    tail -n "+$((${_sm_mark:-0} + 1))" "$(stream_file "$1")" 2>/dev/null
}

# Matching: TEXT is a fixed string found anywhere in a line; with -x it must
# be the whole line, with -E it is an extended regular expression.
_match_opts() {
    _mo_flags=-F
    case "$1" in -x) _mo_flags=-Fx ;; -E) _mo_flags=-E ;; esac
}

# count_lines [-x|-E] STREAM TEXT: prints how many lines after the mark match.
count_lines() {
    _match_opts "$1"; [ "$_mo_flags" = -F ] || shift
    since_mark "$1" | grep -c $_mo_flags -e "$2"
}
_has_line() { since_mark "$1" | grep -q $_mo_flags -e "$2"; }

# wait_line [-x|-E] STREAM TEXT [SECONDS]: waits for a matching line.
wait_line() {
    _match_opts "$1"; [ "$_mo_flags" = -F ] || shift
    wait_until "${3:-$E2E_WAIT}" _has_line "$1" "$2" \
        || fail "no line '$2' on the daemon's $1 within ${3:-$E2E_WAIT}s"
    ok "daemon $1: '$2'"
}

# expect_line [-x|-E] STREAM TEXT: a matching line is already there.
expect_line() { wait_line "$@" 0; }

# expect_no_line [-x|-E] STREAM TEXT
expect_no_line() {
    _match_opts "$1"; [ "$_mo_flags" = -F ] || shift
    ! _has_line "$1" "$2" || fail "unexpected line '$2' on the daemon's $1: $(since_mark "$1" | grep $_mo_flags -e "$2" | head -n 3)"
    ok "daemon $1: no '$2'"
}

# expect_count [-x|-E] STREAM TEXT N: exactly N matching lines after the mark.
expect_count() {
    _ec_opt=""
    case "$1" in -x|-E) _ec_opt=$1; shift ;; esac
    _ec_n=$(count_lines $_ec_opt "$1" "$2")
    [ "$_ec_n" = "$3" ] || fail "expected $3 line(s) '$2' on the daemon's $1, found $_ec_n"
    ok "daemon $1: $3 x '$2'"
}

# wait_count [-x|-E] STREAM TEXT N [SECONDS]: waits until exactly N lines
# after the mark match.
wait_count() {
    _wc_opt=""
    case "$1" in -x|-E) _wc_opt=$1; shift ;; esac
    _wc_left=$(( ${4:-$E2E_WAIT} * 20 ))
    while [ "$(count_lines $_wc_opt "$1" "$2")" != "$3" ]; do
        [ "$_wc_left" -gt 0 ] || fail "expected $3 line(s) '$2' on the daemon's $1, found $(count_lines $_wc_opt "$1" "$2")"
        _wc_left=$((_wc_left - 1))
        sleep 0.05
    done
    ok "daemon $1: $3 x '$2'"
}

# expect_order STREAM TEXT1 TEXT2...: the fixed strings occur in this order
# (each in a later line than the one before).
expect_order() {
    _eo_stream=$1; shift
    _eo_at=0
    for _eo_text in "$@"; do
        _eo_n=$(since_mark "$_eo_stream" | grep -nF -e "$_eo_text" \
                | awk -F: -v after="$_eo_at" '$1 > after { print $1; exit }')
        [ -n "$_eo_n" ] || fail "'$_eo_text' not found on the daemon's $_eo_stream after line $_eo_at of the mark: order $*"
        _eo_at=$_eo_n
    done
    ok "daemon $_eo_stream: in order: $*"
}

# ---------------------------------------------------------------------------
# dfuctl

# What the tests expect of dfuctl's exit statuses and messages, in one place
# (see dfuctl --help). A message is matched as a fixed string within
# standard error.
DFU_EXIT_MISMATCH=65      # verify, flash: the image differs; download: too short
DFU_EXIT_VANISHED=74      # the board went away
DFU_EXIT_TIMEOUT=75       # a request or transfer timed out
DFU_EXIT_STALLED=76       # a request stalled, or a malformed reply
DFU_EXIT_CANNOT_OPEN=72   # the board cannot open its image file
DFU_EXIT_REFUSED=79       # the board refused the image's data
DFU_MSG_VANISHED="vanished"
DFU_MSG_CANNOT_OPEN="the board cannot open its image file /tmp/firmware: "
DFU_MSG_REFUSED="the board could not store the image: it refused the data after "
DFU_MSG_FULL_SPEED="full speed"
DFU_MSG_SHORT="the board sent "    # ...N of M bytes: a download shorter than --length

# dfu ARGS...: runs dfuctl with a time limit. Sets DFU_RC, DFU_OUT (standard
# output without the last newline), DFU_ERR; the raw output stays in
# $E2E_DIR/dfu.out.
dfu() {
    DFU_CMD="dfuctl $*"
    timeout -k 2 "$E2E_DFU_TIMEOUT" dfuctl "$@" >"$E2E_DIR/dfu.out" 2>"$E2E_DIR/dfu.err"
    DFU_RC=$?
    E2E_SETTLED=0
    DFU_OUT=$(cat "$E2E_DIR/dfu.out")
    DFU_ERR=$(cat "$E2E_DIR/dfu.err")
}

# expect_dfu RC STDOUT ARGS...: dfuctl ARGS exits with RC and prints exactly
# STDOUT (the last newline aside).
expect_dfu() {
    _ed_rc=$1 _ed_out=$2; shift 2
    dfu "$@"
    [ "$DFU_RC" = "$_ed_rc" ] || fail "dfuctl $*: exit status $DFU_RC, expected $_ed_rc"
    [ "$DFU_OUT" = "$_ed_out" ] || fail "dfuctl $*: printed
$DFU_OUT
expected
$_ed_out"
    ok "dfuctl $* -> $_ed_rc${_ed_out:+ '$(printf '%s' "$_ed_out" | head -n 1)'}"
}

# expect_dfu_rc RC ARGS...: only the exit status matters.
expect_dfu_rc() {
    _er_rc=$1; shift
    dfu "$@"
    [ "$DFU_RC" = "$_er_rc" ] || fail "dfuctl $*: exit status $DFU_RC, expected $_er_rc"
    ok "dfuctl $* -> $_er_rc"
}

# expect_stalled ARGS...: the request is stalled (nothing on stdout).
expect_stalled() {
    dfu "$@"
    [ "$DFU_RC" = "$DFU_EXIT_STALLED" ] || fail "dfuctl $*: exit status $DFU_RC, expected $DFU_EXIT_STALLED (stalled)"
    [ -z "$DFU_OUT" ] || fail "dfuctl $*: a stalled request printed '$DFU_OUT'"
    case "$DFU_ERR" in *stall*) ;; *) fail "dfuctl $*: stderr does not mention the stall: $DFU_ERR" ;; esac
    ok "dfuctl $* -> stalled"
}

# expect_dfu_fails RC MESSAGE ARGS...: dfuctl ARGS exits with RC and says
# MESSAGE (a fixed string) on standard error.
expect_dfu_fails() {
    _ef_rc=$1 _ef_msg=$2; shift 2
    dfu "$@"
    [ "$DFU_RC" = "$_ef_rc" ] || fail "dfuctl $*: exit status $DFU_RC, expected $_ef_rc"
    case "$DFU_ERR" in
        *"$_ef_msg"*) ;;
        *) fail "dfuctl $*: standard error does not say '$_ef_msg'" ;;
    esac
    ok "dfuctl $* -> $_ef_rc '$_ef_msg'"
}

# expect_out_line TEXT: the last dfuctl run printed the line TEXT.
expect_out_line() {
    grep -qFx -e "$1" "$E2E_DIR/dfu.out" || fail "$DFU_CMD: no line '$1' in its output"
    ok "$DFU_CMD printed '$1'"
}

# ---------------------------------------------------------------------------
# Values and bytes

expect_eq() {
    [ "$1" = "$2" ] || fail "${3:-value}: got '$1', expected '$2'"
    case "$2" in
        *"
"*) ok "${3:-value} as expected" ;;
        *) ok "${3:-value} = '$2'" ;;
    esac
}

# hex_of TEXT: the bytes of TEXT as lower-case hex separated by spaces.
hex_of() { printf '%s' "$1" | od -An -v -tx1 | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'; }

# string_descriptor_hex TEXT: the USB string descriptor of an ASCII TEXT
# (bLength, type 3, UTF-16LE), as dfuctl string prints it.
string_descriptor_hex() {
    _sd_hex=$(hex_of "$1")
    _sd_n=$(printf '%s' "$1" | wc -c)
    printf '%02x 03' $((2 + 2 * _sd_n))
    for _sd_b in $_sd_hex; do printf ' %s 00' "$_sd_b"; done
    printf '\n'
}

sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# expect_same_file A B: byte-for-byte equal.
expect_same_file() {
    cmp "$1" "$2" || fail "$1 and $2 differ (sha256 $(sha256_of "$1") vs $(sha256_of "$2"))"
    ok "$1 = $2 ($(wc -c <"$1") bytes)"
}

expect_sha256() {
    _es=$(sha256_of "$1")
    [ "$_es" = "$2" ] || fail "sha256 of $1: got $_es, expected $2"
    ok "sha256 of $1"
}

# Files. busybox's head, cmp and wc read a byte at a time, which takes
# seconds per image in the VM; these use dd, md5sum and stat instead.

size_of() { stat -c %s "$1"; }
# digest FILE [N]: MD5 of FILE, or of its first N bytes.
digest() {
    if [ $# = 2 ]; then
        _dg=$(dd if="$1" bs=1048576 count="$2" iflag=count_bytes status=none | md5sum)
    else
        _dg=$(md5sum <"$1")
    fi
    printf '%s\n' "${_dg%% *}"
}
# same_file A B: the same bytes.
same_file() { [ "$(size_of "$1")" = "$(size_of "$2")" ] && [ "$(digest "$1")" = "$(digest "$2")" ]; }
# is_prefix FILE IMAGE: FILE is no longer than IMAGE and equals its start.
is_prefix() {
    # shellcheck disable=SC2046 # two sizes
    set -- "$1" "$2" $(stat -c %s "$1" "$2")
    [ "$3" -le "$4" ] || return 1
    [ "$3" = 0 ] || [ "$(digest "$1")" = "$(digest "$2" "$3")" ]
}
# make_image FILE BYTES (or new_image): a file of BYTES pseudo-random bytes.
make_image() {
    dd if=/dev/urandom of="$1" bs=1048576 count="$2" iflag=count_bytes,fullblock status=none \
        || fail "cannot make $1 ($2 bytes)"
}
new_image() { make_image "$@"; }

# expect_prefix FILE IMAGE: FILE holds the first bytes of IMAGE, nothing else.
expect_prefix() {
    is_prefix "$1" "$2" || fail "$1 ($(size_of "$1") bytes) is not the start of $2: $(cmp "$1" "$2" 2>&1 | head -n 1)"
    ok "$1 = the first $(size_of "$1") bytes of $2"
}

# firmware_reply COMMAND ERRNO: the 24-byte reply of firmware command 8 or 9
# as dfuctl control prints it: "Error" and its NUL at bytes 4-9 whatever
# happened, the result of the board's open (0 or an errno) at bytes 12-15.
firmware_reply() {
    printf '%02x 00 00 00 45 72 72 6f 72 00 00 00 %02x %02x %02x %02x' "$1" \
        $(( $2 & 255 )) $(( ($2 >> 8) & 255 )) $(( ($2 >> 16) & 255 )) $(( ($2 >> 24) & 255 ))
    printf ' 00 00 00 00 00 00 00 00'
}

# Halt state of a bulk endpoint as the device controller reports it
# (GET_STATUS, answered by the controller itself): "01 00" halted.
expect_halted() { expect_dfu 0 "01 00" control 0x82 0 0 "$1" 2; }
expect_not_halted() { expect_dfu 0 "00 00" control 0x82 0 0 "$1" 2; }
# clear_halt EP: CLEAR_FEATURE(ENDPOINT_HALT), as a host does after a stall.
clear_halt() { expect_dfu 0 "" control 0x02 1 0 "$1" 0; }

# ---------------------------------------------------------------------------
# Transfers

# expect_summary VERB N: the last dfuctl run ended with "VERB N bytes in ...".
expect_summary() {
    case "$DFU_OUT" in
        "$1 $2 bytes in "*) ok "dfuctl: $1 $2 bytes" ;;
        *) fail "$DFU_CMD: expected the summary '$1 $2 bytes in ...', got '$DFU_OUT'" ;;
    esac
}

# upload_ok FILE: dfuctl uploads FILE; the RX thread writes exactly its bytes
# ("Read N bytes from USB") and closes the upload with one zero-length read.
upload_ok() {
    _size=$(wc -c <"$1")
    log_mark
    expect_dfu_rc 0 upload "$1"
    expect_summary uploaded "$_size"
    wait_line out "RX Thread read 0 bytes from usb"
    # One pass over the lines since the mark (each look costs a fork or two,
    # which is slow under TCG).
    _ur=$(since_mark out | awk '
        /RX Thread read 0 bytes from usb/ { z++ }
        { t = $0 } sub(/.*Read /, "", t) && t ~ /^[0-9]+ bytes from USB/ { s += t + 0 }
        END { print z + 0, s + 0 }')
    expect_eq "$_ur" "1 $_size" "zero-length reads and bytes written for $1"
}

# firmware_on_small_fs KIB: /tmp/firmware becomes an empty file on a tmpfs
# of KIB KiB of its own (bind-mounted over it), so that an upload fills the
# file system. firmware_on_tmp: back to a plain, empty file in /tmp.
E2E_SMALL_FS=$E2E_DIR/small-fs
firmware_on_small_fs() {
    firmware_on_tmp
    mkdir -p "$E2E_SMALL_FS"
    mount -t tmpfs -o "size=${1}k" tmpfs "$E2E_SMALL_FS" || fail "cannot mount a tmpfs of $1 KiB"
    : >"$E2E_SMALL_FS/firmware"
    mount -o bind "$E2E_SMALL_FS/firmware" /tmp/firmware || fail "cannot bind the small file system's file"
}
firmware_on_tmp() {
    if grep -qs " $E2E_SMALL_FS " /proc/mounts; then
        umount /tmp/firmware && umount "$E2E_SMALL_FS" || fail "cannot unmount the small file system"
    fi
    rm -f /tmp/firmware
    : >/tmp/firmware
}

# ---------------------------------------------------------------------------
# Stand-ins for the board's outside commands (velko-bridge-cli, mmc, reboot,
# shutdown). Each records its arguments, one call per line.

# standin_output NAME [LASTARG] TEXT: what NAME prints (exactly TEXT; add
# the newline yourself). With LASTARG only for calls whose last argument it is.
standin_output() {
    if [ $# = 3 ]; then printf '%s' "$3" >"$E2E_STANDINS/$1.$2.out"
    else printf '%s' "$2" >"$E2E_STANDINS/$1.out"; fi
}
# standin_output_file NAME [LASTARG] FILE
standin_output_file() {
    if [ $# = 3 ]; then cp "$3" "$E2E_STANDINS/$1.$2.out"
    else cp "$2" "$E2E_STANDINS/$1.out"; fi
}
standin_status() { echo "$2" >"$E2E_STANDINS/$1.rc"; }
standin_calls() { cat "$E2E_STANDINS/$1.log" 2>/dev/null; }
standin_reset() { rm -f "$E2E_STANDINS/$1.log" "$E2E_STANDINS/$1.sleep" "$E2E_STANDINS/$1.pids"; }

# standin_hang NAME SECONDS: NAME hangs SECONDS before it answers.
# standin_processes NAME: the process ids of the last hanging call of NAME
# that are still alive (none once its process group is gone).
standin_hang() { echo "$2" >"$E2E_STANDINS/$1.sleep"; }
standin_processes() {
    for _sp in $(cat "$E2E_STANDINS/$1.pids" 2>/dev/null); do
        # A killed process that nobody has reaped yet counts as gone.
        grep -qs '^State:[[:space:]]*[^Z[:space:]]' "/proc/$_sp/status" && printf '%s ' "$_sp"
    done
}

# standin_called NAME: NAME ran (a call without arguments records an empty
# line); expect_standin_not_called NAME: it did not.
standin_called() { [ -e "$E2E_STANDINS/$1.log" ]; }
expect_standin_not_called() {
    ! standin_called "$1" || fail "$1 ran: $(standin_calls "$1" | head -n 3)"
    ok "$1 did not run"
}

# expect_standin_calls NAME LINES: the recorded calls of NAME are exactly
# LINES (one call per line; a call without arguments is an empty line).
expect_standin_calls() {
    _sc=$(standin_calls "$1")
    [ "$_sc" = "$2" ] || fail "calls of $1:
${_sc:-(none)}
expected
${2:-(none)}"
    ok "$1 called as expected"
}
