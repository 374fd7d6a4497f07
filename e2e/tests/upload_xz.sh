# Images as people have them: an .xz image piped into dfuctl (upload -,
# verify -), decompressed on the way; what the board stores and what verify
# compares is the decompressed image. The .xz file is made on the host (the
# VM has no compressor); busybox's own xz decoder gives the expected image.
# Also: a changed image piped raw, a prefix of the board's image (verify
# leaves the rest of the download behind, and the next command still works),
# --raw, and the --log line.
# e2e-timeout: 400
# e2e-memory: 512
. /e2e/lib.sh

XZ=/e2e/files/image.img.xz
IMG=/tmp/image.img
FW=/tmp/firmware
LOG=/tmp/dfuctl.log

# piped FILE ARGS...: cat FILE | dfuctl ARGS, with the results as dfu sets them.
piped() {
    _pf=$1; shift
    DFU_CMD="cat $_pf | dfuctl $*"
    cat "$_pf" | timeout -k 2 "$E2E_DFU_TIMEOUT" dfuctl "$@" >"$E2E_DIR/dfu.out" 2>"$E2E_DIR/dfu.err"
    DFU_RC=$?
    DFU_OUT=$(cat "$E2E_DIR/dfu.out")
    DFU_ERR=$(cat "$E2E_DIR/dfu.err")
}
expect_rc() { [ "$DFU_RC" = "$1" ] || fail "$DFU_CMD: exit status $DFU_RC, expected $1"; ok "$DFU_CMD -> $1"; }
expect_out_has() {
    case "$DFU_OUT" in *"$1"*) ok "$DFU_CMD printed $1" ;; *) fail "$DFU_CMD: no '$1' in its output" ;; esac
}

[ -s "$XZ" ] || fail "$XZ is missing or empty (the build makes it with the host's xz)"
xzcat "$XZ" >"$IMG" || fail "busybox cannot decompress $XZ"
SIZE=$(wc -c <"$IMG")
SHA=$(sha256_of "$IMG")
say "# $XZ: $(wc -c <"$XZ") bytes, $SIZE decompressed"

daemon_start secondary
wait_enumerated

say "# upload of the .xz image from a pipe"
: >"$FW"
log_mark
piped "$XZ" --json --log "$LOG" upload -
expect_rc 0
expect_out_has "\"bytes\":$SIZE,"
expect_out_has "\"sha256\":\"$SHA\",\"format\":\"xz\"}"
wait_line out "RX Thread read 0 bytes from usb"
expect_same_file "$FW" "$IMG"
expect_eq "$(grep -c '"operation":"upload"' "$LOG")" 1 "upload lines in the log"
grep -qF "\"bytes\":$SIZE,\"sha256\":\"$SHA\",\"exit\":0,\"result\":\"ok\"" "$LOG" \
    || fail "the log line lacks the bytes, digest or result: $(cat "$LOG")"
ok "the log line names the bytes, the digest and the result"

say "# verify of the .xz image from a pipe"
piped "$XZ" verify -
expect_rc 0
expect_out_has "sha256 local  $SHA"
expect_out_has "sha256 board  $SHA"
expect_out_has "verified $SIZE bytes in "

say "# a changed image, raw from a pipe"
orig=$(dd if="$IMG" bs=1 skip=1000 count=1 2>/dev/null)
other=X; [ "$orig" = X ] && other=Y
{ head -c 1000 "$IMG"; printf '%s' "$other"; tail -c +1002 "$IMG"; } >/tmp/changed.img
piped /tmp/changed.img verify -
expect_rc 65
case "$DFU_ERR" in *"standard input differs from the board's image; first difference at byte 1000"*) ok "first difference at byte 1000" ;;
    *) fail "verify of the changed image: $DFU_ERR" ;; esac

say "# a prefix of the board's image: the rest of the download is left behind"
head -c 1048577 "$IMG" >/tmp/prefix.img
piped /tmp/prefix.img verify -
expect_rc 0
expect_out_has "verified 1048577 bytes in "
piped "$XZ" --json verify -
expect_rc 0
expect_out_has "\"match\":true"

say "# --raw sends the .xz bytes as they are"
: >"$FW"
log_mark
piped "$XZ" upload --raw -
expect_rc 0
expect_out_has "(raw)"
wait_line out "RX Thread read 0 bytes from usb"
expect_same_file "$FW" "$XZ"

e2e_done
