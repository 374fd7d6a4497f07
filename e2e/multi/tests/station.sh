# Several boards on one host: three board VMs export their gadgets over
# USB/IP to the host VM, where dfuctl runs.
# e2e-timeout: 300
. /e2e/lib.sh
. /e2e/station-lib.sh

say "--- three boards, attached one at a time"
attach_all
dfu list
expect_eq "$DFU_RC" 0 "dfuctl list exit status"
for i in 1 2 3; do
    case "$DFU_OUT" in *"$(board_serial $i) $(board_path $i) "*) ;; *) fail "dfuctl list misses board $i: $DFU_OUT" ;; esac
done
ok "dfuctl list shows the three boards"

say "--- upload and verify on each board"
make_image /tmp/image 8388613
for i in 1 2 3; do
    expect_dfu_rc 0 --serial "$(board_serial $i)" upload /tmp/image
    expect_dfu_rc 0 --serial "$(board_serial $i)" verify --idle-ms 10000 /tmp/image
    expect_eq "$(board_digest $i)" "$(sha256_of /tmp/image)" "board $i's /tmp/firmware"
done
e2e_done
