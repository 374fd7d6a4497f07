# The benchmark's side inside the e2e VM (bench/run.sh boots the VM with this
# script; POSIX sh, run by dash, with the e2e library for starting the daemon
# and watching the host side).
#
# Each round starts the daemon and the reference gadget in turn (the order
# alternates between rounds, so that a drift in the machine's speed does not
# favour one of them) and, for each, times with dfuctl:
#   upload    the image into the program's image file /tmp/firmware
#   download  the same number of bytes back (a bounded download, which ends
#             with its last byte rather than after dfuctl's idle period)
# Both copies are compared with the image: a figure is only worth printing
# for data that arrived intact. The first round also measures each program's
# CPU use while configured and idle, right after enumeration and again after
# the transfers.
#
# Settings (run.sh passes them with --env): BENCH_SIZE_MIB (default 256),
# BENCH_ROUNDS (3), BENCH_IDLE_SECONDS (10), BENCH_EXTRA (names of further
# daemon builds, each at /usr/sbin/gadgetdfu-NAME, measured like the daemon:
# a candidate change can be compared in the same boot).
. /e2e/lib.sh

SIZE_MIB=${BENCH_SIZE_MIB:-256}
ROUNDS=${BENCH_ROUNDS:-3}
IDLE_S=${BENCH_IDLE_SECONDS:-10}
EXTRA=${BENCH_EXTRA:-}
BYTES=$((SIZE_MIB * 1048576))
REFERENCE=/usr/bin/reference_gadget
IMAGE=/tmp/image.bin
FIRMWARE=/tmp/firmware       # the image file of both programs
COPY=/tmp/download.bin
RESULTS=/run/bench.results   # one line per measurement
# dfuctl's limit for one transfer: far above what even 1 MB/s would need.
XFER_LIMIT=$((SIZE_MIB + 120))
# USER_HZ, the unit of the times in /proc/PID/stat (100 on x86).
TICKS_PER_S=100

note() { say "bench: $*"; }

# now_cs: the clock in hundredths of a second (busybox date has no %N).
now_cs() { awk '{ printf "%d\n", $1 * 100 + 0.5 }' /proc/uptime; }
# cpu_ticks PID: user + system time of the whole process (all its threads,
# the ended ones too). Fields after the command name, which may hold spaces.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }

# vm_busy_ticks: the time all CPUs of the VM were not idle (every process,
# the kernel's interrupt work included), for comparison with one program's.
vm_busy_ticks() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9; exit }' /proc/stat; }
# vm_switches: context switches of the whole VM so far. Unlike times, their
# count hardly depends on how busy the host is; a program that wakes another
# process per chunk (its console reader, say) shows here.
vm_switches() { awk '$1 == "ctxt" { print $2 }' /proc/stat; }

record() { echo "$*" >>"$RESULTS"; }

# ---------------------------------------------------------------------------
# The programs: "daemon", "reference" and the extra daemon builds

SERVER="" SERVER_PID=""

server_start() {
    SERVER=$1
    case "$1" in
        reference)
            use_controller secondary
            "$REFERENCE" --controller /dev/gadget/fe980000.usb --image "$FIRMWARE" \
                >/run/reference.log 2>&1 &
            SERVER_PID=$! ;;
        daemon)
            E2E_DAEMON=/usr/sbin/gadgetdfu
            daemon_start secondary
            SERVER_PID=$DAEMON_PID ;;
        *)
            E2E_DAEMON=/usr/sbin/gadgetdfu-$1
            daemon_start secondary
            SERVER_PID=$DAEMON_PID ;;
    esac
    wait_enumerated 30
    note "$SERVER started (pid $SERVER_PID) and enumerated"
}

server_stop() {
    case "$SERVER" in
        reference)
            kill -TERM "$SERVER_PID" 2>/dev/null
            wait "$SERVER_PID" 2>/dev/null
            wait_until 10 board_absent || fail "the board is still attached after the reference gadget ended"
            ;;
        *) daemon_stop ;;
    esac
    SERVER="" SERVER_PID=""
}

# fail shows the daemon's last lines itself; the reference's are added here.
server_alive() {
    kill -0 "$SERVER_PID" 2>/dev/null && return 0
    [ "$SERVER" = reference ] && say "--- reference gadget, last lines:" && tail -n 10 /run/reference.log
    fail "$SERVER (pid $SERVER_PID) has gone"
}

# ---------------------------------------------------------------------------
# Measurements

# transfer ROUND upload|download: one timed dfuctl run against the running
# program. Records: NAME DIRECTION ROUND WALL_CS DFUCTL_SECONDS CPU_TICKS
# VM_BUSY_TICKS VM_SWITCHES.
transfer() {
    _round=$1 _dir=$2
    if [ "$_dir" = upload ]; then
        : >"$FIRMWARE"
        set -- upload "$IMAGE"
    else
        rm -f "$COPY"
        set -- download --length "$BYTES" "$COPY"
    fi
    server_alive
    _x0=$(vm_switches) _v0=$(vm_busy_ticks) _c0=$(cpu_ticks "$SERVER_PID") _t0=$(now_cs)
    timeout -k 2 "$XFER_LIMIT" dfuctl --quiet --json "$@" >/run/dfu.out 2>/run/dfu.err
    _rc=$?
    _t1=$(now_cs) _c1=$(cpu_ticks "$SERVER_PID") _v1=$(vm_busy_ticks) _x1=$(vm_switches)
    DFU_CMD="dfuctl --quiet --json $*" DFU_RC=$_rc
    cp /run/dfu.out "$E2E_DIR/dfu.out"; cp /run/dfu.err "$E2E_DIR/dfu.err"
    [ "$_rc" = 0 ] || fail "$SERVER: dfuctl $_dir failed (exit $_rc)"
    _secs=$(sed -n 's/.*"seconds":\([0-9.eE+-]*\).*/\1/p' /run/dfu.out)
    [ -n "$_secs" ] || fail "$SERVER: no seconds in dfuctl's report: $(cat /run/dfu.out)"
    if [ "$_dir" = upload ]; then
        # The last chunk is in the file before the board takes the closing
        # zero-length packet, which is what dfuctl waits for.
        expect_same_file "$FIRMWARE" "$IMAGE"
    else
        expect_same_file "$COPY" "$IMAGE"
        rm -f "$COPY"
    fi
    record "$SERVER $_dir $_round $((_t1 - _t0)) $_secs $((_c1 - _c0)) $((_v1 - _v0)) $((_x1 - _x0))"
    note "$(awk -v b="$BYTES" -v w=$((_t1 - _t0)) -v s="$_secs" -v c=$((_c1 - _c0)) -v hz=$TICKS_PER_S \
        -v what="round $_round, $SERVER $_dir" \
        'BEGIN { printf "%s: %.1f MB/s (streaming %.1f MB/s), CPU %.2f s\n",
                 what, b / (w / 100) / 1e6, b / s / 1e6, c / hz }')"
}

# idle WHEN: the running program's CPU use over IDLE_S seconds of nothing.
# Records: NAME idle-WHEN ROUND WALL_CS - CPU_TICKS.
idle() {
    sleep 1
    server_alive
    _c0=$(cpu_ticks "$SERVER_PID") _t0=$(now_cs)
    sleep "$IDLE_S"
    _t1=$(now_cs) _c1=$(cpu_ticks "$SERVER_PID")
    record "$SERVER idle-$1 1 $((_t1 - _t0)) - $((_c1 - _c0))"
    note "$SERVER idle ($1): $((_c1 - _c0)) ticks in $((_t1 - _t0)) cs"
}

one_program() {
    server_start "$1"
    [ "$2" = 1 ] && idle enumerated
    transfer "$2" upload
    transfer "$2" download
    [ "$2" = 1 ] && idle after-transfers
    server_stop
}

# ---------------------------------------------------------------------------

[ -x "$REFERENCE" ] || fail "no $REFERENCE in the VM"
for name in $EXTRA; do
    case "$name" in daemon|reference) fail "an extra build cannot be called $name" ;; esac
    [ -x "/usr/sbin/gadgetdfu-$name" ] || fail "no /usr/sbin/gadgetdfu-$name in the VM"
done
: >"$RESULTS"
note "image of $SIZE_MIB MiB, $ROUNDS round(s), idle periods of ${IDLE_S}s; $(nproc) CPU(s), $(awk '/MemTotal/ { print int($2 / 1024) }' /proc/meminfo) MiB"
make_image "$IMAGE" "$BYTES"
: >"$FIRMWARE"

forward="daemon $EXTRA reference" backward=""
for name in $forward; do backward="$name $backward"; done
round=1
while [ "$round" -le "$ROUNDS" ]; do
    if [ $((round % 2)) = 1 ]; then order=$forward; else order=$backward; fi
    for name in $order; do one_program "$name" "$round"; done
    round=$((round + 1))
done

# ---------------------------------------------------------------------------
# The report: the median throughput of the rounds per program and direction
# (on a shared machine single rounds can be far off either way), CPU time
# over all transfers of a program, idle use as the worse of the two periods.

say "=== bench report ==="
awk -v bytes="$BYTES" -v hz=$TICKS_PER_S -v size="$SIZE_MIB" -v rounds="$ROUNDS" \
    -v programs="daemon $EXTRA reference" '
function mbs(cs) { return bytes / (cs / 100) / 1e6 }
# median(list): the middle of the space-separated numbers (the mean of the
# middle two for an even count).
function median(list,    v, n, i, j, t) {
    n = split(list, v, " ")
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
function verdict(ok) { return ok ? "ok" : "MISSED" }
{
    name = $1; what = $2
    if (what == "upload" || what == "download") {
        k = name SUBSEP what
        w = mbs($4); s = bytes / $5 / 1e6
        if (!(k in best) || w > best[k]) best[k] = w
        runs[k] = runs[k] sprintf(" %.1f", w)
        wall[k] = wall[k] " " w; stream[k] = stream[k] " " s
        cpu[name] += $6 / hz; moved[name] += bytes
        dcpu[k] += $6 / hz; dmoved[k] += bytes; vcpu[k] += $7 / hz; sw[k] += $8
    } else {
        pct = $6 / hz / ($4 / 100) * 100
        if (!(name in idle) || pct > idle[name]) idle[name] = pct
        idles[name] = idles[name] sprintf(" %s %.2f%%", substr(what, 6), pct)
    }
}
# Ratios of program p to the reference, with the targets; with `judge`, the
# misses are counted for the verdict.
function ratios(p, judge,    up, down, c) {
    up = med[p SUBSEP "upload"] / med["reference" SUBSEP "upload"]
    down = med[p SUBSEP "download"] / med["reference" SUBSEP "download"]
    printf "upload   throughput %s/reference %.2f  (target >= 0.97)  %s\n", p, up, judge ? verdict(up >= 0.97) : ""
    printf "download throughput %s/reference %.2f  (target >= 0.97)  %s\n", p, down, judge ? verdict(down >= 0.97) : ""
    if (judge) missed += (up < 0.97) + (down < 0.97)
    if (cpg["reference"] > 0) {
        c = cpg[p] / cpg["reference"]
        printf "CPU per GiB         %s/reference %.2f  (target <= 1.15)  %s\n", p, c, judge ? verdict(c <= 1.15) : ""
        if (judge) missed += c > 1.15
    } else {
        printf "CPU per GiB         %s/reference  n/a  (the reference used no measurable CPU)\n", p
    }
    printf "%-8s idle CPU   %.2f%% of a core      (target < 1%%)      %s\n", p, idle[p], judge ? verdict(idle[p] < 1) : ""
    if (judge) missed += idle[p] >= 1
}
END {
    gib = 1024 * 1024 * 1024
    np = split(programs, prog, " ")
    printf "image %d MiB, %d round(s); MB = 10^6 bytes\n", size, rounds
    print "  MB/s       the whole dfuctl command by the clock (start, SET_CONFIGURATION, command, data),"
    print "             median of the rounds; the ratios below use it"
    print "  best       the fastest round of the same"
    print "  streaming  dfuctl'"'"'s own figure for the bulk data alone, median"
    print "  CPU s/GiB  the program'"'"'s user + system time per GiB, all rounds"
    print "  VM s/GiB   busy time of all the VM'"'"'s CPUs per GiB (dfuctl, the USB emulation, ...)"
    print "  sw/MiB     context switches of the whole VM per MiB, all rounds\n"
    printf "%-10s %-9s %6s %6s %10s %10s %10s %7s   %s\n", "program", "direction", "MB/s", "best", "streaming",
           "CPU s/GiB", "VM s/GiB", "sw/MiB", "MB/s per round"
    for (n = 1; n <= np; n++) {
        for (d = 1; d <= 2; d++) {
            dir = d == 1 ? "upload" : "download"
            k = prog[n] SUBSEP dir
            med[k] = median(wall[k])
            printf "%-10s %-9s %6.1f %6.1f %10.1f %10.2f %10.2f %7.1f  %s\n", prog[n], dir, med[k], best[k],
                   median(stream[k]),
                   dcpu[k] / (dmoved[k] / gib), vcpu[k] / (dmoved[k] / gib), sw[k] / (dmoved[k] / 1048576),
                   runs[k]
        }
    }
    for (n = 1; n <= np; n++) {
        cpg[prog[n]] = cpu[prog[n]] / (moved[prog[n]] / gib)
        printf "%-10s CPU per GiB moved, both directions: %.2f s\n", prog[n], cpg[prog[n]]
    }
    for (n = 1; n <= np; n++)
        printf "%-10s idle CPU (configured):%s\n", prog[n], idles[prog[n]]
    print ""
    missed = 0
    ratios("daemon", 1)
    if (rounds < 3)
        print "verdict: not judged (fewer than three rounds)"
    else
        printf "verdict: %s\n", missed ? sprintf("MISSED (%d of 4 targets)", missed) : "all targets met"
    for (n = 2; n < np; n++) {
        print ""
        ratios(prog[n], 0)
    }
}' "$RESULTS"
say "=== end of bench report ==="
e2e_done
