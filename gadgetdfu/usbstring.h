// USB string descriptors built on demand from UTF-8 texts.
#pragma once

#include <cstdint>

struct usb_string {
    uint8_t id;
    const char* s;  // NUL-terminated UTF-8; not owned
};

struct usb_gadget_strings {
    uint16_t language;
    usb_string* strings;  // ends at the first entry whose text is null
};

// Longest descriptor: 2 header bytes and 126 UTF-16 code units.
inline constexpr int kMaxStringDescriptor = 254;
inline constexpr unsigned kMaxStringUnits = 126;

// Stores `val` at `cp` low byte first, one byte at a time; `cp` needs no
// alignment.
void put_unaligned_le16(uint16_t val, uint16_t* cp);

// Converts at most `len` code units of the UTF-8 text `s` into UTF-16LE at
// `cp`. Returns the number of units written, or -1 for a text that cannot be
// converted: a stray continuation byte, a truncated or broken two- or
// three-byte form, an encoded surrogate, or a four-byte form (characters
// beyond U+FFFF). Overlong forms decode by the same rules. Never reads past
// the text's terminating NUL.
int utf8_to_utf16le(const char* s, uint16_t* cp, unsigned len);

// Writes the descriptor of string `id` into `buf` (at least 254 bytes) and
// returns its length: 4 for index 0 (the language list), otherwise 2 to 254.
// Returns -22 when the table has no text for `id` or the text cannot be
// converted.
int usb_gadget_get_string(const usb_gadget_strings* table, int id, uint8_t* buf);
