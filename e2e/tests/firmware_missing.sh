# The board cannot open its image file. The firmware commands' reply
# carries the open's errno at bytes 12-15 (bytes 4-9 stay "Error"); after
# an upload command whose open failed, bulk OUT is halted before the reply
# goes out, so a host that sends the image anyway gets a stall instead of
# losing it. dfuctl reads the errno and fails before it sends anything.
# Once the file is there (and the halt cleared), an upload is byte-exact.
# e2e-timeout: 300
. /e2e/lib.sh

ENOENT=2 EISDIR=21

daemon_start secondary
wait_enumerated
make_image /tmp/image 1048676

# The reply and the halt, by what /tmp/firmware is. A folder is refused for
# reading too: only a regular file or a device node is taken.
#        setup:command:errno:bulk OUT afterwards
for case in missing:8:$ENOENT:halted missing:9:$ENOENT:open folder:8:$EISDIR:halted folder:9:$EISDIR:open; do
    IFS=: read -r setup cmd errno halt <<CASE
$case
CASE
    rm -rf /tmp/firmware
    [ "$setup" = missing ] || mkdir /tmp/firmware
    expect_dfu 0 "$(firmware_reply "$cmd" "$errno")" control 0xc0 "$cmd" 0 0 24
    if [ "$halt" = halted ]; then expect_halted 0x01; clear_halt 0x01; fi
    expect_not_halted 0x01
done
rmdir /tmp/firmware

# dfuctl: each transfer command fails at once with the board's reason,
# sends nothing and leaves nothing behind.
log_mark
for args in "upload /tmp/image" "download --length 4096 /tmp/back" "verify /tmp/image" \
            "flash /tmp/image"; do
    rm -f /tmp/back
    # shellcheck disable=SC2086 # the arguments
    expect_dfu_fails "$DFU_EXIT_CANNOT_OPEN" "${DFU_MSG_CANNOT_OPEN}No such file or directory" $args
    [ ! -e /tmp/back ] || fail "dfuctl $args left /tmp/back behind"
done
[ ! -e /tmp/firmware ] || fail "/tmp/firmware was created"
expect_no_line out "bytes from USB"
ok "no byte reached the board's file"

# dfuctl cleared the halt its refused upload left.
expect_not_halted 0x01

# With the file back, the next upload is byte-exact, and the reply says 0.
: >/tmp/firmware
upload_ok /tmp/image
expect_sha256 /tmp/firmware "$(sha256_of /tmp/image)"
expect_dfu 0 "$(firmware_reply 9 0)" control 0xc0 9 0 0 24
expect_dfu_rc 0 verify /tmp/image
e2e_done
