# Firmware transfers after the host changed the device's state: a repeated
# SET_CONFIGURATION 1, SET_CONFIGURATION 0 then 1, SET_INTERFACE sent while
# the RX thread waits in its read (acknowledged at once), and an unplug and
# replug. Each is followed by an upload and a download, byte for byte.
# e2e-timeout: 600
# e2e-memory: 512
. /e2e/lib.sh

IMG=/tmp/img
DL=/tmp/downloaded
FW=/tmp/firmware
mkdir -p "$IMG"

# round_trip NAME SIZE: an image of SIZE bytes (not a multiple of 512, so
# that the download ends at a short packet) uploaded into an empty
# /tmp/firmware and downloaded whole again.
round_trip() {
    make_image "$IMG/$1" "$2"
    : >"$FW"
    upload_ok "$IMG/$1"
    expect_same_file "$FW" "$IMG/$1"
    rm -f "$DL"
    log_mark
    expect_dfu_rc 0 download "$DL"
    expect_summary downloaded "$2"
    expect_same_file "$DL" "$IMG/$1"
}

# threads_started: after a SET_CONFIGURATION 1 since the mark, the daemon
# configured both endpoint files and started a new pair of stream threads.
threads_started() {
    expect_order out "Setup request 0 9 1 0" "Set config value" "ep1 configured" "ep2 configured"
    wait_line err "Starting RX thread: 0"
    wait_line err "Starting TX thread"
}

# rx_in_read: the RX thread's last line says it went into its read of the
# OUT endpoint (gadgetfs endpoint files cannot be polled, so select returns
# at once and the thread then waits in the read).
# shellcheck disable=SC2317 # called through wait_until
rx_in_read() {
    _rl=$(grep -F "RX Thread" "$E2E_DIR/daemon.out" | tail -n 1)
    case "$_rl" in *"RX Thread read data from usb") return 0 ;; esac
    return 1
}

# now_cs: the VM's uptime in hundredths of a second.
now_cs() {
    read -r _up _rest </proc/uptime
    echo "${_up%.*}${_up#*.}"
}

daemon_start secondary
wait_enumerated

# ---------------------------------------------------------------------------
say "# SET_CONFIGURATION 1 while configuration 1 is selected"
log_mark
expect_dfu_rc 0 set-config 1
threads_started
# The old pair left before the new one started.
expect_order err " RX Thread exiting" "Starting RX thread: 0"
expect_order err " TX Thread exiting" "Starting TX thread"
expect_eq "$(cat "$BOARD_SYSFS/bConfigurationValue")" 1 "configuration"
round_trip one 1500001

# ---------------------------------------------------------------------------
say "# SET_CONFIGURATION 0, then 1"
log_mark
expect_dfu_rc 0 set-config 0
expect_line -x out "Disable threads"
wait_line err " RX Thread exiting"
wait_line err " TX Thread exiting"
expect_eq "$(cat "$BOARD_SYSFS/bConfigurationValue")" "" "configuration after SET_CONFIGURATION 0"
log_mark
expect_dfu_rc 0 set-config 1
threads_started
expect_eq "$(cat "$BOARD_SYSFS/bConfigurationValue")" 1 "configuration"
round_trip two 777777

# ---------------------------------------------------------------------------
say "# SET_INTERFACE while the RX thread waits in its read"
# The bound is dfuctl's --timeout, which limits the control transfer itself:
# a daemon that held the request until the RX thread's read came back (an
# endpoint ioctl waits for a read in progress on that file) makes it time
# out, exit 75. The whole dfuctl run is timed as well, but only loosely: on a
# busy host the start of dfuctl under TCG alone has taken close to 4 s.
wait_until "$E2E_WAIT" rx_in_read || fail "the RX thread is not waiting in its read"
sleep 0.2
log_mark
t0=$(now_cs)
expect_dfu 0 "" --timeout 2000 control 0x01 0x0b 0 0 0
t1=$(now_cs)
[ $((t1 - t0)) -lt 1000 ] || fail "dfuctl took $((t1 - t0))0 ms for SET_INTERFACE"
ok "SET_INTERFACE acknowledged within 2 s, dfuctl done in $((t1 - t0))0 ms"
expect_order out "Setup request 1 11 0 0" "Standard/Class request" "SET_INTERFACE"
# The class request with bRequest 11 is handled alike.
t0=$(now_cs)
expect_dfu 0 "" --timeout 2000 control 0x21 0x0b 0 0 0
t1=$(now_cs)
[ $((t1 - t0)) -lt 1000 ] || fail "dfuctl took $((t1 - t0))0 ms for the class SET_INTERFACE"
ok "class SET_INTERFACE acknowledged within 2 s, dfuctl done in $((t1 - t0))0 ms"
expect_line out "Setup request 33 11 0 0"
expect_count -x out "SET_INTERFACE" 2
# The RX thread was in its read all along: the acknowledgements did not wait
# for it to come out.
expect_no_line out "RX Thread read data done from usb"
round_trip three 2000003

# ---------------------------------------------------------------------------
say "# unplug and replug"
log_mark
unplug
wait_line out "EP0 DISCONNECT"
wait_line err " RX Thread exiting"
wait_line err " TX Thread exiting"
log_mark
replug_and_wait
expect_order out "EP0 CONNECT" "Set config value" "ep1 configured" "ep2 configured"
wait_line err "Starting RX thread: 0"
round_trip four 1234567

expect_no_line err "Read error"
daemon_running || fail "the daemon ended"
ok "the daemon still runs"
e2e_done
