# Nothing on the board can freeze ep0 or end the daemon:
#
#   1. A bridge tool that prints without end (looping on an error message)
#      is killed with its process group at the daemon's limit of 10 s; the
#      LED command answers as for a tool that cannot be started, dfuctl's
#      default time-out waits for that answer, and ep0 serves the next
#      request.
#   2. A FIFO at /tmp/firmware (any local user can make one): commands 8 and
#      9 answer at once with ENXIO in the reply's errno bytes, the upload
#      command halts bulk OUT, and SET_INTERFACE clears that halt again.
#   3. SIGUSR1 from outside, with the stream threads running and with none:
#      the daemon goes on answering.
# e2e-timeout: 180
. /e2e/lib.sh

LIMIT_MS=10000
ENXIO=6

daemon_start secondary
wait_enumerated

# ---------------------------------------------------------------------------
# 1. A bridge tool that prints without end, through a child of its own.

cat >"$E2E_DIR/endless-tool" <<'EOF'
#!/bin/sh
while :; do echo "error: no answer on /dev/ttyAMA1"; done &
echo "$$ $!" >/run/endless-tool.pids
wait
EOF
chmod +x "$E2E_DIR/endless-tool"
mount -o bind "$E2E_DIR/endless-tool" /usr/sbin/velko-bridge-cli || fail "cannot put the printing tool in place"

t0=$(now_ms)
expect_dfu 0 "Failed to run command" led rotate-orange
took=$(( $(now_ms) - t0 ))
[ "$took" -ge $((LIMIT_MS - 500)) ] && [ "$took" -lt $((LIMIT_MS + 4000)) ] \
    || fail "the LED command answered after $took ms (limit $LIMIT_MS ms)"
ok "the printing tool was stopped at its limit: answer after $took ms"
wait_line err "Tool stopped after 10 s without an end: /usr/sbin/velko-bridge-cli"
expect_dfu 0 "04 03 09 04" string 0
left=""
for pid in $(cat /run/endless-tool.pids); do
    grep -qs '^State:[[:space:]]*[^Z[:space:]]' "/proc/$pid/status" && left="$left $pid"
done
[ -z "$left" ] || fail "processes of the printing tool are still alive:$left"
ok "the printing tool and its child are gone"
umount /usr/sbin/velko-bridge-cli || fail "cannot put the stand-in back"

# ---------------------------------------------------------------------------
# 2. A FIFO at /tmp/firmware.

rm -f /tmp/firmware
mkfifo /tmp/firmware
for cmd in 8 9; do
    t0=$(now_ms)
    expect_dfu 0 "$(firmware_reply "$cmd" "$ENXIO")" control 0xc0 "$cmd" 0 0 24
    took=$(( $(now_ms) - t0 ))
    [ "$took" -lt 3000 ] || fail "command $cmd on a FIFO answered after $took ms"
done
ok "both firmware commands refused the FIFO at once"
expect_dfu 0 "04 03 09 04" string 0

# The upload command halted bulk OUT; SET_INTERFACE clears it as
# CLEAR_FEATURE does, and the next upload goes through.
expect_halted 0x01
expect_dfu 0 "" control 0x01 0x0b 0 0 0
expect_not_halted 0x01
rm -f /tmp/firmware
: >/tmp/firmware
make_image /tmp/image 300000
upload_ok /tmp/image
expect_sha256 /tmp/firmware "$(sha256_of /tmp/image)"

# ---------------------------------------------------------------------------
# 3. SIGUSR1 from outside, twice, half a second apart: while the stream
#    threads run (they take it), then with none (it waits in the mask).

usr1_twice() {
    kill -USR1 "$DAEMON_PID"
    sleep 0.5
    kill -USR1 "$DAEMON_PID"
    sleep 0.5
    daemon_running || fail "SIGUSR1 ended the daemon ($1)"
    expect_dfu 0 "04 03 09 04" string 0
    ok "the daemon survived SIGUSR1 ($1)"
}
usr1_twice "stream threads running"
log_mark
expect_dfu_rc 0 set-config 0
wait_line err " RX Thread exiting"
usr1_twice "no stream thread"
expect_dfu_rc 0 set-config 1
upload_ok /tmp/image
e2e_done
