# Upload-and-verify round trips of small images, 0 to 1 MiB and 4 KiB (among
# them 0, 1, 2, 511/512/513, 1023/1024 and the neighbours of 1 MiB, the
# daemon's read size), each of which dfuctl verify must find byte-identical;
# with faults_trips_large.sh 100 round trips. The board's file is not
# truncated by an upload, so the test keeps a model of what /tmp/firmware
# must hold (each image written over the start of the one before) and
# compares the whole file with it every fourth trip: no byte beyond an
# image's end may change.
#
# Before every twelfth trip the host tool is killed (SIGKILL) in the middle
# of an upload, as when a technician's PC crashes or the tool is
# interrupted: an aborted upload must leave exactly the whole 1 MiB chunks
# the daemon wrote of the new image over the old content, and the next round
# trip must be exact.
#
# The sizes and delays come from a seeded generator (FAULTS_SEED=N repeats
# them); FAULTS_TRIPS=N runs N round trips instead of 60.
# e2e-timeout: 280
. /e2e/lib.sh

MIB=1048576
FAULTS=0 BYTES=0 FAILURES=0
TRIPS=${FAULTS_TRIPS:-60}
ABORT_EVERY=12  # a host abort before every ABORT_EVERY-th trip

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

# The sizes every run covers, one every third trip; the others are drawn.
FIXED="0 1 2 511 512 513 1023 1024 1536 4096 65535 65536 524288 1047552
1048064 1048575 1048576 1048577 1049088 1052672"
# size_for TRIP: sets SIZE.
size_for() {
    if [ $(( $1 % 3 )) = 1 ]; then
        # shellcheck disable=SC2086 # the list
        set -- $(( ($1 - 1) / 3 + 1 )) $FIXED
        _sf_i=$1; shift
        if [ "$_sf_i" -le $# ]; then eval "SIZE=\${$_sf_i}"; return; fi
    fi
    case $(( $1 % 3 )) in
        0) rand 2057; SIZE=$((R * 512)) ;;             # a multiple of 512, to 1 MiB + 4 KiB
        *) rand $((MIB + 4097)); SIZE=$R ;;            # anything to 1 MiB + 4 KiB
    esac
}
# The model of /tmp/firmware: put_model IMAGE writes IMAGE over its start.
: >/tmp/model
put_model() { dd if="$1" of=/tmp/model bs=1048576 conv=notrunc status=none; }
check_model() {
    if same_file /tmp/model /tmp/firmware; then
        BYTES=$((BYTES + $(size_of /tmp/model)))
        ok "$1: /tmp/firmware ($(size_of /tmp/firmware) bytes) holds exactly the images written over each other"
    else
        flop "$1: /tmp/firmware ($(size_of /tmp/firmware) bytes) differs from the model ($(size_of /tmp/model) bytes): $(where_differs /tmp/model /tmp/firmware)"
        cp /tmp/firmware /tmp/model
    fi
}

# disk_written FROM: the sum of what the daemon's file writes returned,
# from its standard output after line FROM (matched anywhere in a line:
# another thread's unfinished line may come first).
disk_written() {
    tail -n "+$(( $1 + 1 ))" "$E2E_DIR/daemon.out" | awk '
        match($0, /write_all to disk bytesWritten: -?[0-9]+/) {
            split(substr($0, RSTART, RLENGTH), f, ": "); if (f[2] + 0 > 0) w += f[2] }
        END { print w + 0 }'
}

# The milliseconds a MiB takes in the direction of the aborts, for their delays.
ABORT_MS_PER_MIB=150

# abort_upload: dfuctl killed while it uploads a fresh 3 MiB image from a
# pipe that holds back its last byte, so that it cannot have finished. Once
# SET_CONFIGURATION has made the daemon stop its stream threads,
# /tmp/firmware must be the model with the whole 1 MiB chunks the daemon
# wrote (by its log) of the image over its start.
abort_upload() {
    new_image /tmp/aborted $((3 * MIB))
    rand $(( 3 * ABORT_MS_PER_MIB + 1 )); _au_delay=$R
    _au_from=$(line_count "$E2E_DIR/daemon.out")
    _au_n=$(( $(err_count "ORVEN_WRITE_FIRMWARE write result") + 1 ))
    rm -f "$E2E_DIR/release" "$E2E_DIR/up.fifo"
    mkfifo "$E2E_DIR/up.fifo"
    { dd if=/tmp/aborted bs=65536 count=$((3 * MIB - 1)) iflag=count_bytes status=none
      while [ ! -e "$E2E_DIR/release" ]; do sleep 0.02; done
      tail -c 1 /tmp/aborted; } >"$E2E_DIR/up.fifo" 2>/dev/null &
    _au_feeder=$!
    dfuctl --quiet upload "$E2E_DIR/up.fifo" >/dev/null 2>"$E2E_DIR/bg.err" &
    _au_pid=$!
    wait_err_count "ORVEN_WRITE_FIRMWARE write result" "$_au_n" || fail "the daemon did not take the upload"
    sleep_ms "$_au_delay"
    kill -KILL "$_au_pid"
    wait "$_au_pid"; _au_rc=$?
    : >"$E2E_DIR/release"
    wait "$_au_feeder"
    FAULTS=$((FAULTS + 1))
    [ "$_au_rc" = 137 ] || flop "upload abort after $_au_delay ms: dfuctl ended with $_au_rc before the kill"
    # The daemon finishes the chunk it is writing, then leaves its stream
    # threads when the host selects the configuration again.
    expect_dfu_rc 0 set-config 1
    log_settle
    _au_written=$(disk_written "$_au_from")
    [ $((_au_written % MIB)) = 0 ] \
        || flop "upload abort after $_au_delay ms: the daemon wrote $_au_written bytes, not whole 1 MiB chunks"
    if [ "$_au_written" -gt 0 ]; then
        dd if=/tmp/aborted of=/tmp/model bs=1048576 count="$_au_written" iflag=count_bytes \
           conv=notrunc status=none
    fi
    check_model "upload abort after $_au_delay ms ($_au_written bytes written)"
}

daemon_start secondary
wait_enumerated
: >/tmp/firmware
new_image /tmp/filler $((6 * MIB))

trip=0
while [ "$trip" -lt "$TRIPS" ]; do
    trip=$((trip + 1))
    [ $((trip % ABORT_EVERY)) != $((ABORT_EVERY / 2)) ] || abort_upload
    size_for "$trip"
    new_image /tmp/image "$SIZE"
    dfu --quiet upload /tmp/image
    up_rc=$DFU_RC up_out=$DFU_OUT up_err=$DFU_ERR
    put_model /tmp/image
    dfu --quiet verify /tmp/image
    case "$up_rc:$up_out" in
        "0:uploaded $SIZE bytes in "*)
            if [ "$DFU_RC" = 0 ]; then
                BYTES=$((BYTES + SIZE))
                say "  ok trip $trip: $SIZE bytes"
            else
                flop "trip $trip: $SIZE bytes uploaded, verify exit $DFU_RC: $DFU_ERR"
            fi ;;
        *) flop "trip $trip: upload of $SIZE bytes: exit $up_rc: $up_out $up_err" ;;
    esac
    if [ "$SIZE" -ge 524288 ]; then
        _r=$(ms_per_mib "$up_out"); [ -z "$_r" ] || ABORT_MS_PER_MIB=$_r
    fi
    if [ $((trip % 4)) = 0 ] || [ $((trip % ABORT_EVERY)) = $((ABORT_EVERY / 2)) ]; then
        check_model "trip $trip"
    fi
done

[ "$FAILURES" = 0 ] || fail "$FAILURES failed check(s)"
ok "$TRIPS round trips byte-identical, $FAULTS host aborts between them"
e2e_done
