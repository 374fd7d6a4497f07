# Firmware transfers byte for byte: uploads of sizes around the 512-byte
# packet and the daemon's 1 MiB read, and a 10 MiB image; downloads of the
# whole image, of exactly N bytes, and of more than the image holds.
#
# Each upload starts from an empty /tmp/firmware (the daemon does not
# truncate), so the file must afterwards equal the image exactly. Every
# upload must also be closed by the daemon: the zero-length packet that
# dfuctl sends last shows as "RX Thread read 0 bytes from usb".
# e2e-timeout: 600
# e2e-memory: 512
. /e2e/lib.sh

MIB=1048576
IMG=/tmp/img
DL=/tmp/downloaded
FW=/tmp/firmware
mkdir -p "$IMG"

# upload_exact SIZE: an image of SIZE bytes into an empty /tmp/firmware.
upload_exact() {
    make_image "$IMG/$1" "$1"
    : >"$FW"
    upload_ok "$IMG/$1"
    expect_same_file "$FW" "$IMG/$1"
}

# download_ok EXPECTED ARGS...: dfuctl download $DL ARGS succeeds and $DL
# holds exactly the bytes of EXPECTED.
download_ok() {
    _exp=$1; shift
    rm -f "$DL"
    log_mark
    expect_dfu_rc 0 download "$DL" "$@"
    expect_same_file "$DL" "$_exp"
}

daemon_start secondary
wait_enumerated

# ---------------------------------------------------------------------------
# Uploads: around one packet, around the 1 MiB read, and 10 MiB + 7 (ten
# full reads and a short one). An empty image is refused by dfuctl before
# anything reaches the board.
make_image "$IMG/0" 0
expect_dfu_rc 66 upload "$IMG/0"
for size in 1 511 512 513 $((MIB - 1)) $MIB $((MIB + 1)) $((10 * MIB + 7)); do
    say "# upload of $size bytes"
    upload_exact "$size"
done
# The upload was opened on the file and its open result logged.
expect_line err "Opening blockdevice for writing... "
expect_line -E err "^File/device\(write\) opening process result= \[[1-9][0-9]*\]"
expect_line err "ORVEN_WRITE_FIRMWARE write result= [24]"
expect_no_line err "Block device still open for writing"

# ---------------------------------------------------------------------------
# Downloads from the 10 MiB + 7 image now in /tmp/firmware.
big=$IMG/$((10 * MIB + 7))

say "# download of the whole image"
download_ok "$big"
expect_summary downloaded $((10 * MIB + 7))
expect_line err "Reading all bytes from firmware... "
wait_line err "End of file or read error 0"
expect_line out "(totalBytesRead: $((10 * MIB + 7)))"
expect_no_line out "TX Thread read all bytes from disk"

# Exactly N bytes: within one chunk of 512000, two whole chunks, and across
# the 1 MiB boundary (chunks 512000, 512000, 24577).
for n in 1000 1024000 $((MIB + 1)); do
    say "# download of exactly $n bytes"
    head -c "$n" "$big" >"$IMG/head.$n"
    download_ok "$IMG/head.$n" --length "$n"
    expect_line err "Reading $n bytes from firmware... "
    wait_line out "TX Thread read all bytes from disk ($n)"
    expect_no_line err "End of file or read error"
done
expect_line out "write 24577 bytes to usb:"

# More than the image holds: the board sends the whole image and no more,
# and dfuctl fails the download as too short, leaving no file. 513 bytes end
# in a short packet; 1 MiB is a multiple of the packet size and ends by the
# idle time (the daemon sends no zero-length packet).
for size in 513 $MIB; do
    say "# download of more than the $size bytes in the image"
    cat "$IMG/$size" >"$FW"
    rm -f "$DL"
    log_mark
    expect_dfu_fails "$DFU_EXIT_MISMATCH" "${DFU_MSG_SHORT}$size of $((2 * size)) bytes" download "$DL" --length $((2 * size))
    [ ! -e "$DL" ] || fail "the short download left $DL behind"
    ok "no file from the short download"
    wait_line err "End of file or read error 0"
    expect_no_line out "TX Thread read all bytes from disk"
done

# The whole of an image whose size is a multiple of 512 (no short packet),
# and of an empty one.
say "# download of the whole 1 MiB image"
download_ok "$IMG/$MIB"
wait_line err "End of file or read error 0"
say "# download of an empty image"
: >"$FW"
download_ok "$IMG/0"
wait_line err "End of file or read error 0"
expect_no_line out "bytes to usb:"

# After all transfers the board still answers.
expect_dfu 0 "04 03 09 04" string 0
daemon_running || fail "the daemon ended"
ok "the daemon still runs"

e2e_done
