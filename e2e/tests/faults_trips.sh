# Upload-and-verify round trips of images of many sizes, each of which
# dfuctl verify must find byte-identical. This script runs as three tests,
# one per variant (E2E_VARIANT), 100 round trips in all:
#   small   40 images of 1 byte to 516 KiB (1, 2, 511/512/513, 1023/1024, ...)
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
# e2e-variants: small medium large
. /e2e/lib.sh
. /e2e/faults.sh

# The sizes every run covers (one every other trip, the others are drawn;
# see size_for), the number of trips, and the trips before which the host
# tool is killed, in an upload (u) or a download (d).
case "${E2E_VARIANT:=small}" in
    large)
        FIXED="2097153 2097664 2621440 3145216 3145727 3145728 3145729 3146240 3149824"
        TRIPS=28 ABORTS="4u 11d 18u 25d" ;;
    medium)
        FIXED="524288 1047552 1048064 1048575 1048576 1048577 1049088 1052672 1572864
               2096640 2097151 2097152"
        TRIPS=32 ABORTS="6d 16d 26d" ;;
    small)
        FIXED="1 2 511 512 513 1023 1024 1536 4096 65535 65536 131072 262144 524287
               524289 528384"
        TRIPS=40 ABORTS="7u 20u 33u" ;;
    *) fail "unknown variant '$E2E_VARIANT' (small, medium or large)" ;;
esac
TRIPS=${FAULTS_TRIPS:-$TRIPS}

# size_for TRIP: sets SIZE.
size_for() {
    if [ $(( $1 % 2 )) = 1 ]; then
        # shellcheck disable=SC2086 # the list
        set -- $(( ($1 + 1) / 2 )) $FIXED
        _sf_i=$1; shift
        if [ "$_sf_i" -le $# ]; then eval "SIZE=\${$_sf_i}"; return; fi
    fi
    case "$E2E_VARIANT:$(( $1 % 3 ))" in
        large:0) rand 2049; SIZE=$(( (4096 + R) * 512 )) ;;        # multiple of 512, 2 to 3 MiB
        large:1) rand 2; SIZE=$(( (R + 2) * MIB + R * 7 + 1 )) ;;  # just past 2 or 3 MiB
        large:*) rand $((MIB + 4097)); SIZE=$((2 * MIB + R)) ;;    # 2 to 3 MiB + 4 KiB
        medium:0) rand 3073; SIZE=$(( (1024 + R) * 512 )) ;;       # multiple of 512, 512 KiB to 2 MiB
        medium:*) rand $((3 * MIB / 2 + 1)); SIZE=$((MIB / 2 + R)) ;;
        *:0) rand 1033; SIZE=$((R * 512)) ;;                        # multiple of 512, 0 to 516 KiB
        *) rand 528385; SIZE=$R ;;                                  # 0 to 516 KiB
    esac
    # dfuctl refuses an empty image: the smallest trip is one byte.
    [ "$SIZE" -gt 0 ] || SIZE=1
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
    _au_n=$(next_count "$UPLOAD_CMD")
    held_feeder /tmp/aborted
    dfuctl --quiet upload "$E2E_DIR/up.fifo" >/dev/null 2>"$E2E_DIR/bg.err" &
    _au_pid=$!
    wait_err_count "$UPLOAD_CMD" "$_au_n" || fail "the daemon did not take the upload"
    sleep_ms "$_au_delay"
    kill -KILL "$_au_pid"
    wait "$_au_pid"; _au_rc=$?
    : >"$E2E_DIR/release"
    wait "$BG_FEEDER"
    FAULTS=$((FAULTS + 1))
    [ "$_au_rc" = 137 ] || flop "upload abort after $_au_delay ms: dfuctl ended with $_au_rc before the kill"
    # The daemon finishes the chunk it is writing, then leaves its stream
    # threads when the host selects the configuration again.
    expect_dfu_rc 0 set-config 1
    log_settle
    disk_writes "$_au_from"; _au_written=$WRITTEN
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
    _ad_n=$(next_count "$DOWNLOAD_CMD")
    rm -f "$E2E_DIR/release" "$E2E_DIR/down.fifo"
    mkfifo "$E2E_DIR/down.fifo"
    held_reader /tmp/partial <"$E2E_DIR/down.fifo" &
    _ad_reader=$!
    dfuctl --quiet download --length "$_ad_len" "$E2E_DIR/down.fifo" >/dev/null 2>"$E2E_DIR/bg.err" &
    _ad_pid=$!
    wait_err_count "$DOWNLOAD_CMD" "$_ad_n" || fail "the daemon did not take the download"
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

faults_done "$TRIPS round trips byte-identical, with $FAULTS host abort(s) between them"
