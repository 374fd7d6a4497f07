# Faults on the board itself: the daemon killed in the middle of transfers,
# a missing firmware file, a full file system under /tmp/firmware, and
# missing or unusable board tools. After each, the daemon (restarted where it
# was killed) must go on serving, and the next upload must be byte-exact.
#
#   1. SIGKILL mid-upload, five times: /tmp/firmware (emptied before) holds
#      exactly the image's first bytes, as many as the daemon's log says
#      its file writes returned: whole 1 MiB chunks. A kill that lands
#      inside the write(2) of a chunk can leave part of that chunk (the
#      kernel stops copying at a page boundary when the process is killed);
#      then the log shows the write unfinished, and only whole pages of it
#      may be there. SIGKILL mid-download once: the file is untouched.
#   2. No /tmp/firmware: uploads, downloads and verifies get the usual reply
#      and nothing is stored or sent; the file is not created.
#   3. /tmp/firmware on a full tmpfs: the write error is reported, the
#      upload is given up after the daemon's retries (dfuctl times out) and
#      the daemon serves meanwhile (the board tools checks below run during
#      the retries); space that comes free during the retries lets the
#      upload finish byte-exact.
#   4. The board tools removed, then present but not executable: GET_EMMC_
#      PROPERTIES, GET_SERIAL, the LED commands, REBOOT and SHUTDOWN answer
#      with well-formed replies that carry nothing from the tool.
#
# Random delays come from a seeded generator (FAULTS_SEED=N repeats them).
# e2e-timeout: 600
. /e2e/lib.sh
. /e2e/faults.sh

KILLS=${FAULTS_KILLS:-5}

# The daemon gave a write up: its line "write error" on its own.
given_up() { grep -qxF -e "write error" "$E2E_DIR/daemon.err"; }

# round_trip IMAGE WHAT: uploads IMAGE into an emptied /tmp/firmware and
# verifies it; /tmp/firmware must then be exactly IMAGE.
round_trip() {
    : >/tmp/firmware
    dfu --quiet upload "$1"
    _rt_up=$DFU_RC _rt_up_out=$DFU_OUT
    dfu --quiet verify "$1"
    if [ "$_rt_up" = 0 ] && [ "$DFU_RC" = 0 ] && same_file "$1" /tmp/firmware; then
        BYTES=$((BYTES + 2 * $(size_of "$1")))
        ok "$2: upload and verify of $(size_of "$1") bytes byte-exact"
    else
        flop "$2: upload exit $_rt_up ($_rt_up_out), verify exit $DFU_RC ($DFU_ERR), cmp: $(where_differs "$1" /tmp/firmware)"
    fi
    DFU_OUT=$_rt_up_out
}

# ---------------------------------------------------------------------------
# 1. The daemon killed mid-transfer.

daemon_start secondary
wait_enumerated
standin_reset mmc; standin_reset velko-bridge-cli; standin_reset reboot; standin_reset shutdown

# A first round trip gives the upload rate for the kill delays.
new_image /tmp/image $((3 * MIB + 1234))
round_trip /tmp/image "before the faults"
up_ms=$(ms_per_mib "$DFU_OUT")
[ -n "$up_ms" ] || up_ms=150

kill_inside_write=0
k=0
while [ "$k" -lt "$KILLS" ]; do
    k=$((k + 1))
    rand $((2 * MIB)); len=$((3 * MIB + R))
    new_image /tmp/image "$len"
    : >/tmp/firmware
    rand $(( len / 1024 * up_ms / 1024 + 1 )); delay=$R
    from=$(line_count "$E2E_DIR/daemon.out")
    n=$(next_count "$UPLOAD_CMD")
    bg_upload_held /tmp/image
    wait_err_count "$UPLOAD_CMD" "$n" || fail "kill $k: the daemon did not take the upload"
    sleep_ms "$delay"
    bg_running || flop "kill $k: the held upload ended before the kill"
    kill -KILL "$DAEMON_PID"
    FAULTS=$((FAULTS + 1))
    daemon_stop                       # reaps it; the board must be gone
    release
    [ "$DAEMON_STATUS" = 137 ] || flop "kill $k: daemon status $DAEMON_STATUS, expected 137 (SIGKILL)"
    expect_vanished "kill $k"

    have=$(size_of /tmp/firmware)
    disk_writes "$from"
    if ! is_prefix /tmp/firmware /tmp/image; then
        flop "kill $k after $delay ms: /tmp/firmware ($have bytes) is not the image's first bytes"
    elif [ $((WRITTEN % MIB)) != 0 ]; then
        flop "kill $k after $delay ms: the daemon's writes returned $WRITTEN bytes, not whole 1 MiB chunks"
    elif [ "$PENDING" = 0 ]; then
        # Between two chunks: exactly what the writes returned.
        if [ "$have" = "$WRITTEN" ]; then
            BYTES=$((BYTES + have))
            ok "kill $k after $delay ms, between chunks: /tmp/firmware = the image's first $have bytes"
        else
            flop "kill $k after $delay ms, between chunks: /tmp/firmware has $have bytes, the daemon's writes returned $WRITTEN"
        fi
    else
        # Inside the write of a chunk: whole pages of it at most.
        part=$((have - WRITTEN))
        if [ "$part" -ge 0 ] && [ "$part" -le "$PENDING" ] && [ $((part % 4096)) = 0 ]; then
            kill_inside_write=$((kill_inside_write + 1))
            BYTES=$((BYTES + have))
            ok "kill $k after $delay ms, inside the write of a chunk: /tmp/firmware = the image's first $have bytes ($WRITTEN + $part of $PENDING)"
        else
            flop "kill $k after $delay ms, inside a write of $PENDING bytes: /tmp/firmware has $have bytes, the writes before returned $WRITTEN"
        fi
    fi

    daemon_start secondary
    wait_enumerated
done
say "  $KILLS kills mid-upload, $kill_inside_write of them inside the write of a chunk"

# A kill mid-download leaves the file as it was.
cat /tmp/image /tmp/image >/tmp/firmware
cp /tmp/firmware /tmp/board
n=$(next_count "$DOWNLOAD_CMD")
bg_download_held "$(size_of /tmp/board)" /tmp/partial
wait_err_count "$DOWNLOAD_CMD" "$n" || fail "the daemon did not take the download"
rand 300; sleep_ms "$R"
bg_running || flop "the held download ended before the kill"
kill -KILL "$DAEMON_PID"
FAULTS=$((FAULTS + 1))
daemon_stop
release
expect_vanished "kill mid-download"
if same_file /tmp/board /tmp/firmware && is_prefix /tmp/partial /tmp/board; then
    BYTES=$((BYTES + $(size_of /tmp/partial)))
    ok "kill mid-download after $R ms: /tmp/firmware untouched, $(size_of /tmp/partial) bytes arrived intact"
else
    flop "kill mid-download: /tmp/firmware changed ($(where_differs /tmp/board /tmp/firmware)) or the host got other bytes"
fi

daemon_start secondary
wait_enumerated
new_image /tmp/image $((2 * MIB + 512))
round_trip /tmp/image "after the kills"

# ---------------------------------------------------------------------------
# 2. No firmware file. The vendor reply is the usual one (the firmware
# commands always answer "Error"); the stream threads treat the failed open
# as no transfer.

rm -f /tmp/firmware
FAULTS=$((FAULTS + 1))
firmware_reply() { printf '%02x 00 00 00 45 72 72 6f 72 00' "$1"; for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14; do printf ' 00'; done; }
log_mark
new_image /tmp/image $((MIB + 100))
dfu --quiet upload /tmp/image
case "$DFU_RC:$DFU_OUT" in
    "0:uploaded $((MIB + 100)) bytes in "*) ok "upload without /tmp/firmware: dfuctl exit 0" ;;
    *) flop "upload without /tmp/firmware: exit $DFU_RC: $DFU_OUT $DFU_ERR" ;;
esac
wait_line err "File/device(write) opening process result= [-1]"
wait_line out "No output file, ignore these bytes"
[ ! -e /tmp/firmware ] || flop "the upload created /tmp/firmware"
expect_dfu 0 "$(firmware_reply 8)" control 0xc0 8 0 0 24

log_mark
dfu --quiet download --length 4096 --idle-ms 300 /tmp/back
if [ "$DFU_RC" = 0 ] && [ "$(size_of /tmp/back)" = 0 ]; then
    case "$DFU_ERR" in
        *"sent 0 of 4096 bytes"*) ok "download without /tmp/firmware: nothing sent, dfuctl says so" ;;
        *) flop "download without /tmp/firmware: no warning: $DFU_ERR" ;;
    esac
else
    flop "download without /tmp/firmware: exit $DFU_RC, $(size_of /tmp/back) bytes: $DFU_ERR"
fi
wait_line err "File/device(read) opening process result= [-1]"
dfu --quiet verify --idle-ms 300 /tmp/image
case "$DFU_RC:$DFU_ERR" in
    65:*"sent 0 of $((MIB + 100)) bytes"*) ok "verify without /tmp/firmware: exit 65, nothing sent" ;;
    *) flop "verify without /tmp/firmware: exit $DFU_RC: $DFU_ERR" ;;
esac
expect_dfu 0 "$(firmware_reply 9)" control 0xc0 9 0 0 24
expect_dfu 0 "04 03 09 04" string 0
daemon_running || fail "the daemon ended without /tmp/firmware"
: >/tmp/firmware
round_trip /tmp/image "after the missing file"

# ---------------------------------------------------------------------------
# 4 (as a function: it runs while the daemon retries a write in 3).
# The board tools are gone or cannot run: the replies keep their form and
# carry nothing from the tool; the daemon reports the shell's complaint.

TOOLS="/usr/local/bin/mmc /usr/sbin/velko-bridge-cli /usr/local/bin/reboot /usr/local/bin/shutdown"
zeros() { _z=$1; while [ "$_z" -gt 0 ]; do printf ' 00'; _z=$((_z - 1)); done; }

# A stand-in ran (its log exists; a call without arguments logs an empty line).
standin_called() { [ -e "$E2E_STANDINS/$1.log" ]; }

# tools_broken HOW: HOW is "removed" or "not executable".
tools_broken() {
    for _t in mmc velko-bridge-cli reboot shutdown; do standin_reset "$_t"; done
    for _t in $TOOLS; do
        rm -f "$_t"
        if [ "$1" = "not executable" ]; then
            cp /usr/local/bin/standin "$_t"
            chmod 644 "$_t"
        fi
    done
    FAULTS=$((FAULTS + 4))
    case "$1" in removed) _complaint="not found" ;; *) _complaint="Permission denied" ;; esac
    log_mark
    expect_dfu 0 "03 00 00 00 00" control 0xc0 3 0 0 512
    wait_line err "mmc: $_complaint"
    expect_dfu 0 "04 00 00 00$(zeros 35)" control 0xc0 4 0 0 39
    wait_line err "velko-bridge-cli: $_complaint"
    expect_dfu 0 "05 00 00 00$(zeros 100)" control 0xc0 5 0 0 104
    expect_dfu 0 "07 00 00 00$(zeros 100)" control 0xc0 7 0 0 104
    expect_dfu 0 "0a 00 00 00" control 0xc0 10 0 0 4
    wait_line err "reboot: $_complaint"
    expect_dfu 0 "0b 00 00 00" control 0xc0 11 0 0 4
    wait_line err "shutdown: $_complaint"
    # dfuctl takes the same replies as well-formed.
    dfu --quiet info
    case "$DFU_RC:$DFU_OUT" in
        0:*"serial                  (none)"*) ok "info with the tools $1: exit 0, no serial" ;;
        *) flop "info with the tools $1: exit $DFU_RC: $DFU_OUT $DFU_ERR" ;;
    esac
    expect_dfu 0 "" led rotate-orange
    expect_dfu 0 "board is rebooting" reboot
    for _t in mmc velko-bridge-cli reboot shutdown; do
        ! standin_called "$_t" || flop "the $1 $_t ran"
    done
    daemon_running || fail "the daemon ended with the tools $1"
}
tools_back() {
    for _t in $TOOLS; do rm -f "$_t"; done
    ln -s ../local/bin/standin /usr/sbin/velko-bridge-cli
    for _t in mmc reboot shutdown; do ln -s standin "/usr/local/bin/$_t"; done
}

# ---------------------------------------------------------------------------
# 3. /tmp/firmware on a full file system.

mkdir -p /tmp/small
mount -t tmpfs -o size=4m tmpfs /tmp/small || fail "cannot mount a small tmpfs"
dd if=/dev/zero of=/tmp/small/filler bs=1048576 count=3 status=none || fail "cannot fill the small tmpfs"
: >/tmp/small/firmware
rm -f /tmp/firmware
ln -s /tmp/small/firmware /tmp/firmware

# Given up: one free MiB for a 3 MiB image. The daemon retries the failed
# write for about 20 s (101 tries, 200 ms apart), so dfuctl times out
# waiting for it to take the rest; the board serves control requests
# meanwhile.
new_image /tmp/image $((3 * MIB))
log_mark
FAULTS=$((FAULTS + 1))
dfu --quiet upload /tmp/image
case "$DFU_RC:$DFU_ERR" in
    75:*"timed out"*) ok "upload onto a full file system: dfuctl timed out (75)" ;;
    *) flop "upload onto a full file system: dfuctl exit $DFU_RC, expected 75: $DFU_ERR" ;;
esac
wait_line err "write error: No space left on device"
tries_before=$(err_count "write error: No space left on device")
tools_broken removed
tools_broken "not executable"
tools_back
say "  the board tools checks ran while the daemon made tries $tries_before to $(err_count "write error: No space left on device") of 101"
expect_dfu 0 "04 03 09 04" string 0
# The daemon's own lines from here on: tools_broken moved the marks.
if ! wait_until 30 given_up; then
    flop "the daemon did not give the write up within 30 s"
elif [ "$(err_count "write error: No space left on device")" != 101 ]; then
    flop "the daemon tried the write $(err_count "write error: No space left on device") times, expected 101"
else
    ok "the write was tried 101 times, then given up"
fi
if is_prefix /tmp/small/firmware /tmp/image; then
    BYTES=$((BYTES + $(size_of /tmp/small/firmware)))
    ok "after the given-up upload /tmp/firmware holds the image's first $(size_of /tmp/small/firmware) bytes"
else
    flop "after the given-up upload /tmp/firmware is not a prefix of the image"
fi

# With the tools back, their output reaches the host again.
dfu --quiet info
case "$DFU_OUT" in
    *"serial                  VP2-2024-000417"*) ok "info after the tools came back shows the serial" ;;
    *) flop "info after the tools came back: $DFU_OUT $DFU_ERR" ;;
esac
standin_reset reboot
expect_dfu 0 "board is rebooting" reboot
if wait_until 5 standin_called reboot; then
    ok "reboot called once it was back"
else
    flop "reboot was not called once it was back"
fi

# Space comes free during the retries: the upload goes on where it stopped
# (one MiB and a half free: the second chunk is written in part first).
rm -f /tmp/small/filler
dd if=/dev/zero of=/tmp/small/filler bs=524288 count=5 status=none
: >/tmp/small/firmware
new_image /tmp/image $((3 * MIB + 777))
log_mark
FAULTS=$((FAULTS + 1))
n=$(( $(err_count "write error: No space left on device") + 1 ))
bg_dfu --timeout 30000 upload /tmp/image
wait_err_count "write error: No space left on device" "$n" 20 || fail "the upload did not fill the file system"
rm -f /tmp/small/filler
wait "$BG_PID"
BG_RC=$(cat "$E2E_DIR/bg.rc")
[ "$BG_RC" = 0 ] || flop "the upload with space freed during the retries: dfuctl exit $BG_RC: $(cat "$E2E_DIR/bg.err")"
expect_no_line -x err "write error"
if same_file /tmp/image /tmp/small/firmware; then
    BYTES=$((BYTES + $(size_of /tmp/image)))
    ok "space freed during the retries: /tmp/firmware is the whole image"
else
    flop "space freed during the retries: $(where_differs /tmp/image /tmp/small/firmware)"
fi
dfu --quiet verify /tmp/image
if [ "$DFU_RC" = 0 ]; then
    BYTES=$((BYTES + $(size_of /tmp/image)))
    ok "and it verifies"
else
    flop "verify after the retried upload: exit $DFU_RC: $DFU_ERR"
fi

# Back to a plain file with room.
rm -f /tmp/firmware
umount /tmp/small || fail "cannot unmount the small tmpfs"
: >/tmp/firmware
new_image /tmp/image $((2 * MIB + 4321))
round_trip /tmp/image "after the full file system"

daemon_running || fail "the daemon ended"
faults_done
