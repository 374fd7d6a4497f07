# The station benchmark's side on the host VM (bench/station.sh boots the
# station with it): the flash transaction (upload + read-back) on one board
# (flash --serial), then on the three at once (flash --all), with the raw
# image and with the same image as xz -9 (BENCH_IMAGE_XZ, made by
# station.sh). Throughput is image bytes per second of the flash: per board
# over its own transaction, in all over the wall time of the run. CPU is
# dfuctl's own (user + system, all threads) per GiB of image (the image
# once, however many boards get it; the share of it spent in the kernel:
# usbfs and USB/IP) and per GiB flashed (the image times the boards), and
# the whole host VM's busy time per GiB flashed (its
# kernel's vhci-hcd and TCP work included). Peak memory is dfuctl's
# resident high-water mark (VmHWM). Under TCG every figure is far below
# real hardware; they compare one board with three.
# e2e-timeout: 1800
. /e2e/lib.sh
. /e2e/station-lib.sh
ROUNDS=${BENCH_ROUNDS:-2}
IMAGE_XZ=${BENCH_IMAGE_XZ:-/e2e/files/image.xz}
E2E_DFU_TIMEOUT=900

# busy_ticks: the host VM's non-idle CPU time so far, in 1/100 s.
busy_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat; }

attach_all
xzcat "$IMAGE_XZ" >/tmp/image || fail "cannot decompress $IMAGE_XZ"
cp "$IMAGE_XZ" /tmp/image.xz
BYTES=$(wc -c </tmp/image)
say "bench: image $BYTES bytes, as xz -9 $(wc -c </tmp/image.xz) bytes"
# run_flash LABEL BOARDS IMAGE ARGS...: one timed dfuctl flash; prints the line.
run_flash() {
    _label=$1 _boards=$2 _image=$3; shift 3
    rm -f "$E2E_DIR/bench.pid"
    _t0=$(now_ms) _b0=$(busy_ticks)
    # dfuctl's CPU time: that of the children of a shell that ran only it
    # (cutime + cstime in its /proc/PID/stat once it reaped dfuctl); its
    # peak memory: VmHWM, which only grows, looked at while it runs.
    E2E_DIR=$E2E_DIR sh -c 'dfuctl --json --quiet --timeout 30000 "$@" >"$E2E_DIR/bench.out" 2>"$E2E_DIR/bench.err" &
                  echo $! >"$E2E_DIR/bench.pid"
                  wait $!
                  echo "rc=$?" >"$E2E_DIR/bench.rc"
                  cat /proc/$$/stat >"$E2E_DIR/bench.stat"' sh "$@" "$_image" &
    _wrapper=$! _hwm=0
    while kill -0 "$_wrapper" 2>/dev/null; do
        _pid=$(cat "$E2E_DIR/bench.pid" 2>/dev/null) || _pid=""
        if [ -n "$_pid" ]; then
            _h=$(awk '/^VmHWM:/ { print $2 }' "/proc/$_pid/status" 2>/dev/null) || _h=""
            [ -n "$_h" ] && _hwm=$_h
        fi
        sleep 0.1
    done
    wait "$_wrapper"
    _ms=$(( $(now_ms) - _t0 )) _busy=$(( $(busy_ticks) - _b0 ))
    _cpu=$(awk '{ print $16 + $17 }' "$E2E_DIR/bench.stat")
    _sys=$(awk '{ print $17 }' "$E2E_DIR/bench.stat")
    grep -q 'rc=0' "$E2E_DIR/bench.rc" || fail "dfuctl $*: $(cat "$E2E_DIR/bench.out" "$E2E_DIR/bench.err")"
    # Per board: image bytes over the transaction's seconds (upload + read-back).
    # (flash --all: "seconds" per board; one board: upload and read-back apart)
    _per=$(sed -e 's/"upload_seconds":\([0-9.]*\).*"read_back_seconds":\([0-9.]*\)/"seconds":\1+\2/' \
               "$E2E_DIR/bench.out" | grep -o '"seconds":[0-9.+]*' | head -n "$_boards" | cut -d: -f2 \
           | awk -F+ '{ print $1 + $2 }' \
           | awk -v b="$BYTES" '{ printf "%s%.1f", (NR > 1 ? " " : ""), b / $1 / 1e6 }')
    awk -v l="$_label" -v n="$_boards" -v bytes="$BYTES" -v ms="$_ms" -v cpu="${_cpu:-0}" -v busy="$_busy" \
        -v per="$_per" -v hwm="$_hwm" -v sys="${_sys:-0}" 'BEGIN {
        gib = bytes / 1073741824
        printf "bench: %-16s %d x %.1f MiB in %6.1f s: %5.1f MB/s in all, per board %s MB/s; dfuctl CPU %.1f s per GiB of image (%.0f %% in the kernel), %.1f s per GiB flashed; whole VM %.1f s per GiB flashed; dfuctl peak memory %.1f MiB\n",
               l, n, bytes / 1048576, ms / 1000, n * bytes / (ms / 1000) / 1e6, per,
               cpu / 100 / gib, (cpu > 0 ? 100 * sys / cpu : 0), cpu / 100 / gib / n, busy / 100 / gib / n, hwm / 1024 }'
}
r=1
while [ "$r" -le "$ROUNDS" ]; do
    say "bench: round $r"
    for image in /tmp/image /tmp/image.xz; do
        kind=raw
        [ "$image" = /tmp/image ] || kind="xz -9"
        run_flash "one board, $kind" 1 "$image" --serial "$(board_serial 1)" flash --idle-ms 20000
        run_flash "three, $kind" 3 "$image" flash --all --idle-ms 20000
    done
    r=$((r + 1))
done
ok "benchmark done"
e2e_done
