# The image on a full file system. The daemon does not retry a write that
# retrying cannot fix: it closes the file and halts bulk OUT, so dfuctl
# learns at once (a stall, well before its time-out), says how much the
# board took and clears the halt. The file holds only the image's own
# bytes; the daemon serves on, and with room the next upload is byte-exact.
# e2e-timeout: 300
. /e2e/lib.sh

ENOSPC_TEXT="No space left on device"

daemon_start secondary
wait_enumerated

#        file system KiB:image bytes (the first fills up in the second
#        1 MiB chunk, the second within the first)
for case in 1024:4194304 256:600001; do
    fs=${case%:*} size=${case#*:}
    say "  case: a $size-byte image onto $fs KiB"
    firmware_on_small_fs "$fs"
    make_image /tmp/image "$size"
    log_mark
    t0=$(now_ms)
    expect_dfu_fails "$DFU_EXIT_REFUSED" "$DFU_MSG_REFUSED" --timeout 10000 upload /tmp/image
    took=$(( $(now_ms) - t0 ))
    [ "$took" -lt 5000 ] || fail "dfuctl took $took ms to learn of the full file system"
    ok "dfuctl knew after $took ms (its time-out: 10 s)"
    taken=$(printf '%s\n' "$DFU_ERR" | sed -n "s/.*$DFU_MSG_REFUSED\([0-9][0-9]*\) bytes.*/\1/p")
    [ -n "$taken" ] && [ "$taken" -le "$size" ] && [ "$taken" -ge "$(size_of /tmp/firmware)" ] \
        || fail "dfuctl says the board took '$taken' bytes of $size; its file has $(size_of /tmp/firmware)"
    ok "the board took $taken bytes, its file holds $(size_of /tmp/firmware)"
    expect_prefix /tmp/firmware /tmp/image
    wait_line err "$ENOSPC_TEXT"
    # Given up at once: no more tries come.
    tries=$(count_lines err "$ENOSPC_TEXT")
    sleep 1
    expect_count err "$ENOSPC_TEXT" "$tries"
    expect_not_halted 0x01
    expect_dfu 0 "04 03 09 04" string 0
done

firmware_on_tmp
upload_ok /tmp/image
expect_sha256 /tmp/firmware "$(sha256_of /tmp/image)"
e2e_done
