# The board behind a full-speed link (a USB 1.1 hub, a full-speed isolator):
# dummy_hcd without high speed. The bulk endpoints must come up with the
# 64-byte packets full speed allows, and images must move both ways
# byte-exact; dfuctl warns that the link is slow.
# e2e-full-speed
# e2e-timeout: 400
. /e2e/lib.sh

daemon_start secondary
wait_enumerated
expect_eq "$(cat "$BOARD_SYSFS/speed")" 12 "link speed (Mbit/s)"
# The descriptors as the board sends them (the host kernel would clamp a
# wrong size in its own copy, and say so).
expect_dfu_rc 0 describe
expect_out_line "endpoint 0x81 bulk 64 0"
expect_out_line "endpoint 0x01 bulk 64 0"
dmesg | grep -q "invalid maxpacket" && fail "the host found a wrong packet size: $(dmesg | grep "invalid maxpacket")"
ok "the host found no wrong packet size"
expect_no_line err "Write error"

# Sizes around the packet size and across the daemon's 1 MiB read.
: >/tmp/firmware
for size in 1 63 64 65 4096 100001 1048576 1048641; do
    make_image /tmp/image "$size"
    upload_ok /tmp/image
    case "$DFU_ERR" in
        *"$DFU_MSG_FULL_SPEED"*) ;;
        *) fail "dfuctl did not warn of the full-speed link: $DFU_ERR" ;;
    esac
    rm -f /tmp/back
    expect_dfu_rc 0 --quiet download --length "$size" /tmp/back
    expect_sha256 /tmp/back "$(sha256_of /tmp/image)"
done
ok "dfuctl warned of the full-speed link each time"
expect_dfu_rc 0 verify /tmp/image
e2e_done
