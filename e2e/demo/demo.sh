# The live demo, run inside the VM by scripts/demo.sh: the board daemon
# serves the gadget side of the emulated USB link, dfuctl talks to it as a
# technician's PC would, and after every command the lines the daemon printed
# for it are shown beneath it ("board |").
#
# Steps are plain calls of `step`; add one by adding a line below.
# DEMO_IMAGE_MIB sets the size of the generated firmware image (default 64).
# e2e-timeout: 600
. /e2e/lib.sh

DEMO_IMAGE_MIB=${DEMO_IMAGE_MIB:-64}
DEMO_BOARD_LINES=${DEMO_BOARD_LINES:-14}

title() { printf '\n==== %s\n' "$*"; }

# board_lines: the daemon's lines since the last mark, shortened in the
# middle when a transfer printed hundreds of them.
board_lines() {
    _bl_n=$(since_mark all | wc -l)
    if [ "$_bl_n" -le "$DEMO_BOARD_LINES" ]; then
        since_mark all | sed 's/^/  board | /'
    else
        _bl_half=$((DEMO_BOARD_LINES / 2))
        since_mark all | head -n "$_bl_half" | sed 's/^/  board | /'
        printf '  board | ... %d more lines ...\n' $((_bl_n - 2 * _bl_half))
        since_mark all | tail -n "$_bl_half" | sed 's/^/  board | /'
    fi
}

# step TEXT ARGS...: explains, runs "dfuctl ARGS", shows its output and then
# the daemon's lines for it. The demo stops at the first command that fails.
step() {
    title "$1"; shift
    log_mark
    printf '$ dfuctl %s\n' "$*"
    dfu "$@"
    [ -n "$DFU_OUT" ] && printf '%s\n' "$DFU_OUT"
    [ -n "$DFU_ERR" ] && printf '%s\n' "$DFU_ERR"
    [ "$DFU_RC" = 0 ] || fail "dfuctl $* failed with status $DFU_RC"
    sleep 0.3   # the stream threads finish their last lines
    E2E_SETTLED=0
    board_lines
    ok "dfuctl $*"
}

title "The board: its daemon starts and the PC enumerates it"
say "(QEMU VM, Linux gadgetfs on dummy_hcd; the daemon is the unchanged board binary)"
daemon_start secondary
wait_enumerated
E2E_MARK_all=0
board_lines

step "Boards attached to this PC" list
step "What the PC read from the board's descriptors" describe
step "The board's strings" strings
step "Board information (version, eMMC size and wear, board serial)" info

title "A ${DEMO_IMAGE_MIB} MiB firmware image"
make_image /tmp/image.bin $((DEMO_IMAGE_MIB * 1048576))
# On a board the update environment provides the image file; the daemon
# writes into it but does not create it.
: >/tmp/firmware
say "sha256 $(sha256_of /tmp/image.bin)  /tmp/image.bin"

step "Upload the image to the board" upload /tmp/image.bin
step "Read it back from the board" download /tmp/readback.bin
say "sha256 $(sha256_of /tmp/readback.bin)  /tmp/readback.bin"
expect_same_file /tmp/image.bin /tmp/readback.bin
step "Compare the board's image with the file (SHA-256)" verify /tmp/image.bin

title "Done; the transfer rates above are those of an emulated VM, not of a board"
e2e_done
