# The board's information commands over raw vendor requests, byte for byte as
# libusb receives them: version, flash size of the RAM disk behind
# /dev/mmcblk0, eMMC wear values from the mmc stand-in, and the Microsoft
# extended compat ID descriptor; dfuctl info decodes the same replies.
# (Serial number and LED ring: board_tools.sh; reboot and shutdown:
# board_power.sh.)
# e2e-timeout: 600
. /e2e/lib.sh

# Commands that run a tool wait for it before they reply; under qemu-user on
# a busy machine that can take longer than dfuctl's default 5 s.
LONG="--timeout 20000"

T=$E2E_DIR/board
mkdir -p "$T"

# ---------------------------------------------------------------------------
# Helpers

# hex_file FILE: the bytes of FILE as dfuctl prints them.
hex_file() { od -An -v -tx1 "$1" | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'; }

# frame CMD LENGTH [FILE]: the reply the daemon has to send: the command
# number, three zero bytes, the bytes of FILE, then zeros up to LENGTH bytes
# in all (anything beyond LENGTH is cut).
frame() {
    {
        # shellcheck disable=SC2059 # the format is the command byte as an escape
        printf "\\$(printf %03o "$1")\\000\\000\\000"
        [ -z "${3:-}" ] || cat "$3"
        head -c "$2" /dev/zero
    } | head -c "$2" >"$T/frame.bin"
    hex_file "$T/frame.bin"
}
# text_frame CMD LENGTH TEXT: the same with TEXT as the payload.
text_frame() { printf '%s' "$3" >"$T/payload"; frame "$1" "$2" "$T/payload"; }

# expect_reply WHAT BREQUEST EXPECTED_HEX [WLENGTH]: the device-to-host vendor
# request (bmRequestType 0xC0, wValue and wIndex 0, wLength 255 unless given)
# is answered with exactly these bytes.
expect_reply() {
    dfu $LONG control 0xc0 "$2" 0 0 "${4:-255}"
    [ "$DFU_RC" = 0 ] || fail "$1: exit status $DFU_RC"
    [ "$DFU_OUT" = "$3" ] || fail "$1: the reply was
$DFU_OUT
expected
$3"
    ok "$1: $(( ($(printf %s "$3" | wc -c) + 1) / 3 )) bytes as expected"
}

# info_line KEY VALUE: one line of dfuctl info.
info_line() { printf '%-24s%s' "$1" "$2"; }

# load_ramdisk [KIB]: /dev/mmcblk0 (a link to /dev/ram0) becomes a fresh RAM
# disk of KIB KiB; without KIB there is no RAM disk (the link dangles).
load_ramdisk() {
    if [ -e /sys/module/brd ]; then
        rmmod brd || fail "cannot unload the RAM disk"
        wait_until 5 eval '! [ -e /dev/ram0 ]' || fail "/dev/ram0 is still there after rmmod"
    fi
    [ -n "${1:-}" ] || return 0
    insmod /lib/modules/brd.ko rd_nr=1 rd_size="$1" max_part=0 || fail "cannot load a RAM disk of $1 KiB"
    wait_until 5 test -b /dev/ram0 || fail "no /dev/ram0 after loading the RAM disk"
}

daemon_start secondary
wait_enumerated

# ---------------------------------------------------------------------------
# Version: "v1.4" and its NUL in a 24-byte reply.
log_mark
version_reply=$(text_frame 1 24 "v1.4")
expect_eq "$version_reply" "01 00 00 00 76 31 2e 34 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00" \
    "expected version reply"
expect_reply "version" 0x01 "$version_reply"
expect_order out "Vendor request" "bRequest: 1"
wait_line -x err "ORVEN_GET_VERSION write result= [24]"

# ---------------------------------------------------------------------------
# Flash size: the byte count of /dev/mmcblk0 as decimal text and a NUL, in a
# 24-byte reply whatever the length of the text.
log_mark
expect_reply "flash size, 64 MiB RAM disk" 0x02 "$(text_frame 2 24 67108864)"

# A disk above 4 GiB, and not a power of two: the count must not be cut to
# 32 bits anywhere (the ARM build runs in this VM too).
load_ramdisk 4194305
expect_reply "flash size, 4194305 KiB RAM disk" 0x02 "$(text_frame 2 24 4294968320)"
wait_count -x err "ORVEN_GET_FLASHSIZE write result= [24]" 2

# No device at all: "-1" and a line on standard output.
load_ramdisk
log_mark
expect_reply "flash size without /dev/mmcblk0" 0x02 "$(text_frame 2 24 -1)"
wait_line -x out "get_eMMC_size: error opening [/dev/mmcblk0] err[-1]"

# A file that opens but is no block device: the size query fails, "-2" (its
# length, 1 MiB, is not what is asked for).
head -c 1048576 /dev/zero >"$T/not-a-disk"
ln -sf "$T/not-a-disk" /dev/mmcblk0
log_mark
expect_reply "flash size of a plain file" 0x02 "$(text_frame 2 24 -2)"
expect_no_line out "get_eMMC_size"

# ---------------------------------------------------------------------------
# eMMC wear values: the text after each of three line prefixes of
# "mmc extcsd read /dev/mmcblk0 | grep EXT_CSD", without the line's last
# character, concatenated, and a NUL; the reply is 4 + values + 1 bytes.
A="eMMC Life Time Estimation A [EXT_CSD_DEVICE_LIFE_TIME_EST_TYP_A]: "
B="eMMC Life Time Estimation B [EXT_CSD_DEVICE_LIFE_TIME_EST_TYP_B]: "
E="eMMC Pre EOL information [EXT_CSD_PRE_EOL_INFO]: "

# The VM's usual output: 0x01, 0x02, 0x01 among other lines.
standin_reset mmc
log_mark
expect_reply "eMMC values, usual output" 0x03 "$(text_frame 3 17 0x010x020x01)"
wait_line -x err "ORVEN_GET_EMMC_PROPERTIES write result= [17]"

# Matching and non-matching EXT_CSD lines: only a prefix at the very start of
# a line counts; lines without "EXT_CSD" never reach the daemon.
printf '%s\n' "=============================================" \
    "  Extended CSD rev 1.8 (MMC 5.1)" \
    "Extended CSD revision [EXT_CSD_REV]: 0x08" \
    "  ${A}0x09" \
    "${A}0x05" \
    "eMMC Life Time Estimation A [EXT_CSD_DEVICE_LIFE_TIME_EST_TYP_A]:0x07" \
    "Boot configuration bytes [PARTITION_CONFIG: 0x48] [EXT_CSD_PART_CONFIG]: 0x06" \
    "${B}0x0b" \
    "eMMC Pre EOL information [PRE_EOL_INFO]: 0x02" \
    "${E}0x03" >"$T/mmc-worn"
standin_output_file mmc "$T/mmc-worn"
expect_reply "eMMC values among other lines" 0x03 "$(text_frame 3 17 0x050x0b0x03)"

# dfuctl info decodes the same replies: the 4 GiB disk is back (the count in
# the JSON output too), the wear words of these values, the usual serial.
ln -sf ram0 /dev/mmcblk0
load_ramdisk 4194305
expect_dfu 0 "$(info_line version v1.4)
$(info_line "flash size" "4294968320 bytes (4.00 GiB)")
$(info_line "life time estimation A" "0x05 (40-50% of life used)")
$(info_line "life time estimation B" "0x0b (exceeded its maximum estimated life)")
$(info_line "pre-EOL information" "0x03 (urgent)")
$(info_line serial VP2-2024-000417)" $LONG info
dfu $LONG --json info
[ "$DFU_RC" = 0 ] || fail "dfuctl --json info: exit status $DFU_RC"
expect_eq "$(printf '%s' "$DFU_OUT" | grep -o '"flash_size_bytes":[0-9]*') $(printf '%s' "$DFU_OUT" |
    grep -o '"pre_eol_info":{[^}]*}')" '"flash_size_bytes":4294968320 "pre_eol_info":{"raw":"0x03","text":"urgent"}' \
    "dfuctl --json info: flash size and pre-EOL value"

# Values in the order their lines come, a prefix that comes twice counts
# twice; a line that ends right after its prefix (a newline, or a NUL byte
# for the daemon's line reader) adds nothing; a line longer than the 99
# characters of one read gives the values of its first read only (32
# characters, the read's last one dropped); grep ends the last line.
{
    printf '%s\n' "${E}0x02" "${A}0x0a" "${A}"
    printf '%s\000 0x04\n' "${B}"
    printf '%s\n' "${B}0x0123456789abcdef0123456789abcdef0123456789"
    printf '%s' "${E}0x01"
} >"$T/mmc-odd"
standin_output_file mmc "$T/mmc-odd"
expect_reply "eMMC values: order, repeats, bare prefixes, long line" 0x03 \
    "$(text_frame 3 49 0x020x0a0x0123456789abcdef0123456789abcd0x01)"

# No matching line at all: the NUL alone, 5 bytes.
printf '%s\n' "Extended CSD revision [EXT_CSD_REV]: 0x08" "  ${E}0x01" >"$T/mmc-none"
standin_output_file mmc "$T/mmc-none"
expect_reply "eMMC values, none matching" 0x03 "03 00 00 00 00"

# More value text than the 508-byte payload holds (20 long lines, 640
# characters): the daemon keeps 507 and the NUL, a 512-byte reply. gadgetfs
# passes at most 256 bytes of an IN reply (it lowers a larger wLength to 256
# before the daemon sees it), so the host asks for 256 and gets the first 256.
n=0
while [ "$n" -lt 20 ]; do
    printf '%s\n' "${B}0x0123456789abcdef0123456789abcdef0123456789"
    n=$((n + 1))
done >"$T/mmc-many"
standin_output_file mmc "$T/mmc-many"
n=0
while [ "$n" -lt 8 ]; do printf '0x0123456789abcdef0123456789abcd'; n=$((n + 1)); done >"$T/many-values"
log_mark
expect_reply "eMMC values beyond the payload, first 256 bytes" 0x03 "$(frame 3 256 "$T/many-values")" 256
wait_line -x err "ORVEN_GET_EMMC_PROPERTIES write result= [256]"
# One run of mmc per request (dfuctl info included), always the same line.
expect_standin_calls mmc "$(for _ in 1 2 3 4 5 6 7; do echo "extcsd read /dev/mmcblk0"; done)"

# ---------------------------------------------------------------------------
# The Microsoft extended compat ID descriptor: the OS string (0xEE) announces
# the vendor code, and a device-to-host vendor request with that code and
# wIndex 4 gets the 40-byte descriptor that names WINUSB for interface 0,
# no more even when more is asked for.
dfu string 0xee
[ "$DFU_RC" = 0 ] || fail "dfuctl string 0xee: exit status $DFU_RC"
code=$(printf '%s\n' "$DFU_OUT" | cut -d' ' -f17)
expect_eq "$code" cd "vendor code in the OS string"
{
    printf '\050\000\000\000'                  # total length 40
    printf '\000\001\004\000'                  # version 1.00, index 4
    printf '\001\000\000\000\000\000\000\000'  # one function, reserved
    printf '\000\001WINUSB\000\000'            # interface 0, reserved 1, compatible ID
    head -c 14 /dev/zero                       # sub-compatible ID, reserved
} >"$T/compat-id"
compat=$(hex_file "$T/compat-id")
expect_eq "$(wc -c <"$T/compat-id")" 40 "length of the expected compat ID descriptor"
log_mark
expect_dfu 0 "$compat" $LONG control 0xc0 "0x$code" 0 4 40
expect_dfu 0 "$compat" $LONG control 0xc0 0xcd 0 4 255
wait_count -x err "MS_EXTENDED_COMPAT_ID write result= [40]" 2
expect_count -x out "bRequest: 13" 2
expect_no_line err "Stalled"

# Any other wIndex, or another request with command number 13: stalled.
log_mark
expect_stalled control 0xc0 0xcd 0 5 40
expect_stalled control 0xc0 0xcd 0 0 40
expect_stalled control 0xc0 0x1d 0 4 40
wait_count -x err "Stalled" 3
expect_no_line err "MS_EXTENDED_COMPAT_ID"

e2e_done
