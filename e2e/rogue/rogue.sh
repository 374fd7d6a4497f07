# dfuctl against a board that answers wrongly on purpose (gadgetdfu-rogue,
# one way per run of it): each command ends within its time-outs with the
# documented exit status and says why on standard error; never a crash, a
# hang, or a success where the lie reaches the command. A command the lie
# does not touch (list: the ids and the serial the kernel read) succeeds.
# e2e-timeout: 300
. /e2e/lib.sh

ROGUE=/usr/sbin/gadgetdfu-rogue
ROGUE_PID="" ROGUE_MODE=""
TIMEOUT_MS=2000     # dfuctl --timeout
LIMIT_MS=12000      # what any one command may take: time-outs, the idle end, start-up
E2E_DFU_TIMEOUT=30  # past this the command counts as hung (timeout's 124)

rogue_stop() {
    [ -n "$ROGUE_PID" ] || return 0
    kill -TERM "$ROGUE_PID" 2>/dev/null
    wait "$ROGUE_PID" 2>/dev/null
    ROGUE_PID=""
    wait_gone 10
}

# rogue_start MODE: the rogue board on the bus, enumerated by the host
# (configured, unless its descriptors keep the host from it).
rogue_start() {
    rogue_stop
    use_controller secondary
    "$ROGUE" "$1" >>"$E2E_DIR/rogue.log" 2>&1 &
    ROGUE_PID=$! ROGUE_MODE=$1
    wait_until 10 find_board || { cat "$E2E_DIR/rogue.log"; fail "the rogue board ($1) did not enumerate"; }
    wait_until 3 board_configured || say "  note: the host did not configure the rogue board ($1)"
    sleep 0.2
}

make_image /tmp/image.bin 100000
# Endless data ends in a full disk, not in a full host.
mkdir -p /run/small
mount -t tmpfs -o size=4m tmpfs /run/small || fail "cannot mount a small tmpfs"

TABLE="" BAD=""
# rogue_case MODE RC MESSAGE COMMAND...: against the rogue board in MODE,
# dfuctl COMMAND exits with RC within LIMIT_MS, and its standard error says
# MESSAGE (a fixed string; with RC 0 it may say nothing).
rogue_case() {
    _mode=$1 _rc=$2 _msg=$3; shift 3
    # A board that left the bus comes back for the next command.
    if [ "$_mode" != "$ROGUE_MODE" ] || ! kill -0 "$ROGUE_PID" 2>/dev/null || board_absent; then
        rogue_start "$_mode"
    fi
    echo "=== $_mode: dfuctl $*" >>"$E2E_DIR/rogue.log"
    _t0=$(now_ms)
    dfu --timeout "$TIMEOUT_MS" "$@"
    _took=$(( $(now_ms) - _t0 ))
    TABLE="$TABLE
$(printf '%-18s %-9s exit %-3s %6s ms  %s' "$_mode" "$1" "$DFU_RC" "$_took" "$(printf '%s' "$DFU_ERR" | head -n 1)")"
    _bad=""
    [ "$DFU_RC" = "$_rc" ] || _bad="exit status $DFU_RC, expected $_rc"
    [ "$_took" -le "$LIMIT_MS" ] || _bad="$_bad; took $_took ms (limit $LIMIT_MS)"
    if [ "$_rc" != 0 ]; then
        case "$DFU_ERR" in
            "dfuctl: "*"$_msg"*) ;;
            *) _bad="$_bad; standard error does not say '$_msg'" ;;
        esac
    fi
    # Every case runs; the differences are told together at the end.
    if [ -n "$_bad" ]; then
        BAD="$BAD
rogue $_mode: dfuctl $*: $_bad"
        return
    fi
    ok "rogue $_mode: dfuctl $* -> $_rc in $_took ms"
}

DL="download /tmp/out.img"
FLASH="flash /tmp/image.bin"
#          mode               exit  message                                command
rogue_case long-reply         0     ""                                     list
rogue_case long-reply         76    "malformed flash size"                 info
rogue_case long-reply         0     ""                                     describe
rogue_case long-reply         0     ""                                     strings
rogue_case long-reply         72    "cannot open its image file"           $DL
rogue_case long-reply         72    "cannot open its image file"           $FLASH
rogue_case wrong-command      0     ""                                     list
rogue_case wrong-command      76    "malformed reply to GET_VERSION"       info
rogue_case wrong-command      0     ""                                     describe
rogue_case wrong-command      0     ""                                     strings
rogue_case wrong-command      76    "malformed reply to READ_FIRMWARE"     $DL
rogue_case wrong-command      76    "malformed reply to WRITE_FIRMWARE"    $FLASH
rogue_case lying-descriptors  0     ""                                     list
rogue_case lying-descriptors  0     ""                                     info
rogue_case lying-descriptors  76    "malformed configuration descriptor"   describe
rogue_case lying-descriptors  76    "malformed string descriptor 1"        strings
rogue_case lying-descriptors  0     ""                                     $DL
rogue_case lying-descriptors  65    "differs"                              $FLASH
rogue_case endless-in         0     ""                                     list
rogue_case endless-in         0     ""                                     info
rogue_case endless-in         0     ""                                     describe
rogue_case endless-in         0     ""                                     strings
rogue_case endless-in         71    "No space left on device"              download /run/small/out.img
rogue_case endless-in         76    "sent more data than asked for"        $FLASH
rogue_case stall-all          0     ""                                     list
rogue_case stall-all          76    "request stalled (GET_VERSION)"        info
rogue_case stall-all          0     ""                                     describe
rogue_case stall-all          0     ""                                     strings
rogue_case stall-all          76    "request stalled (READ_FIRMWARE)"      $DL
rogue_case stall-all          76    "request stalled (WRITE_FIRMWARE)"     $FLASH
rogue_case disconnect         0     ""                                     list
rogue_case disconnect         74    "vanished"                             info
rogue_case disconnect         0     ""                                     describe
rogue_case disconnect         0     ""                                     strings
rogue_case disconnect         74    "vanished"                             $DL
rogue_case disconnect         74    "vanished"                             $FLASH
rogue_stop

say "rogue board results:$TABLE"
if [ -n "$BAD" ]; then
    say "--- the rogue board's own log, last 80 lines:"
    tail -n 80 "$E2E_DIR/rogue.log"
    fail "against the rogue board:$BAD"
fi
e2e_done
