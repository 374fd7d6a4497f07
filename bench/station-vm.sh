# The station benchmark's side on the host VM (bench/station.sh boots the
# station with it): the flash transaction (upload + read-back) on one board,
# then on the three at once (flash --all). Throughput is image bytes per
# second of the flash: per board over its own transaction, in all over the
# wall time of the run. CPU is the host's per GiB moved over USB (both
# directions): dfuctl's own (user + system) and the whole host VM's (its
# kernel's vhci-hcd and TCP work included). Under TCG every figure is far
# below real hardware; they compare one board with three.
# e2e-timeout: 900
. /e2e/lib.sh
. /e2e/station-lib.sh
SIZE_MIB=${BENCH_SIZE_MIB:-64}
ROUNDS=${BENCH_ROUNDS:-2}
E2E_DFU_TIMEOUT=600

# busy_ticks: the host VM's non-idle CPU time so far, in 1/100 s.
busy_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat; }

attach_all
make_image /tmp/image $((SIZE_MIB * 1048576))
# run_flash LABEL BOARDS ARGS...: one timed dfuctl flash; prints the line.
run_flash() {
    _label=$1 _boards=$2; shift 2
    _t0=$(now_ms) _b0=$(busy_ticks)
    # dfuctl's CPU time: that of the children of a shell that ran only it
    # (cutime + cstime in its /proc/PID/stat once it reaped dfuctl).
    _cpu=$(E2E_DIR=$E2E_DIR sh -c 'dfuctl --json --quiet --timeout 30000 "$@" /tmp/image >"$E2E_DIR/bench.out" 2>"$E2E_DIR/bench.err"
                  echo "rc=$?" >"$E2E_DIR/bench.rc"
                  cat /proc/$$/stat' sh "$@" | awk '{ print $16 + $17 }')
    _ms=$(( $(now_ms) - _t0 )) _busy=$(( $(busy_ticks) - _b0 ))
    grep -q 'rc=0' "$E2E_DIR/bench.rc" || fail "dfuctl $*: $(cat "$E2E_DIR/bench.out" "$E2E_DIR/bench.err")"
    # Per board: image bytes over the transaction's seconds (upload + read-back).
    # (flash --all: "seconds" per board; one board: upload and read-back apart)
    _per=$(sed -e 's/"upload_seconds":\([0-9.]*\).*"read_back_seconds":\([0-9.]*\)/"seconds":\1+\2/' \
               "$E2E_DIR/bench.out" | grep -o '"seconds":[0-9.+]*' | head -n "$_boards" | cut -d: -f2 \
           | awk -F+ '{ print $1 + $2 }' \
           | awk -v b=$((SIZE_MIB * 1048576)) '{ printf "%s%.1f", (NR > 1 ? " " : ""), b / $1 / 1e6 }')
    awk -v l="$_label" -v n="$_boards" -v mib="$SIZE_MIB" -v ms="$_ms" -v cpu="${_cpu:-0}" -v busy="$_busy" -v per="$_per" 'BEGIN {
        gib = 2 * n * mib / 1024            # uploaded and read back
        printf "bench: %-12s %d x %d MiB in %6.1f s: %5.1f MB/s in all, per board %s MB/s; host CPU per GiB moved: dfuctl %.1f s, whole VM %.1f s\n",
               l, n, mib, ms / 1000, n * mib * 1048576 / (ms / 1000) / 1e6, per, cpu / 100 / gib, busy / 100 / gib }'
}
r=1
while [ "$r" -le "$ROUNDS" ]; do
    say "bench: round $r"
    run_flash "one board" 1 --serial "$(board_serial 1)" flash --idle-ms 20000
    run_flash "three boards" 3 flash --all --idle-ms 20000
    r=$((r + 1))
done
ok "benchmark done"
e2e_done
