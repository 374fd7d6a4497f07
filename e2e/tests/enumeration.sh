# The board as a USB host enumerates it, for each set of controller nodes:
# identity, descriptors byte for byte, the serial number taken from
# /proc/cpuinfo, and the daemon's start-up lines.
# e2e-timeout: 600
. /e2e/lib.sh

# describe_text PRODUCT: what "dfuctl describe" must print. The host runs at
# high speed, so it uses the high-speed configuration (iConfiguration 4).
# gadgetfs rewrites bcdUSB to 0x0200 in the device descriptor it serves; the
# daemon's own value (0x0000) never reaches a host.
describe_text() {
    cat <<EOF
idVendor 0x0a5c
idProduct $1
bcdDevice 0x0002
bcdUSB 0x0200
bDeviceClass 0xff
bDeviceSubClass 0x00
bDeviceProtocol 0x00
bMaxPacketSize0 64
iManufacturer 1
iProduct 2
iSerialNumber 3
bNumConfigurations 1
bConfigurationValue 1
iConfiguration 4
bmAttributes 0xc0
bMaxPower 0
bInterfaceNumber 0
bInterfaceClass 0xff
bInterfaceSubClass 0x00
bInterfaceProtocol 0x00
iInterface 6
bNumEndpoints 2
endpoint 0x81 bulk 512 0
endpoint 0x01 bulk 512 0
EOF
}

# The two 32-byte configuration blocks of the daemon's record; they differ
# in iConfiguration (4 for high speed, 5 for full speed) and in the bulk
# endpoints' packet size (512 at high speed, 64 at full speed).
interface="09 04 00 00 02 ff 00 00 06"
hs_config="09 02 20 00 01 01 04 c0 00 $interface 07 05 81 02 00 02 00 07 05 01 02 00 02 00"
fs_config_as_other_speed="09 07 20 00 01 01 05 c0 00 $interface 07 05 81 02 40 00 00 07 05 01 02 40 00 00"

# check_board PRODUCT SOC_SERIAL: the checks that do not depend on the
# controller node beyond the product id.
check_board() {
    _product=$1 _serial=$2
    _usb_serial=$(printf '%s' "$_serial" | cut -c9-16)
    expect_dfu 0 "$(describe_text "0x$_product")" describe
    expect_dfu 0 "$_usb_serial $BOARD_PATH 0x$_product" list
    expect_eq "$(cat "$BOARD_SYSFS/serial")" "$_usb_serial" "serial number read by the kernel"
    expect_eq "$(cat "$BOARD_SYSFS/speed")" 480 "link speed (Mbit/s)"

    # Descriptors as the host reads them from the wire. gadgetfs serves them
    # from the record the daemon registered (the daemon logs nothing for them).
    log_mark
    expect_dfu 0 "12 01 00 02 ff 00 00 40 5c 0a $(echo "$_product" | cut -c3-4) $(echo "$_product" | cut -c1-2) 02 00 01 02 03 01" \
        control 0x80 6 0x0100 0 18
    expect_dfu 0 "$hs_config" control 0x80 6 0x0200 0 255
    expect_dfu 0 "$fs_config_as_other_speed" control 0x80 6 0x0700 0 255
    expect_count out "Setup request" 0

    # Start-up and registration, in this order, on standard output.
    E2E_MARK_out=0 E2E_MARK_err=0
    expect_line -x out "vog Vv1.4"
    expect_line -x out " SOC Serial number [$_serial] "
    expect_order out "vog Vv1.4" "SOC Serial number" "ep0 configured" "EP0 CONNECT"
    expect_count -x out "ep0 configured" 1
    # The host kernel selects configuration 1 by itself; the daemon then
    # configures both bulk endpoint files.
    expect_order out "Setup request 0 9 1 0" "Set config value" "ep1 configured" "ep2 configured"
    # Nothing went wrong on the way.
    expect_no_line err "Stalled"
    expect_no_line err "error"
}

# fe980000.usb alone: product id 0x2711.
daemon_start secondary
wait_enumerated
check_board 2711 "$E2E_SOC_SERIAL"
daemon_stop

# Both nodes: the daemon must take 1000480000.usb, product id 0x2712. With a
# different SoC serial the USB serial number must follow (its last 8 chars).
set_soc_serial 00000000c0ffee42
daemon_start both
wait_enumerated
check_board 2712 00000000c0ffee42
daemon_stop

# 1000480000.usb alone: 0x2712 as well.
set_soc_serial "$E2E_SOC_SERIAL"
daemon_start primary
wait_enumerated
expect_dfu 0 "$(printf '%s' "$E2E_SOC_SERIAL" | cut -c9-16) $BOARD_PATH 0x2712" list
daemon_stop

e2e_done
