# Uploads over existing content: the daemon writes from offset 0 and does not
# truncate, so a longer earlier content stays beyond the new end; a second
# upload command replaces an upload still open; and with /tmp/firmware
# missing the upload command is still answered, the data is dropped and the
# daemon goes on serving.
# e2e-timeout: 600
# e2e-memory: 512
. /e2e/lib.sh

MIB=1048576
IMG=/tmp/img
DL=/tmp/downloaded
FW=/tmp/firmware
mkdir -p "$IMG"

# sha_range FILE FROM: SHA-256 of FILE from byte offset FROM to its end.
sha_range() { tail -c "+$(($2 + 1))" "$1" | sha256sum | cut -d' ' -f1; }
sha_head() { head -c "$2" "$1" | sha256sum | cut -d' ' -f1; }

# The reply of ORVEN_WRITE_FIRMWARE: 08 00 00 00, "Error", a NUL, 14 zeros.
WRITE_REPLY="08 00 00 00 45 72 72 6f 72 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"

daemon_start secondary
wait_enumerated

# ---------------------------------------------------------------------------
say "# a shorter upload over a longer one"
make_image "$IMG/a" $((3 * MIB))
make_image "$IMG/b" "$MIB"
make_image "$IMG/c" 513
: >"$FW"
upload_ok "$IMG/a"
expect_same_file "$FW" "$IMG/a"
upload_ok "$IMG/b"
expect_eq "$(wc -c <"$FW")" $((3 * MIB)) "size of /tmp/firmware after the 1 MiB upload"
expect_eq "$(sha_head "$FW" "$MIB")" "$(sha256_of "$IMG/b")" "SHA-256 of bytes 0 to 1 MiB (the new image)"
expect_eq "$(sha_range "$FW" "$MIB")" "$(sha_range "$IMG/a" "$MIB")" \
    "SHA-256 of bytes 1 MiB to 3 MiB (still the old image)"
# Once more, ending inside the first packet of the second 512 bytes.
upload_ok "$IMG/c"
{ cat "$IMG/c"; tail -c +514 "$IMG/b"; tail -c "+$((MIB + 1))" "$IMG/a"; } >"$IMG/cba"
expect_same_file "$FW" "$IMG/cba"

# ---------------------------------------------------------------------------
say "# two upload commands in a row"
make_image "$IMG/x" 600000
make_image "$IMG/y" 300001
cat "$IMG/x" >"$FW"
# The first command opens the image for an upload and is left open.
log_mark
expect_dfu 0 "$WRITE_REPLY" control 0xc0 8 0 0 24
expect_line -E err "^File/device\(write\) opening process result= \[[1-9][0-9]*\]"
expect_no_line err "Block device still open for writing"
expect_same_file "$FW" "$IMG/x"
# The second (dfuctl's) replaces it; the file holds the second image where it
# wrote, the older bytes after it.
upload_ok "$IMG/y"
expect_line err "Block device still open for writing, close it first!"
expect_order err "Block device still open for writing, close it first!" \
    "Opening blockdevice for writing... " "File/device(write) opening process result= ["
{ cat "$IMG/y"; tail -c +300002 "$IMG/x"; } >"$IMG/yx"
expect_same_file "$FW" "$IMG/yx"
# Two whole uploads in a row: the result is the second image.
make_image "$IMG/z" 300001
upload_ok "$IMG/z"
{ cat "$IMG/z"; tail -c +300002 "$IMG/x"; } >"$IMG/zx"
expect_same_file "$FW" "$IMG/zx"

# ---------------------------------------------------------------------------
say "# /tmp/firmware missing"
make_image "$IMG/m" 700001
rm -f "$FW"
log_mark
expect_dfu_rc 0 upload "$IMG/m"
expect_summary uploaded 700001
expect_line err "Opening blockdevice for writing... "
expect_line err "File/device(write) opening process result= [-1]"
expect_line err "ORVEN_WRITE_FIRMWARE write result= [24]"
# The RX thread reads the image and the closing zero-length packet and drops
# both.
wait_line out "RX Thread read data done from usb: 0"
expect_line out "RX Thread read data done from usb: 700001"
expect_line -x out "No output file, ignore these bytes. Keep reading to empty the buffer."
expect_no_line out "bytes from USB"
expect_no_line out "RX Thread read 0 bytes from usb"
[ ! -e "$FW" ] || fail "the upload created $FW"
ok "the data was dropped: $FW still does not exist"
# A download now finds no file: the command is answered, no data comes.
log_mark
expect_dfu_rc 0 download "$DL"
expect_line err "File/device(read) opening process result= [-1]"
expect_eq "$(wc -c <"$DL")" 0 "bytes downloaded without /tmp/firmware"
case "$DFU_ERR" in
    *"sent no data"*) ok "dfuctl: the board sent no data" ;;
    *) fail "dfuctl download without /tmp/firmware: $DFU_ERR" ;;
esac
# The daemon keeps serving: requests, and a normal upload once the file is
# back.
expect_dfu 0 "04 03 09 04" string 0
expect_dfu_rc 0 info
case "$DFU_OUT" in
    *v1.4*VP2-2024-000417*) ok "dfuctl info: version and serial" ;;
    *) fail "dfuctl info printed: $DFU_OUT" ;;
esac
: >"$FW"
upload_ok "$IMG/m"
expect_same_file "$FW" "$IMG/m"
expect_no_line err "Block device still open for writing"

daemon_running || fail "the daemon ended"
ok "the daemon still runs"
e2e_done
