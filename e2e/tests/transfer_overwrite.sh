# Uploads over existing content: the daemon writes from offset 0 and does not
# truncate, so a longer earlier content stays beyond the new end; a second
# upload command replaces an upload still open, and selecting the
# configuration again abandons it. (A missing /tmp/firmware: see
# firmware_missing.)
# e2e-timeout: 600
# e2e-memory: 512
. /e2e/lib.sh

MIB=1048576
IMG=/tmp/img
FW=/tmp/firmware
mkdir -p "$IMG"

# sha_range FILE FROM: SHA-256 of FILE from byte offset FROM to its end.
sha_range() { tail -c "+$(($2 + 1))" "$1" | sha256sum | cut -d' ' -f1; }
sha_head() { head -c "$2" "$1" | sha256sum | cut -d' ' -f1; }

# The reply of ORVEN_WRITE_FIRMWARE when the file opened.
WRITE_REPLY=$(firmware_reply 8 0)

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
# The first command opens the image for an upload and is left open; the
# second replaces it.
log_mark
expect_dfu 0 "$WRITE_REPLY" control 0xc0 8 0 0 24
expect_line -E err "^File/device\(write\) opening process result= \[[1-9][0-9]*\]"
expect_no_line err "Block device still open for writing"
expect_dfu 0 "$WRITE_REPLY" control 0xc0 8 0 0 24
expect_order err "File/device(write) opening process result= [" \
    "Block device still open for writing, close it first!" "Opening blockdevice for writing... " \
    "File/device(write) opening process result= ["
expect_same_file "$FW" "$IMG/x"
# dfuctl selects the configuration before its upload: the stop cuts off the
# RX thread's read, which abandons the upload left open. dfuctl's upload
# then writes the second image over the start, the older bytes after it.
upload_ok "$IMG/y"
expect_order err "Upload abandoned, bulk OUT halted" "Opening blockdevice for writing... "
expect_no_line err "Block device still open for writing"
{ cat "$IMG/y"; tail -c +300002 "$IMG/x"; } >"$IMG/yx"
expect_same_file "$FW" "$IMG/yx"
# Two whole uploads in a row: the result is the second image.
make_image "$IMG/z" 300001
upload_ok "$IMG/z"
{ cat "$IMG/z"; tail -c +300002 "$IMG/x"; } >"$IMG/zx"
expect_same_file "$FW" "$IMG/zx"

daemon_running || fail "the daemon ended"
ok "the daemon still runs"
e2e_done
