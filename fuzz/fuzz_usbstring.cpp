// usb_gadget_get_string and utf8_to_utf16le on arbitrary tables and texts.
//
// Input: language (2 bytes), string id (2 bytes, signed), flags (bit 0: the
// table has no entry array), a unit budget for the direct conversion, then
// entries of [id][text length][text bytes] up to the end.
//
// Every text and every output buffer is a heap block of exactly the size the
// interface allows, so ASan reports any read past a text's NUL and any write
// past the 254-byte descriptor or the unit budget. Results are compared with
// a decoder written here from the encoding rules.
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "usbstring.h"

namespace {

constexpr uint8_t kUntouched = 0xA5;

// The rules: one-byte forms, two- and three-byte forms whose trailing bytes
// are continuation bytes (overlong forms allowed), no encoded surrogates, no
// four-byte forms; at most `budget` units; the text ends at its first NUL.
std::optional<std::vector<uint16_t>> reference_units(const char* text, unsigned budget) {
    const std::string s(text);  // up to the first NUL
    std::vector<uint16_t> units;
    auto continuation = [&](size_t i) { return i < s.size() && (static_cast<uint8_t>(s[i]) & 0xC0) == 0x80; };
    size_t i = 0;
    while (budget > 0 && i < s.size()) {
        const uint8_t c = static_cast<uint8_t>(s[i]);
        uint16_t unit;
        if (c < 0x80) {
            unit = c;
            i += 1;
        } else if (c >= 0xC0 && c <= 0xDF) {
            if (!continuation(i + 1)) return std::nullopt;
            unit = static_cast<uint16_t>((c & 0x1F) << 6 | (s[i + 1] & 0x3F));
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (!continuation(i + 1) || !continuation(i + 2)) return std::nullopt;
            unit = static_cast<uint16_t>((c & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F));
            if (unit >= 0xD800 && unit <= 0xDFFF) return std::nullopt;
            i += 3;
        } else {
            return std::nullopt;
        }
        units.push_back(unit);
        --budget;
    }
    return units;
}

std::unique_ptr<char[]> exact_text(const std::string& bytes) {
    auto text = std::make_unique<char[]>(bytes.size() + 1);
    std::memcpy(text.get(), bytes.data(), bytes.size());
    text[bytes.size()] = '\0';
    return text;
}

void check_descriptor(const usb_gadget_strings& table, int id, const std::vector<const char*>& texts,
                      const std::vector<uint8_t>& ids) {
    auto buf = std::make_unique<uint8_t[]>(kMaxStringDescriptor);
    std::memset(buf.get(), kUntouched, kMaxStringDescriptor);
    const int r = usb_gadget_get_string(&table, id, buf.get());

    FUZZ_CHECK(r == -22 || (r >= 2 && r <= kMaxStringDescriptor && r % 2 == 0), std::to_string(r));
    if (r >= 0) {
        FUZZ_CHECK(buf[0] == r);
        FUZZ_CHECK(buf[1] == 3);
        for (int i = r; i < kMaxStringDescriptor; ++i)
            FUZZ_CHECK(buf[i] == kUntouched, "byte " + std::to_string(i) + " written past the descriptor");
    }

    if (id == 0) {
        FUZZ_CHECK(r == 4);
        FUZZ_CHECK(buf[2] == (table.language & 0xFF) && buf[3] == table.language >> 8);
        return;
    }

    const char* text = nullptr;
    if (table.strings != nullptr) {
        for (size_t i = 0; i < texts.size(); ++i) {
            if (ids[i] == id) {
                text = texts[i];
                break;
            }
        }
    }
    if (text == nullptr) {
        FUZZ_CHECK(r == -22, "no text for id " + std::to_string(id));
        return;
    }

    const size_t len = std::strlen(text);
    const auto units =
        reference_units(text, len < kMaxStringUnits ? static_cast<unsigned>(len) : kMaxStringUnits);
    if (!units) {
        FUZZ_CHECK(r == -22, "a text that cannot be converted was encoded");
        FUZZ_CHECK(buf[0] == kUntouched && buf[1] == kUntouched, "header written for a refused text");
        return;
    }
    FUZZ_CHECK(r == static_cast<int>(2 + 2 * units->size()), std::to_string(r));
    for (size_t i = 0; i < units->size(); ++i) {
        const uint16_t got = static_cast<uint16_t>(buf[2 + 2 * i] | buf[3 + 2 * i] << 8);
        FUZZ_CHECK(got == (*units)[i], "unit " + std::to_string(i));
    }
}

void check_conversion(const char* text, unsigned budget) {
    // Exactly `budget` units, starting at an odd address.
    const size_t bytes = 2 * static_cast<size_t>(budget);
    auto block = std::make_unique<uint8_t[]>(bytes + 1);
    std::memset(block.get(), kUntouched, bytes + 1);
    auto* cp = reinterpret_cast<uint16_t*>(block.get() + 1);
    const int r = utf8_to_utf16le(text, cp, budget);

    const auto units = reference_units(text, budget);
    if (!units) {
        FUZZ_CHECK(r < 0, std::to_string(r));
        return;
    }
    FUZZ_CHECK(r == static_cast<int>(units->size()), std::to_string(r));
    for (size_t i = 0; i < units->size(); ++i) {
        const uint8_t* p = block.get() + 1 + 2 * i;
        FUZZ_CHECK(static_cast<uint16_t>(p[0] | p[1] << 8) == (*units)[i], "unit " + std::to_string(i));
    }
    for (size_t i = 1 + 2 * units->size(); i < bytes + 1; ++i)
        FUZZ_CHECK(block[i] == kUntouched, "written past the units converted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint16_t language = in.le16();
    const int id = static_cast<int16_t>(in.le16());
    const uint8_t flags = in.byte();
    const unsigned budget = in.byte();

    std::vector<std::unique_ptr<char[]>> owned;
    std::vector<const char*> texts;
    std::vector<uint8_t> ids;
    while (in.remaining() >= 2 && texts.size() < 32) {
        const uint8_t entry_id = in.byte();
        const size_t length = in.byte();
        owned.push_back(exact_text(in.text(length)));
        texts.push_back(owned.back().get());
        ids.push_back(entry_id);
    }

    // The array ends at the first entry without text; its id is never
    // compared, so give it the one asked for.
    auto entries = std::make_unique<usb_string[]>(texts.size() + 1);
    for (size_t i = 0; i < texts.size(); ++i) entries[i] = usb_string{ids[i], texts[i]};
    entries[texts.size()] = usb_string{static_cast<uint8_t>(id), nullptr};

    const usb_gadget_strings table = {language, (flags & 1) ? nullptr : entries.get()};
    check_descriptor(table, id, texts, ids);
    // Every id that occurs in the table as well.
    for (uint8_t entry_id : ids) check_descriptor(table, entry_id, texts, ids);

    for (const char* text : texts) check_conversion(text, budget);
    return 0;
}
