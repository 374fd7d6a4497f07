# dfuctl stopped by SIGINT or SIGTERM in each kind of wait: exit 130, one
# JSON value, one --log line ("result":"interrupted"), no temporary file
# left, and the board serves the next command; a request a board tool
# holds up ends at the signal, not when the board answers. Also where the
# JSON of `download -` goes, and the empty images upload and verify refuse.
# e2e-timeout: 300
. /e2e/lib.sh

daemon_start secondary
wait_enumerated
standin_reset reboot

# interrupted SIGNALS WHEN ARGS...: runs dfuctl --json --log in the
# background, sends each of SIGNALS ("INT", or "TERM TERM" for two) once
# the shell command WHEN succeeds, and checks the exit status, the one line
# of JSON and the log: LOG_LINES lines (default 1; one per board more with
# several boards), the last "result":"interrupted".
interrupted() {
    _i_signals=$1 _i_when=$2; shift 2
    rm -f "$E2E_DIR/i.log"
    DFU_CMD="dfuctl $*"
    # Standard input from descriptor 3: a command put in the background
    # would otherwise read /dev/null.
    timeout -k 2 120 dfuctl --json --log "$E2E_DIR/i.log" "$@" <&3 >"$E2E_DIR/dfu.out" 2>"$E2E_DIR/dfu.err" &
    _i_pid=$!
    for _i_signal in $_i_signals; do
        wait_until 60 eval "$_i_when" || fail "dfuctl $*: never reached the point to signal ($_i_when)"
        sleep 0.5
        kill -s "$_i_signal" "$_i_pid"
    done
    wait "$_i_pid"
    DFU_RC=$?
    DFU_OUT=$(cat "$E2E_DIR/dfu.out") DFU_ERR=$(cat "$E2E_DIR/dfu.err")
    [ "$DFU_RC" = 130 ] || fail "dfuctl $*: exit status $DFU_RC after SIG$_i_signals, expected 130"
    [ "$(wc -l <"$E2E_DIR/dfu.out")" = 1 ] && grep -q '"exit\(_code\)\?":130' "$E2E_DIR/dfu.out" ||
        fail "dfuctl $*: not one JSON value with exit 130"
    [ "$(wc -l <"$E2E_DIR/i.log")" = "${LOG_LINES:-1}" ] &&
        tail -n 1 "$E2E_DIR/i.log" | grep -q '"exit":130,"result":"interrupted"' ||
        fail "dfuctl $*: log: $(cat "$E2E_DIR/i.log")"
    ok "dfuctl $* -> 130 after SIG$_i_signals, one JSON value, one log line"
}

exec 3</dev/null
make_image /tmp/image 1048576
: >/tmp/firmware
expect_dfu_rc 0 upload /tmp/image

# download waits --idle-ms after the last full packet: the signal lands
# there, with the data in the temporary file beside FILE.
mkdir -p /tmp/dl
interrupted INT 'ls /tmp/dl | grep -q dfuctl' download --idle-ms 60000 /tmp/dl/out.bin
[ -z "$(ls /tmp/dl)" ] || fail "download left $(ls /tmp/dl)"
ok "the interrupted download left no file"

# An image from a FIFO without a writer (the open blocks) and from a pipe
# that sends nothing (the read blocks).
mkfifo /tmp/fifo
interrupted TERM 'sleep 2' upload /tmp/fifo
exec 3<>/tmp/fifo
interrupted INT 'sleep 2' upload -
exec 3</dev/null

# The wait for a rebooted board: the stand-in does not reboot it.
interrupted INT 'standin_called reboot' flash --reboot --wait=60 /tmp/image
standin_reset reboot
# Several boards: the first signal lets the board finish (its wait), the
# second aborts it.
LOG_LINES=2
interrupted "TERM TERM" 'standin_called reboot' flash --all --reboot --wait=60 /tmp/image
LOG_LINES=1
case "$DFU_OUT" in
    '{"boards":[{'*'"result":"aborted"'*'"summary":{'*) ok "flash --all printed one object with the aborted board" ;;
    *) fail "flash --all --json printed: $DFU_OUT" ;;
esac
standin_reset reboot

# The board serves the next command.
expect_dfu_rc 0 verify /tmp/image

# A bridge tool that takes 6 s: the LED command ends at the signal, and
# the board serves the next command once the tool has ended.
printf '#!/bin/sh\nsleep 6\n' >"$E2E_DIR/slow-tool"
chmod +x "$E2E_DIR/slow-tool"
mount -o bind "$E2E_DIR/slow-tool" /usr/sbin/velko-bridge-cli || fail "cannot put the slow tool in place"
t0=$(now_ms)
interrupted INT 'sleep 0.5' led rotate-orange
took=$(( $(now_ms) - t0 ))
[ "$took" -lt 4000 ] || fail "the interrupted LED command ended after $took ms; the tool takes 6000"
ok "the LED command ended $took ms after it started, at the signal"
sleep 6
umount /usr/sbin/velko-bridge-cli || fail "cannot put the stand-in back"
expect_dfu_rc 0 info

# download -: standard output carries the image only; the JSON goes to
# standard error.
dfuctl --json download - >"$E2E_DIR/image.out" 2>"$E2E_DIR/image.err"
same_file "$E2E_DIR/image.out" /tmp/image || fail "download - wrote more than the image: $(cat "$E2E_DIR/image.err")"
grep -q '"operation":"download"' "$E2E_DIR/image.err" || fail "download - JSON: $(cat "$E2E_DIR/image.err")"
ok "download - wrote the image alone; its JSON went to standard error"

: >/tmp/empty
expect_dfu_fails 66 "it is empty" upload /tmp/empty
expect_dfu_fails 66 "it is empty" verify /tmp/empty

e2e_done
