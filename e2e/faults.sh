# shellcheck shell=dash disable=SC2034 # the variables are for the tests that source this
# Helpers of the fault-injection tests (tests/faults_*.sh); sourced after
# lib.sh, inside the VM:
#
#   . /e2e/lib.sh
#   . /e2e/faults.sh
#
# A fault test counts what it injected (FAULTS), the bytes it found
# byte-exact (BYTES) and its failed checks (FAILURES); the last line of its
# output, however it ends, is
#   faults: N faults injected, N bytes verified, N failures
# which the test command sums over all fault tests. A failed check (flop)
# does not end the test at once, so that the count means something.
#
# Random choices come from a seeded generator; the seed is printed and
# FAULTS_SEED=N (run-vm.sh --env) repeats them.

MIB=1048576
FAULTS=0 BYTES=0 FAILURES=0

# ---------------------------------------------------------------------------
# Counting

faults_exit() {
    _fx_rc=$?
    [ "$_fx_rc" = 0 ] || [ "$FAILURES" -gt 0 ] || FAILURES=1
    printf 'faults: %d faults injected, %d bytes verified, %d failures\n' "$FAULTS" "$BYTES" "$FAILURES"
    (exit "$_fx_rc")
    e2e_on_exit
}
trap faults_exit EXIT

# flop MESSAGE: a failed check that does not end the test at once; five of
# them do end it.
flop() {
    FAILURES=$((FAILURES + 1))
    say "FAILED CHECK $FAILURES: $*"
    [ -n "${BG_CMD:-}" ] && say "  (last background run: $BG_CMD, exit ${BG_RC:-?}: $(head -c 300 "$E2E_DIR/bg.err" 2>/dev/null))"
    [ "$FAILURES" -lt 5 ] || fail "giving up after $FAILURES failed checks"
}

# faults_done [SUMMARY]: the end of a fault test: fails on any failed
# check, else counts SUMMARY as a check that held.
faults_done() {
    [ "$FAILURES" = 0 ] || fail "$FAILURES failed check(s)"
    [ $# = 0 ] || ok "$1"
    e2e_done
}

# ---------------------------------------------------------------------------
# Chance and time

# Seeded pseudo-random numbers (31-bit LCG): rand N sets R to 0..N-1.
FAULTS_SEED=${FAULTS_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' \n')}
RNG=$((FAULTS_SEED % 2147483648))
say "faults seed: $FAULTS_SEED (FAULTS_SEED=$FAULTS_SEED repeats these choices)"
rand() {
    RNG=$(( (RNG * 1103515245 + 12345) % 2147483648 ))
    _r_hi=$(( RNG / 65536 ))
    RNG=$(( (RNG * 1103515245 + 12345) % 2147483648 ))
    R=$(( (_r_hi * 32768 + RNG / 65536) % $1 ))
}
sleep_ms() { sleep "$(( $1 / 1000 )).$(printf %03d $(( $1 % 1000 )))"; }

# ms_per_mib TEXT: the milliseconds per MiB of a dfuctl summary line
# ("... N bytes in S s ..."), at least 1; nothing when there is none.
ms_per_mib() {
    printf '%s\n' "$1" | sed -n 's/.* \([0-9][0-9]*\) bytes in \([0-9.]*\) s.*/\1 \2/p' | head -n 1 \
        | awk '$1 > 0 { v = int($2 * 1000 * 1048576 / $1); if (v < 1) v = 1; print v }'
}

# where_differs A B: cmp's report (slow; for failure messages only).
where_differs() { cmp "$1" "$2" 2>&1 | head -n 1; }

# ---------------------------------------------------------------------------
# The daemon's console, read whole (a fault test looks past marks).

# err_count TEXT: how many lines contain TEXT.
err_count() { grep -cF -e "$1" "$E2E_DIR/daemon.err"; }
# wait_err_count TEXT N [SECONDS]: until at least N do (polled every 10 ms).
wait_err_count() {
    _wc_polls=0
    while [ "$(err_count "$1")" -lt "$2" ]; do
        _wc_polls=$((_wc_polls + 1))
        [ "$_wc_polls" -lt $(( ${3:-10} * 100 )) ] || return 1
        sleep 0.01
    done
}
# The vendor commands that start a transfer, as the daemon logs them.
UPLOAD_CMD="ORVEN_WRITE_FIRMWARE write result"
DOWNLOAD_CMD="ORVEN_READ_FIRMWARE write result"
# next_count TEXT: the count wait_err_count is to wait for after one more.
next_count() { echo $(( $(err_count "$1") + 1 )); }

# disk_writes FROM: from the daemon's standard output after line FROM, sets
# WRITTEN to the sum of what its file writes returned and PENDING to the
# size of a write it started but had not seen return (0 if none). Matched
# anywhere in a line: another thread's unfinished line may precede it.
disk_writes() {
    # shellcheck disable=SC2046 # two numbers
    set -- $(tail -n "+$(( $1 + 1 ))" "$E2E_DIR/daemon.out" | awk '
        match($0, /write_all to disk to_write: [0-9]+/) {
            split(substr($0, RSTART, RLENGTH), f, ": "); pending = f[2] + 0 }
        match($0, /write_all to disk bytesWritten: -?[0-9]+/) {
            split(substr($0, RSTART, RLENGTH), f, ": "); if (f[2] + 0 > 0) written += f[2]; pending = 0 }
        END { print written + 0, pending + 0 }')
    WRITTEN=$1 PENDING=$2
}

# ---------------------------------------------------------------------------
# Transfers with a held end. An upload reads its image from a pipe whose
# last byte is held back; a download writes into a pipe that is not read,
# and is longer than the transfers dfuctl keeps in flight.
# Neither can finish before release, so a fault injected meanwhile always
# lands inside the transfer however fast or slow the machine is; a random
# delay chooses where.
#
# held_feeder IMAGE: feeds IMAGE into $E2E_DIR/up.fifo but its last byte,
# which follows once $E2E_DIR/release exists (BG_FEEDER: its process id).
held_feeder() {
    rm -f "$E2E_DIR/release" "$E2E_DIR/up.fifo"
    mkfifo "$E2E_DIR/up.fifo"
    { dd if="$1" bs=65536 count=$(( $(size_of "$1") - 1 )) iflag=count_bytes status=none
      while [ ! -e "$E2E_DIR/release" ]; do sleep 0.02; done
      tail -c 1 "$1"; } >"$E2E_DIR/up.fifo" 2>/dev/null &
    BG_FEEDER=$!
}
# held_reader FILE: what is written into the standard input reaches FILE
# once $E2E_DIR/release exists (run at the end of a pipe).
held_reader() { while [ ! -e "$E2E_DIR/release" ]; do sleep 0.02; done; cat >"$1"; }

# bg_upload_held IMAGE; bg_download_held LENGTH FILE (the bytes reach FILE
# once released); bg_dfu ARGS... (not held). All run dfuctl in the
# background with a time limit; its exit status lands in bg.rc.
bg_upload_held() {
    BG_CMD="dfuctl upload (pipe from $1)"
    rm -f "$E2E_DIR/bg.rc"
    held_feeder "$1"
    { timeout -k 2 60 dfuctl --quiet upload "$E2E_DIR/up.fifo" >"$E2E_DIR/bg.out" 2>"$E2E_DIR/bg.err"
      echo $? >"$E2E_DIR/bg.rc"; } &
    BG_PID=$!
}
bg_download_held() {
    BG_CMD="dfuctl download --length $1 - (into a held pipe)"
    rm -f "$E2E_DIR/bg.rc" "$E2E_DIR/release"
    : >"$2"
    { timeout -k 2 60 dfuctl --quiet download --length "$1" - 2>"$E2E_DIR/bg.err"
      echo $? >"$E2E_DIR/bg.rc"; } | held_reader "$2" &
    BG_PID=$! BG_FEEDER=""
}
bg_dfu() {
    BG_CMD="dfuctl $*"
    rm -f "$E2E_DIR/bg.rc" "$E2E_DIR/release"
    { timeout -k 2 60 dfuctl --quiet "$@" >"$E2E_DIR/bg.out" 2>"$E2E_DIR/bg.err"
      echo $? >"$E2E_DIR/bg.rc"; } &
    BG_PID=$! BG_FEEDER=""
}
bg_running() { [ ! -s "$E2E_DIR/bg.rc" ]; }
# release: lets a held transfer go on; waits for dfuctl (sets BG_RC, BG_ERR).
release() {
    : >"$E2E_DIR/release"
    wait "$BG_PID"
    [ -z "$BG_FEEDER" ] || wait "$BG_FEEDER"
    BG_RC=$(cat "$E2E_DIR/bg.rc" 2>/dev/null)
    BG_ERR=$(cat "$E2E_DIR/bg.err")
}

# expect_vanished WHAT: the background dfuctl ended with "board vanished".
expect_vanished() {
    case "$BG_RC:$BG_ERR" in
        "$DFU_EXIT_VANISHED":*"$DFU_MSG_VANISHED"*) ;;
        *) flop "$1: dfuctl exit $BG_RC, expected $DFU_EXIT_VANISHED (board vanished): $BG_ERR" ;;
    esac
}
