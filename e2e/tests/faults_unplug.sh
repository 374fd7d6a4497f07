# Unplugging the board in the middle of transfers. This script runs as two
# tests, one per variant (E2E_VARIANT): faults_unplug_upload cuts uploads,
# faults_unplug_download cuts downloads.
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
# e2e-variants: upload download
. /e2e/lib.sh
. /e2e/faults.sh

CUTS=${FAULTS_CUTS:-25}
DIRECTION=${E2E_VARIANT:-upload}
case "$DIRECTION" in
    upload|download) ;;
    *) fail "unknown variant '$DIRECTION' (upload or download)" ;;
esac

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
        _ct_cmd=$UPLOAD_CMD _ct_got=/tmp/firmware
        _ct_window=$(( _ct_len / 1024 * MS_PER_MIB / 1024 ))
        : >/tmp/firmware
    else
        _ct_cmd=$DOWNLOAD_CMD _ct_got=/tmp/partial
        _ct_window=$(( 3 * MS_PER_MIB ))
    fi
    rand $((_ct_window + 1)); _ct_delay=$R
    # The port is looked up before the transfer: lib.sh's unplug does the
    # same (power off the root-hub port, then wait for the board to go),
    # but its search of sysfs would add a delay of its own to the chosen one.
    find_board || fail "no board before the $1"
    E2E_PORT=$(readlink -f "$BOARD_SYSFS/port")
    _ct_n=$(next_count "$_ct_cmd")
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

[ "$FAULTS" = "$CUTS" ] || flop "$FAULTS unplugs, expected $CUTS"
faults_done "$FAULTS ${DIRECTION}s cut by an unplug; no byte lost or changed"
