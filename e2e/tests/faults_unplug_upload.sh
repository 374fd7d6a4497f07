# Unplugging the board in the middle of transfers. This script runs as two
# tests: faults_unplug_upload.sh cuts uploads, and faults_unplug_download.sh
# (a link to this file) cuts downloads; the test's name chooses.
#
# 25 times, with a fresh image of 2 to 4 MiB each time (every third a
# multiple of 1 MiB, every third a multiple of 512 bytes), the transfer is
# started, the board's root-hub port powered off after a random delay, and
# the board replugged. dfuctl must end with "board vanished" (74), and only
# the image's own bytes may have arrived: /tmp/firmware, emptied before an
# upload, must hold a prefix of the image; a download (of the image with
# 3 MiB more behind it on the board) must have brought a prefix of the
# board's file. After every fifth cut, and at the start, a fresh image goes
# up into an emptied /tmp/firmware (which must then hold exactly it) and
# comes back whole (dfuctl verify, or a download compared here).
#
# The cut transfers are held at their end (bg_upload_held), so every unplug
# lands inside one. The delay is drawn from the time the bytes take to move
# at the rate of the last undisturbed transfer: the whole image for an
# upload, 3 of the 4 MiB that dfuctl keeps in flight for a download; so
# most cuts land while bytes flow, some while the board waits.
#
# The sizes and delays come from a seeded generator; the seed is printed at
# the start and FAULTS_SEED=N (run-vm.sh --env) repeats the same choices.
# FAULTS_CUTS=N cuts N transfers instead of 25.
# e2e-timeout: 600
. /e2e/lib.sh

MIB=1048576
FAULTS=0 BYTES=0 FAILURES=0
CUTS=${FAULTS_CUTS:-25}
case "$E2E_TEST_NAME" in
    *download) DIRECTION=download ;;
    *) DIRECTION=upload ;;
esac

# ---------------------------------------------------------------------------
# Helpers shared by the fault scripts (each script carries its own copy).

# The last line of the script's output, whatever way it ends: the number of
# faults injected, of bytes found byte-exact, and of failed checks.
faults_exit() {
    _fx_rc=$?
    [ "$_fx_rc" = 0 ] || [ "$FAILURES" -gt 0 ] || FAILURES=1
    printf 'faults: %d faults injected, %d bytes verified, %d failures\n' "$FAULTS" "$BYTES" "$FAILURES"
    (exit "$_fx_rc")
    e2e_on_exit
}
trap faults_exit EXIT

# flop MESSAGE: a failed check that does not end the test at once, so that
# the count of failures means something; five of them do end it.
flop() {
    FAILURES=$((FAILURES + 1))
    say "FAILED CHECK $FAILURES: $*"
    [ -n "${BG_CMD:-}" ] && say "  (last background run: $BG_CMD, exit ${BG_RC:-?}: $(head -c 300 "$E2E_DIR/bg.err" 2>/dev/null))"
    [ "$FAILURES" -lt 5 ] || fail "giving up after $FAILURES failed checks"
}

# Seeded pseudo-random numbers (31-bit LCG): rand N sets R to 0..N-1.
FAULTS_SEED=${FAULTS_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' \n')}
RNG=$((FAULTS_SEED % 2147483648))
say "faults seed: $FAULTS_SEED (FAULTS_SEED=$FAULTS_SEED repeats these choices)"
rand() {
    RNG=$(( (RNG * 1103515245 + 12345) % 2147483648 ))
    _r_hi=$(( RNG / 65536 ))
    RNG=$(( (RNG * 1103515245 + 12345) % 2147483648 ))
    R=$(( (_r_hi * 32768 + RNG / 65536) % $1 ))
}
sleep_ms() { sleep "$(( $1 / 1000 )).$(printf %03d $(( $1 % 1000 )))"; }

# Files. busybox's head, cmp and wc read a byte at a time, which takes
# seconds per image in the VM; these use dd, md5sum and stat instead.
size_of() { stat -c %s "$1"; }
# new_image FILE BYTES: pseudo-random bytes.
new_image() {
    dd if=/dev/urandom of="$1" bs=1048576 count="$2" iflag=count_bytes,fullblock status=none \
        || fail "cannot make $1"
}
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
# where_differs A B: cmp's report (slow; for failure messages only).
where_differs() { cmp "$1" "$2" 2>&1 | head -n 1; }

# The daemon's standard error: how many lines contain TEXT;
# wait_err_count TEXT N [SECONDS]: until at least N do (polled every 10 ms).
err_count() { grep -cF -e "$1" "$E2E_DIR/daemon.err"; }
wait_err_count() {
    _wc_polls=0
    while [ "$(err_count "$1")" -lt "$2" ]; do
        _wc_polls=$((_wc_polls + 1))
        [ "$_wc_polls" -lt $(( ${3:-10} * 100 )) ] || return 1
        sleep 0.01
    done
}

# ms_per_mib TEXT: the milliseconds per MiB of a dfuctl summary line
# ("... N bytes in S s ..."), at least 1; nothing when there is none.
ms_per_mib() {
    printf '%s\n' "$1" | sed -n 's/.* \([0-9][0-9]*\) bytes in \([0-9.]*\) s.*/\1 \2/p' | head -n 1 \
        | awk '$1 > 0 { v = int($2 * 1000 * 1048576 / $1); if (v < 1) v = 1; print v }'
}

# ---------------------------------------------------------------------------
# ---------------------------------------------------------------------------
# Transfers with a held end. An upload reads its image from a pipe whose
# last byte is held back; a download writes into a pipe that is not read,
# and is longer than the four 1 MiB transfers dfuctl keeps in flight.
# Neither can finish before release, so a fault injected meanwhile always
# lands inside the transfer however fast or slow the machine is; a random
# delay chooses where.
#
# bg_upload_held IMAGE; bg_download_held LENGTH FILE (the bytes reach FILE
# once released); bg_dfu ARGS... (not held). All run dfuctl in the
# background with a time limit; its exit status lands in bg.rc.
bg_upload_held() {
    BG_CMD="dfuctl upload (pipe from $1)"
    rm -f "$E2E_DIR/bg.rc" "$E2E_DIR/release" "$E2E_DIR/up.fifo"
    mkfifo "$E2E_DIR/up.fifo"
    { dd if="$1" bs=65536 count=$(( $(size_of "$1") - 1 )) iflag=count_bytes status=none
      while [ ! -e "$E2E_DIR/release" ]; do sleep 0.02; done
      tail -c 1 "$1"; } >"$E2E_DIR/up.fifo" 2>/dev/null &
    BG_FEEDER=$!
    { timeout -k 2 60 dfuctl --quiet upload "$E2E_DIR/up.fifo" >"$E2E_DIR/bg.out" 2>"$E2E_DIR/bg.err"
      echo $? >"$E2E_DIR/bg.rc"; } &
    BG_PID=$!
}
bg_download_held() {
    BG_CMD="dfuctl download --length $1 - (into a held pipe)"
    rm -f "$E2E_DIR/bg.rc" "$E2E_DIR/release"
    : >"$2"
    { timeout -k 2 60 dfuctl --quiet download --length "$1" - 2>"$E2E_DIR/bg.err"
      echo $? >"$E2E_DIR/bg.rc"; } \
        | { while [ ! -e "$E2E_DIR/release" ]; do sleep 0.02; done; cat >"$2"; } &
    BG_PID=$! BG_FEEDER=""
}
bg_dfu() {
    BG_CMD="dfuctl $*"
    rm -f "$E2E_DIR/bg.rc" "$E2E_DIR/release"
    { timeout -k 2 60 dfuctl --quiet "$@" >"$E2E_DIR/bg.out" 2>"$E2E_DIR/bg.err"
      echo $? >"$E2E_DIR/bg.rc"; } &
    BG_PID=$! BG_FEEDER=""
}
bg_running() { [ ! -s "$E2E_DIR/bg.rc" ]; }
# release: lets a held transfer go on; waits for dfuctl (sets BG_RC, BG_ERR).
release() {
    : >"$E2E_DIR/release"
    wait "$BG_PID"
    [ -z "$BG_FEEDER" ] || wait "$BG_FEEDER"
    BG_RC=$(cat "$E2E_DIR/bg.rc" 2>/dev/null)
    BG_ERR=$(cat "$E2E_DIR/bg.err")
}

# expect_vanished WHAT: the background dfuctl ended with "board vanished".
expect_vanished() {
    case "$BG_RC:$BG_ERR" in
        74:*vanished*) ;;
        *) flop "$1: dfuctl exit $BG_RC, expected 74 (board vanished): $BG_ERR" ;;
    esac
}

MS_PER_MIB=150

# image_size N: sets len, 2 to 4 MiB; for every third N a multiple of
# 1 MiB, for every third after it a multiple of 512 bytes.
image_size() {
    rand $((2 * MIB + 1)); len=$((2 * MIB + R))
    case $(($1 % 3)) in
        0) len=$(( (len / MIB) * MIB )) ;;
        1) len=$(( (len / 512) * 512 )) ;;
    esac
}

# cut_transfer upload IMAGE | cut_transfer download BOARD_FILE: starts a
# held transfer, waits for the daemon to take the vendor command, powers the
# board's port off after a random delay, lets the transfer go on, checks
# what arrived and replugs.
cut_transfer() {
    _ct_len=$(size_of "$2")
    if [ "$1" = upload ]; then
        _ct_cmd="ORVEN_WRITE_FIRMWARE write result" _ct_got=/tmp/firmware
        _ct_window=$(( _ct_len / 1024 * MS_PER_MIB / 1024 ))
        : >/tmp/firmware
    else
        _ct_cmd="ORVEN_READ_FIRMWARE write result" _ct_got=/tmp/partial
        _ct_window=$(( 3 * MS_PER_MIB ))
    fi
    rand $((_ct_window + 1)); _ct_delay=$R
    # The port is looked up before the transfer: lib.sh's unplug does the
    # same (power off the root-hub port, then wait for the board to go),
    # but its search of sysfs would add a delay of its own to the chosen one.
    find_board || fail "no board before the $1"
    E2E_PORT=$(readlink -f "$BOARD_SYSFS/port")
    _ct_n=$(( $(err_count "$_ct_cmd") + 1 ))
    if [ "$1" = upload ]; then bg_upload_held "$2"
    else bg_download_held "$_ct_len" /tmp/partial; fi
    wait_err_count "$_ct_cmd" "$_ct_n" || fail "$1: the daemon did not answer the vendor command"
    sleep_ms "$_ct_delay"
    bg_running || flop "$1 of $_ct_len bytes ended before the unplug, with its end held back"
    echo 1 >"$E2E_PORT/disable" || fail "cannot power off $E2E_PORT"
    FAULTS=$((FAULTS + 1))
    wait_gone
    release
    _ct_where="after $_ct_delay of $_ct_window ms"
    expect_vanished "$1 cut $_ct_where"
    _ct_have=$(size_of "$_ct_got")
    if is_prefix "$_ct_got" "$2"; then
        BYTES=$((BYTES + _ct_have))
    else
        flop "$1 cut $_ct_where: $_ct_got ($_ct_have bytes) is not a prefix of the image: $(where_differs "$_ct_got" "$2")"
    fi
    say "  $1 of $_ct_len bytes cut $_ct_where: dfuctl exit $BG_RC, $_ct_have bytes arrived"
    replug_and_wait
    daemon_running || fail "the daemon ended after an unplug"
}

# round_trip N: a fresh image up into an emptied /tmp/firmware and back,
# byte-exact both ways; the rate of the transfer in the cut direction is
# kept for the next delays.
round_trip() {
    _rt_rate="" _rt_when="after $FAULTS cuts"
    [ "$FAULTS" != 0 ] || _rt_when="before the cuts"
    image_size "$1"
    new_image /tmp/image "$len"
    : >/tmp/firmware
    dfu --quiet upload /tmp/image
    if [ "$DFU_RC" = 0 ] && same_file /tmp/image /tmp/firmware; then
        [ "$DIRECTION" != upload ] || _rt_rate=$(ms_per_mib "$DFU_OUT")
        BYTES=$((BYTES + len))
        ok "$_rt_when: the next upload is byte-exact ($len bytes)"
    else
        flop "$_rt_when: upload: dfuctl exit $DFU_RC ($DFU_ERR), /tmp/firmware $(size_of /tmp/firmware) bytes: $(where_differs /tmp/image /tmp/firmware)"
    fi
    if [ $(($1 % 2)) = 0 ]; then
        dfu --quiet verify /tmp/image
        if [ "$DFU_RC" = 0 ]; then
            BYTES=$((BYTES + len))
            ok "$_rt_when: verify matches ($len bytes)"
        else
            flop "$_rt_when: verify: exit $DFU_RC: $DFU_ERR"
        fi
    else
        rm -f /tmp/back
        dfu --quiet download --length "$len" /tmp/back
        if [ "$DFU_RC" = 0 ] && same_file /tmp/image /tmp/back; then
            BYTES=$((BYTES + len))
            ok "$_rt_when: the download is byte-exact ($len bytes)"
        else
            flop "$_rt_when: download: exit $DFU_RC ($DFU_ERR): $(where_differs /tmp/image /tmp/back)"
        fi
    fi
    [ "$DIRECTION" != download ] || _rt_rate=$(ms_per_mib "$DFU_OUT")
    [ -z "$_rt_rate" ] || MS_PER_MIB=$_rt_rate
}

daemon_start secondary
wait_enumerated
# Put behind the image on the board before a download is cut, so that the
# download is longer than what dfuctl keeps in flight.
new_image /tmp/filler $((3 * MIB))

round_trip 0
cut=0
while [ "$cut" -lt "$CUTS" ]; do
    cut=$((cut + 1))
    image_size "$cut"
    new_image /tmp/image "$len"
    if [ "$DIRECTION" = upload ]; then
        cut_transfer upload /tmp/image
    else
        # The image with a tail, put on the board here (the download must
        # leave it as it is).
        cat /tmp/image /tmp/filler >/tmp/firmware
        cut_transfer download /tmp/firmware
    fi
    if [ $((cut % 5)) = 0 ] || [ "$cut" = "$CUTS" ]; then round_trip "$cut"; fi
done

[ "$FAILURES" = 0 ] || fail "$FAILURES failed check(s)"
[ "$FAULTS" = "$CUTS" ] || fail "$FAULTS unplugs, expected $CUTS"
ok "$FAULTS ${DIRECTION}s cut by an unplug; no byte lost or changed"
e2e_done
