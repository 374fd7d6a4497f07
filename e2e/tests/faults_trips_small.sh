# Upload-and-verify round trips of images of many sizes, each of which
# dfuctl verify must find byte-identical. This script runs as three tests,
# by the test's name (faults_trips_medium.sh and faults_trips_large.sh are
# links to this file), 100 round trips in all:
#   small   40 images of 0 to 516 KiB (0, 1, 2, 511/512/513, 1023/1024, ...)
#   medium  32 images of 512 KiB to 2 MiB (around 1 MiB, the daemon's read
#           size, and 2 MiB)
#   large   28 images of 2 MiB to 3 MiB and 4 KiB (around 3 MiB)
# Every third image or so is a multiple of 512 bytes, the packet size.
#
# The board's file is not truncated by an upload, so the test keeps a model
# of what /tmp/firmware must hold (each image written over the start of the
# one before) and compares the whole file with it every fourth trip: no byte
# beyond an image's end may change.
#
# Before some trips (three or four per test, ten in all) the host tool is
# killed (SIGKILL) in the middle of an upload or a download, as when a
# technician's PC crashes or the tool is interrupted: an aborted upload must
# leave exactly the whole 1 MiB chunks the daemon wrote of the new image over
# the old content, an aborted download must have brought the file's own
# bytes, and the next round trip must be exact.
#
# The sizes and delays come from a seeded generator (FAULTS_SEED=N repeats
# them); FAULTS_TRIPS=N runs N round trips.
# e2e-timeout: 600
. /e2e/lib.sh

MIB=1048576
FAULTS=0 BYTES=0 FAILURES=0
# The sizes every run covers (one every other trip, the others are drawn;
# see size_for), the number of trips, and the trips before which the host
# tool is killed, in an upload (u) or a download (d).
case "$E2E_TEST_NAME" in
    *large)
        FIXED="2097153 2097664 2621440 3145216 3145727 3145728 3145729 3146240 3149824"
        TRIPS=28 ABORTS="4u 11d 18u 25d" ;;
    *medium)
        FIXED="524288 1047552 1048064 1048575 1048576 1048577 1049088 1052672 1572864
               2096640 2097151 2097152"
        TRIPS=32 ABORTS="6d 16d 26d" ;;
    *)
        FIXED="0 1 2 511 512 513 1023 1024 1536 4096 65535 65536 131072 262144 524287
               524289 528384"
        TRIPS=40 ABORTS="7u 20u 33u" ;;
esac
TRIPS=${FAULTS_TRIPS:-$TRIPS}

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

# size_for TRIP: sets SIZE.
size_for() {
    if [ $(( $1 % 2 )) = 1 ]; then
        # shellcheck disable=SC2086 # the list
        set -- $(( ($1 + 1) / 2 )) $FIXED
        _sf_i=$1; shift
        if [ "$_sf_i" -le $# ]; then eval "SIZE=\${$_sf_i}"; return; fi
    fi
    case "$E2E_TEST_NAME:$(( $1 % 3 ))" in
        *large:0) rand 2049; SIZE=$(( (4096 + R) * 512 )) ;;        # multiple of 512, 2 to 3 MiB
        *large:1) rand 2; SIZE=$(( (R + 2) * MIB + R * 7 + 1 )) ;;  # just past 2 or 3 MiB
        *large:*) rand $((MIB + 4097)); SIZE=$((2 * MIB + R)) ;;    # 2 to 3 MiB + 4 KiB
        *medium:0) rand 3073; SIZE=$(( (1024 + R) * 512 )) ;;       # multiple of 512, 512 KiB to 2 MiB
        *medium:*) rand $((3 * MIB / 2 + 1)); SIZE=$((MIB / 2 + R)) ;;
        *:0) rand 1033; SIZE=$((R * 512)) ;;                        # multiple of 512, 0 to 516 KiB
        *) rand 528385; SIZE=$R ;;                                  # 0 to 516 KiB
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

# The milliseconds a MiB takes each way, for the delays of the aborts.
UP_MS_PER_MIB=150 DOWN_MS_PER_MIB=150

# abort_upload: dfuctl killed while it uploads a fresh 3 MiB image from a
# pipe that holds back its last byte, so that it cannot have finished. Once
# SET_CONFIGURATION has made the daemon stop its stream threads,
# /tmp/firmware must be the model with the whole 1 MiB chunks the daemon
# wrote (by its log) of the image over its start.
abort_upload() {
    new_image /tmp/aborted $((3 * MIB))
    rand $(( 3 * UP_MS_PER_MIB + 1 )); _au_delay=$R
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

# abort_download: dfuctl killed while it downloads the board's whole file,
# made at least 6 MiB long with a random tail on the board, into a FIFO that
# is not read until then: dfuctl cannot have finished, wherever the delay
# ends (while bytes flow, or with the board waiting for the host). What
# reached the host must be the file's start.
abort_download() {
    _ad_len=$(size_of /tmp/firmware)
    if [ "$_ad_len" -lt $((6 * MIB)) ]; then
        dd if=/tmp/filler of=/tmp/tail bs=1048576 count=$((6 * MIB - _ad_len)) iflag=count_bytes status=none
        cat /tmp/tail >>/tmp/firmware
        cat /tmp/tail >>/tmp/model
        _ad_len=$((6 * MIB))
    fi
    rand $(( 4 * DOWN_MS_PER_MIB + 1 )); _ad_delay=$R
    _ad_n=$(( $(err_count "ORVEN_READ_FIRMWARE write result") + 1 ))
    rm -f "$E2E_DIR/release" "$E2E_DIR/down.fifo"
    mkfifo "$E2E_DIR/down.fifo"
    { while [ ! -e "$E2E_DIR/release" ]; do sleep 0.02; done; cat; } <"$E2E_DIR/down.fifo" >/tmp/partial &
    _ad_reader=$!
    dfuctl --quiet download --length "$_ad_len" "$E2E_DIR/down.fifo" >/dev/null 2>"$E2E_DIR/bg.err" &
    _ad_pid=$!
    wait_err_count "ORVEN_READ_FIRMWARE write result" "$_ad_n" || fail "the daemon did not take the download"
    sleep_ms "$_ad_delay"
    kill -KILL "$_ad_pid"
    wait "$_ad_pid"; _ad_rc=$?
    : >"$E2E_DIR/release"
    wait "$_ad_reader"
    FAULTS=$((FAULTS + 1))
    [ "$_ad_rc" = 137 ] || flop "download abort after $_ad_delay ms: dfuctl ended with $_ad_rc before the kill"
    if is_prefix /tmp/partial /tmp/model && [ "$(size_of /tmp/partial)" -lt "$_ad_len" ]; then
        BYTES=$((BYTES + $(size_of /tmp/partial)))
        ok "download abort after $_ad_delay ms: the $(size_of /tmp/partial) bytes that arrived are the file's own"
    else
        flop "download abort after $_ad_delay ms: the host got $(size_of /tmp/partial) bytes: $(where_differs /tmp/partial /tmp/model)"
    fi
}

daemon_start secondary
wait_enumerated
: >/tmp/firmware
new_image /tmp/filler $((6 * MIB))

trip=0
while [ "$trip" -lt "$TRIPS" ]; do
    trip=$((trip + 1))
    case " $ABORTS " in
        *" ${trip}u "*) abort_upload; aborted=1 ;;
        *" ${trip}d "*) abort_download; aborted=1 ;;
        *) aborted=0 ;;
    esac
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
    # The rates for the delays of the aborts.
    if [ "$SIZE" -ge 524288 ]; then
        _r=$(ms_per_mib "$up_out"); [ -z "$_r" ] || UP_MS_PER_MIB=$_r
        _r=$(ms_per_mib "$DFU_OUT"); [ -z "$_r" ] || DOWN_MS_PER_MIB=$_r
    fi
    if [ $((trip % 4)) = 0 ] || [ "$aborted" = 1 ]; then check_model "trip $trip"; fi
done

[ "$FAILURES" = 0 ] || fail "$FAILURES failed check(s)"
ok "$TRIPS round trips byte-identical, with $FAULTS host abort(s) between them"
e2e_done
