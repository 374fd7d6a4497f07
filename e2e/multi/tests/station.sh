# Several boards on one host: three board VMs export their gadgets over
# USB/IP to the host VM, where dfuctl runs.
# e2e-timeout: 540
. /e2e/lib.sh
. /e2e/station-lib.sh
E2E_DFU_TIMEOUT=180
BOARDS="1 2 3"

# json_field KEY: the value of "KEY" in the JSON object on standard input.
json_field() { sed -n "s/.*\"$1\":\\(\"[^\"]*\"\\|[^,}]*\\).*/\\1/p" | tr -d '"'; }
# board_json I: the --json object of board I in the last dfuctl run (an
# element of "boards"; board objects hold no nested object).
board_json() { grep -o "{\"serial\":\"$(board_serial "$1")\"[^}]*}" "$E2E_DIR/dfu.out"; }
expect_board_result() {
    _br=$(board_json "$1" | json_field result)
    [ "$_br" = "$2" ] || fail "board $1: result '$_br', expected '$2': $(board_json "$1")"
    ok "board $1: $2"
}
# The daemon writes an upload over its image file from offset 0 without
# truncating it, so each case starts with empty files for whole-file digests.
empty_images() { for _ei in $BOARDS; do board_ctl "$_ei" empty; done; }
expect_board_image() {
    expect_eq "$(board_digest "$1")" "$(sha256_of "$2")" "board $1's /tmp/firmware ($2)"
}

say "--- three boards, attached one at a time; list, upload and verify on each"
attach_all
expect_dfu_rc 0 list
for i in $BOARDS; do
    case "$DFU_OUT" in *"$(board_serial $i) $(board_path $i) "*) ;; *) fail "dfuctl list misses board $i: $DFU_OUT" ;; esac
done
ok "dfuctl list shows the three boards"
make_image /tmp/small 2097153
for i in $BOARDS; do
    expect_dfu_rc 0 --serial "$(board_serial $i)" upload /tmp/small
    expect_dfu_rc 0 --serial "$(board_serial $i)" verify --idle-ms 10000 /tmp/small
    expect_board_image "$i" /tmp/small
done

say "--- flash --all: the three boards at once, byte-exact, in a small usbfs budget"
make_image /tmp/image 16777259
empty_images
# usbfs lets the transfers in flight take 16 MiB in all by default: with 6
# MiB here, three boards must fit in 6 as sixteen must in 16.
USBFS_MB=/sys/module/usbcore/parameters/usbfs_memory_mb
usbfs_default=$(cat "$USBFS_MB") || fail "no $USBFS_MB"
echo 6 >"$USBFS_MB" || fail "cannot set $USBFS_MB"
expect_dfu_rc 0 --json --timeout 30000 flash --all --idle-ms 10000 /tmp/image
echo "$usbfs_default" >"$USBFS_MB"
for i in $BOARDS; do
    expect_board_result "$i" flashed
    expect_eq "$(board_json "$i" | json_field sha256)" "$(sha256_of /tmp/image)" "board $i: sha256 reported"
    expect_board_image "$i" /tmp/image
done
expect_eq "$(grep '"summary"' "$E2E_DIR/dfu.out" | json_field flashed)" 3 "boards flashed in the summary"

say "--- flash --all from a pipe's path: the stream is read once, every board gets all of it"
make_image /tmp/image4 9437209
empty_images
# In a pipeline dfu runs in a subshell: its status comes back through a file.
cat /tmp/image4 | { dfu --json --timeout 30000 flash --all --idle-ms 10000 /proc/self/fd/0; echo "$DFU_RC" >"$E2E_DIR/pipe.rc"; }
DFU_CMD="cat /tmp/image4 | dfuctl flash --all /proc/self/fd/0"
expect_eq "$(cat "$E2E_DIR/pipe.rc")" 0 "exit status of $DFU_CMD"
for i in $BOARDS; do expect_board_image "$i" /tmp/image4; done

say "--- one board's daemon killed mid-transfer: it fails alone"
make_image /tmp/image2 25165879
empty_images
board_ctl 2 kill-at 4194304
dfu --json --timeout 30000 flash --all --idle-ms 10000 /tmp/image2
expect_board_result 2 failed
code=$(board_json 2 | json_field exit_code)
message=$(board_json 2 | json_field message)
[ -n "$message" ] || fail "board 2 failed without a reason: $(board_json 2)"
ok "board 2 failed ($code): $message"
expect_eq "$DFU_RC" "$code" "dfuctl's exit status (board 2's)"
[ "$DFU_RC" != 0 ] || fail "dfuctl flash --all exited 0 although board 2 failed"
for i in 1 3; do
    expect_board_result "$i" flashed
    expect_board_image "$i" /tmp/image2
done
restart_board 2

say "--- station --count 3: boards plugged in one after another"
detach_all
make_image /tmp/image3 3145739
empty_images
timeout -k 2 180 dfuctl --timeout 30000 --log /tmp/station.log station --count 3 --idle-ms 10000 /tmp/image3 >"$E2E_DIR/station.out" 2>"$E2E_DIR/station.err" &
station_pid=$!
station_has() { grep -qF -e "$1" "$E2E_DIR/station.out"; }
for i in $BOARDS; do
    attach_board "$i"
    wait_for 120 station_has "$(board_serial $i) $(board_path $i): flashed" \
        || fail "station did not flash board $i: $(cat "$E2E_DIR/station.out" "$E2E_DIR/station.err")"
    ok "station flashed board $i"
done
wait "$station_pid"
rc=$?
DFU_CMD="dfuctl station --count 3" DFU_RC=$rc
cp "$E2E_DIR/station.out" "$E2E_DIR/dfu.out"; cp "$E2E_DIR/station.err" "$E2E_DIR/dfu.err"
expect_eq "$rc" 0 "station's exit status"
expect_eq "$(grep -c ': flashed ' "$E2E_DIR/station.out")" 3 "result lines"
station_has "3 board(s) in " && station_has ": 3 flashed, 0 failed" || fail "no station summary: $(cat "$E2E_DIR/station.out")"
ok "station summary: 3 flashed"
# --log: one record per board and one for the command.
for i in $BOARDS; do
    grep -F "\"serial\":\"$(board_serial $i)\"" /tmp/station.log | grep -qF '"operation":"flash"' \
        || fail "no log record of board $i: $(cat /tmp/station.log)"
done
expect_eq "$(grep -c '"operation":"station"' /tmp/station.log)" 1 "log record of the station command"
for i in $BOARDS; do expect_board_image "$i" /tmp/image3; done
e2e_done
