# Faults on the board itself: the daemon killed in the middle of transfers,
# and missing or unusable board tools. After each, the daemon (restarted
# where it was killed) must go on serving, and the next upload must be
# byte-exact. (A missing firmware file, a full file system and a hanging
# tool have tests of their own: firmware_missing, firmware_full, tool_hang.)
#
#   1. SIGKILL mid-upload, five times: /tmp/firmware (emptied before) holds
#      exactly the image's first bytes, as many as the daemon's log says
#      its file writes returned: whole 1 MiB chunks. A kill that lands
#      inside the write(2) of a chunk can leave part of that chunk (the
#      kernel stops copying at a page boundary when the process is killed);
#      then only whole pages of that one chunk may be there beyond what the
#      log shows (whose lines about the chunk may not have reached the
#      console yet). SIGKILL mid-download once: the file is untouched.
#   2. The board tools removed, then present but not executable: GET_EMMC_
#      PROPERTIES, GET_SERIAL, the LED commands, REBOOT and SHUTDOWN answer
#      with well-formed replies that carry nothing from the tool; once they
#      are back, their output reaches the host again.
#
# Random delays come from a seeded generator (FAULTS_SEED=N repeats them).
# e2e-timeout: 600
. /e2e/lib.sh
. /e2e/faults.sh

KILLS=${FAULTS_KILLS:-5}

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
    elif [ "$PENDING" = 0 ] && [ "$have" = "$WRITTEN" ]; then
        # Between two chunks: exactly what the writes returned.
        BYTES=$((BYTES + have))
        ok "kill $k after $delay ms, between chunks: /tmp/firmware = the image's first $have bytes"
    elif [ "$PENDING" = 0 ]; then
        # The RX thread holds its lines about a chunk until it next waits
        # for the host, so a kill during the chunk's write or sync takes
        # them along: at most that one chunk, in whole pages, is there
        # beyond what the log shows.
        part=$((have - WRITTEN))
        if [ "$part" -gt 0 ] && [ "$part" -le "$MIB" ] && [ $((part % 4096)) = 0 ]; then
            kill_inside_write=$((kill_inside_write + 1))
            BYTES=$((BYTES + have))
            ok "kill $k after $delay ms, inside a chunk not yet logged: /tmp/firmware = the image's first $have bytes ($WRITTEN + $part)"
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
# 2. The board tools are gone or cannot run: the replies keep their form and
# carry nothing from the tool; the daemon reports the shell's complaint.

TOOLS="/usr/local/bin/mmc /usr/sbin/velko-bridge-cli /usr/local/bin/reboot /usr/local/bin/shutdown"
zeros() { _z=$1; while [ "$_z" -gt 0 ]; do printf ' 00'; _z=$((_z - 1)); done; }

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

tools_broken removed
tools_broken "not executable"
tools_back
expect_dfu 0 "04 03 09 04" string 0

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

new_image /tmp/image $((2 * MIB + 4321))
round_trip /tmp/image "after the tool faults"

daemon_running || fail "the daemon ended"
faults_done
