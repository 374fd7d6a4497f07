# A board tool that hangs (the bridge tool waiting on its serial port, mmc,
# a reboot that never returns) cannot freeze ep0: past the daemon's limit
# of 10 s its process group is killed and the command answers as for a
# tool that cannot be started; the next request is answered at once.
# e2e-timeout: 300
. /e2e/lib.sh

LIMIT_MS=10000

daemon_start secondary
wait_enumerated

zeros() { _z=$1; while [ "$_z" -gt 0 ]; do printf ' 00'; _z=$((_z - 1)); done; }

# hang_case TOOL WAITER REPLY ARGS...: TOOL hangs; the request ARGS gets
# REPLY. WAITER is the request that waits for the limit: the same one, or
# "next" (the reboot command answers before it runs its tool).
hang_case() {
    _hc_tool=$1 _hc_waiter=$2 _hc_reply=$3; shift 3
    standin_reset "$_hc_tool"
    standin_hang "$_hc_tool" 600
    t0=$(now_ms)
    expect_dfu 0 "$_hc_reply" --timeout 30000 control "$@"
    [ "$_hc_waiter" = same ] || expect_dfu 0 "04 03 09 04" --timeout 30000 string 0
    took=$(( $(now_ms) - t0 ))
    standin_called "$_hc_tool" || fail "$_hc_tool was not called"
    [ "$took" -ge $((LIMIT_MS - 500)) ] && [ "$took" -lt $((LIMIT_MS + 5000)) ] \
        || fail "ep0 was blocked for $took ms by a hanging $_hc_tool (limit $LIMIT_MS ms)"
    ok "ep0 answered again after $took ms"
    left=$(standin_processes "$_hc_tool")
    [ -z "$left" ] || fail "the hanging $_hc_tool's processes are still alive: $left"
    ok "the hanging $_hc_tool and its child are gone"
    expect_dfu 0 "04 03 09 04" string 0
    standin_reset "$_hc_tool"
}

#         tool              waits  reply                      request
hang_case velko-bridge-cli  same   "04 00 00 00$(zeros 35)"   0xc0 4 0 0 39
hang_case mmc               same   "03 00 00 00 00"           0xc0 3 0 0 512
hang_case reboot            next   "0a 00 00 00"              0xc0 10 0 0 4

# With the tools answering again, their output reaches the host again.
dfu --quiet info
case "$DFU_RC:$DFU_OUT" in
    0:*"VP2-2024-000417"*) ok "info shows the bridge tool's serial again" ;;
    *) fail "info after the hangs: exit $DFU_RC: $DFU_OUT" ;;
esac
daemon_running || fail "the daemon ended"
e2e_done
