# gadgetfs events as the daemon sees them: unplugging and plugging the cable
# back (DISCONNECT, CONNECT and a fresh enumeration), and a suspend by the
# host. The board must come back fully usable each time.
# e2e-timeout: 600
. /e2e/lib.sh

daemon_start secondary
wait_enumerated

# configured_again: after a fresh enumeration the daemon has configured its
# bulk endpoints anew and answers requests.
configured_again() {
    expect_order out "EP0 CONNECT" "Setup request 0 9 1 0" "Set config value" "ep1 configured" "ep2 configured"
    expect_dfu 0 "04 03 09 04" string 0
    expect_dfu 0 "$(printf '%s' "$E2E_SOC_SERIAL" | cut -c9-16) $BOARD_PATH 0x2711" list
}

for cycle in 1 2; do
    log_mark
    unplug
    # A stream thread may print into the unfinished event line, so only the
    # event's own text is looked for.
    wait_line out "EP0 DISCONNECT"
    expect_line out "Type:2. "
    expect_dfu_rc 69 list
    case "$DFU_ERR" in *"no board attached"*) ok "no board while unplugged" ;;
        *) fail "dfuctl list while unplugged: $DFU_ERR" ;; esac
    log_mark
    replug_and_wait
    configured_again
done

# Suspend: with autosuspend on and no driver bound, the host suspends the
# idle board at once. The daemon stops its bulk streams; the next request
# resumes the board, and it still answers.
log_mark
echo 0 >"$BOARD_SYSFS/power/autosuspend_delay_ms"
echo auto >"$BOARD_SYSFS/power/control"
wait_line out "Suspend Request!"
expect_line out "Type:4. "
expect_dfu 0 "$(string_descriptor_hex "Velko Pro DFU")" string 2
echo on >"$BOARD_SYSFS/power/control"

# Every batch of events is closed by a line holding a full stop.
E2E_MARK_out=0
expect_eq "$(count_lines out "event(s): ")" "$(count_lines -x out ".")" "event batches and their closing lines"
expect_no_line err "Read error"
daemon_running || fail "the daemon ended"
ok "the daemon still runs"

e2e_done
