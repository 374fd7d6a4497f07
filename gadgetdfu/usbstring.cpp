#include "usbstring.h"

#include <cerrno>
#include <cstring>

void put_unaligned_le16(uint16_t val, uint16_t* cp) {
    auto* p = reinterpret_cast<uint8_t*>(cp);
    p[0] = static_cast<uint8_t>(val & 0xFF);
    p[1] = static_cast<uint8_t>(val >> 8);
}

namespace {

constexpr bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

int utf8_to_utf16le(const char* s, uint16_t* cp, unsigned len) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    int count = 0;

    while (len != 0 && *p != 0) {
        const unsigned char c = *p;
        uint16_t unit;
        if (c < 0x80) {
            unit = c;
            p += 1;
        } else if ((c & 0xE0) == 0xC0) {
            // A NUL here is not a continuation byte, so the text's end is
            // never passed.
            if (!is_continuation(p[1])) return -1;
            unit = static_cast<uint16_t>(((c & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if ((c & 0xF0) == 0xE0) {
            if (!is_continuation(p[1]) || !is_continuation(p[2])) return -1;
            unit = static_cast<uint16_t>(((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            if (unit >= 0xD800 && unit <= 0xDFFF) return -1;
            p += 3;
        } else {
            // Continuation bytes out of place, and four-byte forms.
            return -1;
        }
        put_unaligned_le16(unit, cp);
        ++cp;
        ++count;
        --len;
    }
    return count;
}

int usb_gadget_get_string(const usb_gadget_strings* table, int id, uint8_t* buf) {
    if (id == 0) {
        buf[0] = 4;
        buf[1] = 3;
        buf[2] = static_cast<uint8_t>(table->language & 0xFF);
        buf[3] = static_cast<uint8_t>(table->language >> 8);
        return 4;
    }
    if (table->strings == nullptr) return -EINVAL;

    const usb_string* entry = table->strings;
    for (; entry->s != nullptr; ++entry) {
        if (entry->id == id) break;
    }
    if (entry->s == nullptr) return -EINVAL;

    size_t len = std::strlen(entry->s);
    unsigned budget = len < kMaxStringUnits ? static_cast<unsigned>(len) : kMaxStringUnits;
    int units = utf8_to_utf16le(entry->s, reinterpret_cast<uint16_t*>(buf + 2), budget);
    if (units < 0) return -EINVAL;

    buf[0] = static_cast<uint8_t>((units + 1) * 2);
    buf[1] = 3;
    return buf[0];
}
