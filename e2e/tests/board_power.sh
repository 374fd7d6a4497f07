# Reboot and shutdown: the 4-byte reply, the command line the daemon runs
# (recorded by the stand-ins), and their order: the host has its reply while
# "reboot" or "shutdown" is still held at its start, and the result line is
# printed before the command starts. The VM never really goes down: the
# commands are stand-ins, and the daemon goes on serving once they return.
# e2e-timeout: 600
. /e2e/lib.sh

# The request after a power command waits until the command has returned;
# under qemu-user on a busy machine that can take longer than dfuctl's
# default 5 s.
LONG="--timeout 20000"

T=$E2E_DIR/power
mkdir -p "$T"

# hold NAME: NAME (reboot or shutdown) becomes a gate in front of its
# recording stand-in: when the daemon runs it, it says so on the daemon's
# standard error and then waits until the test calls release NAME; only then
# does the stand-in run and record the call.
hold() {
    rm -f "$T/$1.release" "$T/$1.started"
    mkfifo "$T/$1.release"
    mkdir -p "$T/real"
    ln -sf /usr/local/bin/standin "$T/real/$1"
    rm -f "/usr/local/bin/$1"
    printf '#!/bin/sh\necho "%s is starting" >&2\n: >%s\nread -r go <%s\nexec %s "$@"\n' \
        "$1" "$T/$1.started" "$T/$1.release" "$T/real/$1" >"/usr/local/bin/$1"
    chmod 755 "/usr/local/bin/$1"
}
release() { echo go >"$T/$1.release"; }
# unhold NAME: NAME is the plain recording stand-in again.
unhold() { rm -f "/usr/local/bin/$1"; ln -s standin "/usr/local/bin/$1"; }

# calls NAME: how many times the stand-in NAME ran (a call without arguments
# is an empty line of its log).
calls() { line_count "$E2E_STANDINS/$1.log"; }
calls_are() { [ "$(calls "$1")" = "$2" ]; }

daemon_start secondary
wait_enumerated
standin_reset reboot
standin_reset shutdown

# power_order NAME DFUCTL-COMMAND MESSAGE RESULT-LINE: dfuctl gets its reply
# and ends while NAME is held at its start, so the reply cannot wait for
# NAME; the result line comes before NAME on the daemon's standard error; NAME
# runs once, without arguments, when released.
power_order() {
    hold "$1"
    log_mark
    expect_dfu 0 "$3" --timeout 10000 "$2"
    wait_until 10 test -f "$T/$1.started" || fail "$1 did not run after the reply to dfuctl $2"
    ok "$1 started after dfuctl $2 had its reply"
    wait_line err "$1 is starting"
    expect_order err "$4" "$1 is starting"
    release "$1"
    wait_until 10 calls_are "$1" 1 || fail "$1 ran $(calls "$1") times after its release, expected once"
    expect_standin_calls "$1" ""
    # The daemon serves again once the command has returned.
    expect_dfu 0 "01 00 00 00 76 31 2e 34 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00" \
        $LONG control 0xc0 0x01 0 0 24
    unhold "$1"
    standin_reset "$1"
}

power_order reboot reboot "board is rebooting" "ORVEN_REBOOT write result= [4]"
expect_order out "Vendor request" "bRequest: 10"
expect_eq "$(calls shutdown)" 0 "shutdown calls during the reboot command"
power_order shutdown shutdown "board is shutting down" "ORVEN_SHUTDOWN write result= [4]"
expect_order out "Vendor request" "bRequest: 11"
expect_eq "$(calls reboot)" 0 "reboot calls during the shutdown command"

# Raw requests: the reply is the command number and three zeros, 4 bytes even
# when more is asked for; the high nibble of bRequest is no part of the
# command number. Each request runs its command once.
log_mark
expect_dfu 0 "0a 00 00 00" $LONG control 0xc0 0x0a 0 0 64
expect_dfu 0 "0a 00 00 00" $LONG control 0xc0 0xfa 0 0 4
wait_until 10 calls_are reboot 2 || fail "reboot ran $(calls reboot) times for two requests"
ok "reboot ran once per request"
expect_dfu 0 "0b 00 00 00" $LONG control 0xc0 0x0b 0 0 255
wait_until 10 calls_are shutdown 1 || fail "shutdown ran $(calls shutdown) times for one request"
ok "shutdown ran once"
wait_count -x err "ORVEN_REBOOT write result= [4]" 2
wait_count -x err "ORVEN_SHUTDOWN write result= [4]" 1

# A reboot command that cannot be started: the shell says so, the reply is
# the same and the daemon goes on.
rm -f /usr/local/bin/reboot
log_mark
expect_dfu 0 "0a 00 00 00" $LONG control 0xc0 0x0a 0 0 4
wait_line err "reboot: not found"
expect_order err "ORVEN_REBOOT write result= [4]" "reboot: not found"
expect_dfu 0 '{"operation":"shutdown","message":"board is shutting down"}' $LONG --json shutdown
wait_until 10 calls_are shutdown 2 || fail "shutdown ran $(calls shutdown) times, expected 2"
ok "shutdown ran again"

e2e_done
