# String descriptors byte for byte, as libusb receives them, and what the
# daemon prints for each request.
# e2e-timeout: 600
. /e2e/lib.sh

daemon_start secondary
wait_enumerated
usb_serial=$(printf '%s' "$E2E_SOC_SERIAL" | cut -c9-16)

# The encoder of the expected bytes is checked against one literal first.
expect_eq "$(string_descriptor_hex "Orven B.V.")" \
    "16 03 4f 00 72 00 76 00 65 00 6e 00 20 00 42 00 2e 00 56 00 2e 00" "expected bytes of string 1"

log_mark
expect_dfu 0 "04 03 09 04" string 0
expect_dfu 0 "$(string_descriptor_hex "Orven B.V.")" string 1
expect_dfu 0 "$(string_descriptor_hex "Velko Pro DFU")" string 2
expect_dfu 0 "$(string_descriptor_hex "$usb_serial")" string 3
expect_dfu 0 "$(string_descriptor_hex "High speed configuration")" string 4
expect_dfu 0 "$(string_descriptor_hex "Low speed configuration")" string 5
expect_dfu 0 "$(string_descriptor_hex "Custom interface")" string 6
# Each request is logged with its fields (bRequestType bRequest wValue wIndex),
# the index and wLength, then the descriptor length.
expect_order out "Setup request 128 6 768 1033" "Standard/Class request" \
    "Get string id #0x00 (max length 255)" "Found 4 bytes"
expect_order out "Setup request 128 6 770 1033" "Standard/Class request" \
    "Get string id #0x02 (max length 255)" "Found 28 bytes"
expect_order out "Get string id #0x03 (max length 255)" "Found 18 bytes"
expect_order out "Get string id #0x04 (max length 255)" "Found 50 bytes"
expect_order out "Get string id #0x05 (max length 255)" "Found 48 bytes"
expect_order out "Get string id #0x06 (max length 255)" "Found 34 bytes"
expect_count out "Setup request 128 6 " 7
expect_count out "Found " 7
expect_count -x out "." 7
expect_no_line err "Stalled"

# The Microsoft OS string: the same 18 bytes whatever the language asked for.
ms_os="12 03 4d 00 53 00 46 00 54 00 31 00 30 00 30 00 cd 00"
log_mark
expect_dfu 0 "$ms_os" string 0xee
expect_dfu 0 "$ms_os" string 0xee --langid 0x0407
expect_dfu 0 "$ms_os" string 0xee --langid 0
expect_order out "Setup request 128 6 1006 1033" "Get string id #0xee (max length 255)" "asked for 0xee."
expect_line out "Setup request 128 6 1006 1031"
expect_line out "Setup request 128 6 1006 0"
expect_count -x out "asked for 0xee." 3
expect_no_line out "Found"

# The language asked for is not looked at: German gets the same text.
log_mark
expect_dfu 0 "$(string_descriptor_hex "Velko Pro DFU")" string 2 --langid 0x0407
expect_line out "Setup request 128 6 770 1031"

# A reply is never cut to wLength by the daemon; the control endpoint sends at
# most wLength bytes of it.
log_mark
expect_dfu 0 "1c 03 56 00" control 0x80 6 0x0302 0x0409 4
expect_dfu 0 "12 03" control 0x80 6 0x03ee 0 2
expect_order out "Get string id #0x02 (max length 4)" "Found 28 bytes"
expect_line out "Get string id #0xee (max length 2)"

# Indexes without a text are stalled: 7 ends the table, 8 and above are
# unknown; 0xed and 0xef are next to the one special index.
for index in 7 8 0xed 0xef 0xff; do
    log_mark
    expect_stalled string "$index"
    expect_line out "$(printf 'Get string id #0x%02x (max length 255)' "$index")"
    wait_line -x err "String not found !!"
    expect_order err "String not found !!" "Stalled"
    expect_no_line out "Found"
done

# The whole table as the tool shows it, in one run.
log_mark
expect_dfu 0 "0 0x0409
1 Orven B.V.
2 Velko Pro DFU
3 $usb_serial
4 High speed configuration
5 Low speed configuration
6 Custom interface
0xee MSFT100 vendor-code 0xcd" strings
expect_count out "Get string id" 8

e2e_done
