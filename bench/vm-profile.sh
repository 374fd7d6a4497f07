# Where the time goes, inside the e2e VM (bench/profile.sh boots the VM with
# this script and brings strace and perf along). For each program in turn
# (the daemon, the extra daemon builds, the reference gadget): one upload and
# one bounded download of a random image, first under `strace -c -f` (system
# calls by kind and count), then under `perf record -e cpu-clock` (samples by
# binary and symbol). Counts do not depend on how busy the host is; the
# sample shares hardly do, unlike the benchmark's absolute figures.
#
# Settings: PROF_SIZE_MIB (default 64), BENCH_EXTRA as for vm-bench.sh.
. /e2e/lib.sh

SIZE_MIB=${PROF_SIZE_MIB:-64}
BYTES=$((SIZE_MIB * 1048576))
IMAGE=/tmp/image.bin
FIRMWARE=/tmp/firmware
COPY=/tmp/download.bin

start() {
    case "$1" in
        reference)
            use_controller secondary
            /usr/bin/reference_gadget --image "$FIRMWARE" >/run/reference.log 2>&1 &
            PID=$! ;;
        daemon) E2E_DAEMON=/usr/sbin/gadgetdfu; daemon_start secondary; PID=$DAEMON_PID ;;
        *) E2E_DAEMON=/usr/sbin/gadgetdfu-$1; daemon_start secondary; PID=$DAEMON_PID ;;
    esac
    wait_enumerated 30
}

stop() {
    case "$1" in
        reference)
            kill -TERM "$PID"; wait "$PID"
            wait_until 10 board_absent || fail "the board is still attached after the reference gadget ended" ;;
        *) daemon_stop ;;
    esac
}

# transfers: an upload and a download; the copies are compared afterwards,
# outside the measured stretch.
transfers() {
    : >"$FIRMWARE"
    timeout -k 2 $((SIZE_MIB + 120)) dfuctl --quiet upload "$IMAGE" || fail "upload failed"
    timeout -k 2 $((SIZE_MIB + 120)) dfuctl --quiet download --length "$BYTES" "$COPY" || fail "download failed"
}
check_copies() {
    expect_same_file "$FIRMWARE" "$IMAGE"
    expect_same_file "$COPY" "$IMAGE"
    rm -f "$COPY"
}

make_image "$IMAGE" "$BYTES"
for name in daemon ${BENCH_EXTRA:-} reference; do
    start "$name"
    say "##### $name: system calls during a $SIZE_MIB MiB upload and download (strace -c -f)"
    strace -c -f -p "$PID" -o /run/strace.txt 2>/dev/null &
    tracer=$!
    sleep 2   # attached to every thread
    transfers
    kill -INT "$tracer"; wait "$tracer"
    cat /run/strace.txt
    check_copies

    say "##### $name: cpu-clock samples during the same (perf record -p)"
    perf record -q -e cpu-clock -F 999 -p "$PID" -o /run/perf.data 2>/dev/null &
    profiler=$!
    sleep 2
    transfers
    kill -INT "$profiler"; wait "$profiler"
    # With -n the sample counts (999 per second of CPU) come before the shares.
    perf report -i /run/perf.data --stdio -n --sort dso --no-children 2>/dev/null | grep '%'
    perf report -i /run/perf.data --stdio --sort dso,sym --no-children 2>/dev/null | grep '%' | head -n 25
    check_copies
    stop "$name"
done
e2e_done
