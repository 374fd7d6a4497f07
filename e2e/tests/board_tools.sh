# The commands that run the board's bridge tool and mmc: the serial number
# and the three LED patterns byte for byte over raw vendor requests, with tool
# outputs from empty to longer than the reply holds, the exact command lines
# (recorded by the stand-ins), and what the daemon does when a tool cannot be
# started. dfuctl led is checked against the same replies.
# e2e-timeout: 600
. /e2e/lib.sh

# Commands that run a tool wait for it before they reply; under qemu-user on
# a busy machine that can take longer than dfuctl's default 5 s.
LONG="--timeout 20000"

T=$E2E_DIR/tools
mkdir -p "$T"
BRIDGE=velko-bridge-cli
BRIDGE_ARGS="--baud 115200 --port /dev/ttyAMA1"

# ---------------------------------------------------------------------------
# Helpers

# hex_file FILE: the bytes of FILE as dfuctl prints them.
hex_file() { od -An -v -tx1 "$1" | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'; }

# frame CMD LENGTH [FILE [AREA]]: the reply the daemon has to send: the
# command number, three zero bytes, the first AREA bytes of FILE (all of it
# without AREA), then zeros up to LENGTH bytes in all.
frame() {
    {
        # shellcheck disable=SC2059 # the format is the command byte as an escape
        printf "\\$(printf %03o "$1")\\000\\000\\000"
        if [ -n "${3:-}" ]; then
            if [ -n "${4:-}" ]; then head -c "$4" "$3"; else cat "$3"; fi
        fi
        head -c "$2" /dev/zero
    } | head -c "$2" >"$T/frame.bin"
    hex_file "$T/frame.bin"
}

# expect_reply WHAT BREQUEST EXPECTED_HEX: the device-to-host vendor request
# (bmRequestType 0xC0, wValue and wIndex 0, wLength 255) is answered with
# exactly these bytes.
expect_reply() {
    dfu $LONG control 0xc0 "$2" 0 0 255
    [ "$DFU_RC" = 0 ] || fail "$1: exit status $DFU_RC"
    [ "$DFU_OUT" = "$3" ] || fail "$1: the reply was
$DFU_OUT
expected
$3"
    ok "$1: $(( ($(printf %s "$3" | wc -c) + 1) / 3 )) bytes as expected"
}

# text FILE N: N bytes of text in lines of 19 letters and a newline; the
# letters run through the alphabet in steps of 7, so a cut or a shift shows.
text() {
    awk -v n="$2" 'BEGIN { for (i = 0; i < n; i++) printf "%c", (i % 20 == 19) ? 10 : 65 + (i * 7 + int(i / 20)) % 26 }' >"$1"
    [ "$(wc -c <"$1")" = "$2" ] || fail "text: $1 has $(wc -c <"$1") bytes, not $2"
}

# A velko-bridge-cli earlier on PATH that only notes its calls: the daemon
# has to run the board's tool by its full path /usr/sbin/velko-bridge-cli.
printf '#!/bin/sh\necho "$*" >>%s/decoy.log\necho decoy\n' "$T" >/usr/local/bin/$BRIDGE
chmod 755 /usr/local/bin/$BRIDGE

daemon_start secondary
wait_enumerated

# ---------------------------------------------------------------------------
# Serial number: up to 35 bytes of "velko-bridge-cli ... get_serial", as the
# tool printed them (newlines included, no NUL added), in a 39-byte reply.
standin_reset $BRIDGE
log_mark
printf 'VP2-2024-000417\n' >"$T/serial-usual"
expect_reply "serial, usual output" 0x04 "$(frame 4 39 "$T/serial-usual")"
for size in 0 3 35 50 100 150; do
    text "$T/out-$size" "$size"
    standin_output_file $BRIDGE get_serial "$T/out-$size"
    expect_reply "serial, $size-byte output" 0x04 "$(frame 4 39 "$T/out-$size" 35)"
done
expect_order out "Vendor request" "bRequest: 4"
wait_count -x err "ORVEN_GET_SERIAL write result= [39]" 7
expect_standin_calls $BRIDGE "$(for _ in 1 2 3 4 5 6 7; do echo "$BRIDGE_ARGS get_serial"; done)"
standin_output_file $BRIDGE get_serial "$T/serial-usual"

# ---------------------------------------------------------------------------
# LED ring: "velko-bridge-cli ... set_ledring PATTERN" and the first 100 bytes
# of its output in a 104-byte reply. The output lengths are spread over the
# three patterns; each pattern word gets its own output.
standin_reset $BRIDGE
log_mark
set -- 5 breathe_orange 0   6 rotate_orange 3   7 breathe_red 35 \
       5 breathe_orange 50  6 rotate_orange 100 7 breathe_red 150
calls=""
while [ $# -ge 3 ]; do
    text "$T/out-$3" "$3"
    standin_output_file $BRIDGE "$2" "$T/out-$3"
    expect_reply "LED $2, $3-byte output" "0x0$1" "$(frame "$1" 104 "$T/out-$3" 100)"
    calls="$calls${calls:+
}$BRIDGE_ARGS set_ledring $2"
    shift 3
done
expect_standin_calls $BRIDGE "$calls"
wait_count -E err '^ORVEN_LED_[A-Z_]* write result= \[104\]$' 6
expect_order err "ORVEN_LED_BREATHE_ORANGE write result= [104]" "ORVEN_LED_ROTATE_ORANGE write result= [104]" \
    "ORVEN_LED_BREATHE_RED write result= [104]"

# One line of 150 characters fills the area with its first 100; dfuctl led
# prints them as the board returned them.
awk 'BEGIN { for (i = 0; i < 150; i++) printf "%c", 48 + i % 43; printf "\n" }' >"$T/led-line"
standin_output_file $BRIDGE rotate_orange "$T/led-line"
expect_reply "LED rotate_orange, one 150-character line" 0x06 "$(frame 6 104 "$T/led-line" 100)"
head -c 100 "$T/led-line" >"$T/led-line-100"
printf '\n' >>"$T/led-line-100"
expect_dfu_rc 0 $LONG led rotate-orange
expect_same_file "$E2E_DIR/dfu.out" "$T/led-line-100"
standin_output_file $BRIDGE breathe_red "$T/out-3"
expect_dfu 0 "$(cat "$T/out-3")" $LONG led breathe-red
expect_eq "$(standin_calls $BRIDGE | tail -n 3)" "$BRIDGE_ARGS set_ledring rotate_orange
$BRIDGE_ARGS set_ledring rotate_orange
$BRIDGE_ARGS set_ledring breathe_red" "the last calls of $BRIDGE"

# ---------------------------------------------------------------------------
# Tools that cannot be started: the shell says why on the daemon's standard
# error and the reply keeps its frame, with nothing in the payload.
rm -f /usr/sbin/$BRIDGE
log_mark
expect_reply "serial without the bridge tool" 0x04 "$(frame 4 39)"
expect_reply "LED without the bridge tool" 0x06 "$(frame 6 104)"
wait_count err "/usr/sbin/$BRIDGE: not found" 2
wait_line -x err "ORVEN_LED_ROTATE_ORANGE write result= [104]"
expect_order err "/usr/sbin/$BRIDGE: not found" "ORVEN_GET_SERIAL write result= [39]" \
    "/usr/sbin/$BRIDGE: not found" "ORVEN_LED_ROTATE_ORANGE write result= [104]"

printf '#!/bin/sh\necho never\n' >/usr/sbin/$BRIDGE
chmod 644 /usr/sbin/$BRIDGE
log_mark
expect_reply "LED with a bridge tool that is not executable" 0x07 "$(frame 7 104)"
wait_line err "/usr/sbin/$BRIDGE: Permission denied"

mv /usr/local/bin/mmc "$T/mmc.away"
log_mark
expect_reply "eMMC values without mmc" 0x03 "03 00 00 00 00"
wait_line err "mmc: not found"
wait_line -x err "ORVEN_GET_EMMC_PROPERTIES write result= [5]"

# Without a shell the commands cannot be started at all: "Failed to run
# command" for each; the LED reply carries that text. (Under qemu-user the
# daemon's spawn is a fork whose failed exec its parent never hears of, so
# this part needs the native daemon.)
if [ -z "$E2E_DAEMON_WRAPPER" ]; then
    mv /bin/sh /bin/sh.away
    log_mark
    expect_reply "serial without a shell" 0x04 "$(frame 4 39)"
    printf 'Failed to run command' >"$T/failed"
    expect_reply "LED without a shell" 0x05 "$(frame 5 104 "$T/failed")"
    expect_reply "eMMC values without a shell" 0x03 "03 00 00 00 00"
    mv /bin/sh.away /bin/sh
    expect_count -x err "Failed to run command" 3
    expect_order err "Failed to run command" "ORVEN_GET_SERIAL write result= [39]" "Failed to run command"
else
    say "  note: the run without a shell needs the native daemon; skipped under $E2E_DAEMON_WRAPPER"
fi

# The tools back: the daemon runs the bridge tool again, and it never ran the
# one on PATH.
rm -f /usr/sbin/$BRIDGE
ln -s ../local/bin/standin /usr/sbin/$BRIDGE
mv "$T/mmc.away" /usr/local/bin/mmc
expect_reply "serial with the bridge tool back" 0x04 "$(frame 4 39 "$T/serial-usual")"
expect_eq "$(cat "$T/decoy.log" 2>/dev/null)" "" "calls of the $BRIDGE found on PATH"

e2e_done
