#include "usbstring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Encodes `text` as string 1 of a one-entry table; returns the descriptor,
// or an empty vector with `result` set for a refused text.
Bytes encode(const std::string& text, int* result = nullptr) {
    usb_string entries[] = {{1, text.c_str()}, {2, nullptr}};
    usb_gadget_strings table = {0x0409, entries};
    uint8_t buf[512];
    std::fill(std::begin(buf), std::end(buf), 0xAA);
    const int n = usb_gadget_get_string(&table, 1, buf);
    if (result) *result = n;
    return n < 0 ? Bytes{} : Bytes(buf, buf + n);
}

TEST(UsbString, LanguageListIgnoresTheEntries) {
    usb_gadget_strings table = {0x0409, nullptr};
    uint8_t buf[256] = {};
    ASSERT_EQ(usb_gadget_get_string(&table, 0, buf), 4);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x04, 0x03, 0x09, 0x04}));
}

TEST(UsbString, AsciiAndEmptyTexts) {
    EXPECT_EQ(encode("Orven B.V."), (Bytes{0x16, 0x03, 'O', 0,   'r', 0,   'v', 0,   'e', 0,   'n',
                                           0,    ' ',  0,   'B', 0,   '.', 0,   'V', 0,   '.', 0}));
    EXPECT_EQ(encode(""), (Bytes{0x02, 0x03}));
}

TEST(UsbString, TwoAndThreeByteForms) {
    EXPECT_EQ(encode("\xC3\xA9"), (Bytes{0x04, 0x03, 0xE9, 0x00}));
    EXPECT_EQ(encode("\xE2\x82\xAC"), (Bytes{0x04, 0x03, 0xAC, 0x20}));
    // Overlong forms are taken by the same formulas.
    EXPECT_EQ(encode("\xC0\x80"
                     "A"),
              (Bytes{0x06, 0x03, 0x00, 0x00, 'A', 0x00}));
    EXPECT_EQ(encode("\xE0\x81\x81"), (Bytes{0x04, 0x03, 0x41, 0x00}));
    // The last units below and above the surrogates are fine.
    EXPECT_EQ(encode("\xED\x9F\xBF\xEE\x80\x80"), (Bytes{0x06, 0x03, 0xFF, 0xD7, 0x00, 0xE0}));
}

TEST(UsbString, RefusedSequences) {
    const char* refused[] = {
        "\xED\xA0\x80",      // encoded surrogate U+D800
        "\xED\xBF\xBF",      // encoded surrogate U+DFFF
        "\xF0\x9F\x98\x80",  // four-byte form
        "\x80",              // continuation byte first
        "ok\xBF",            // stray continuation byte later
        "\xC3\x41",          // bad continuation in a two-byte form
        "\xE2\x82\x41",      // bad third byte
        "\xE2\x41\xAC",      // bad second byte
        "\xFF",
        "\xC3",      // the NUL ends a two-byte form early
        "\xE2\x82",  // and a three-byte form
    };
    for (const char* text : refused) {
        int result = 0;
        EXPECT_TRUE(encode(text, &result).empty()) << "text " << testing::PrintToString(text);
        EXPECT_EQ(result, -22) << "text " << testing::PrintToString(text);
    }
}

TEST(UsbString, CutAfter126Units) {
    const std::string longest(126, 'x');
    const Bytes d126 = encode(longest);
    ASSERT_EQ(d126.size(), 254u);
    EXPECT_EQ(d126[0], 0xFE);

    const Bytes d200 = encode(std::string(200, 'y'));
    ASSERT_EQ(d200.size(), 254u);
    EXPECT_EQ(d200[0], 0xFE);
    EXPECT_EQ(d200[253], 0x00);
    EXPECT_EQ(d200[252], 'y');

    // Multi-byte characters are cut on units too: 130 two-byte characters
    // give 126 units.
    std::string accents;
    for (int i = 0; i < 130; ++i) accents += "\xC3\xA9";
    const Bytes d = encode(accents);
    ASSERT_EQ(d.size(), 254u);
    EXPECT_EQ(d[252], 0xE9);
    EXPECT_EQ(d[253], 0x00);
}

TEST(UsbString, MissingIdsAndTheTerminator) {
    usb_string entries[] = {{1, "a"}, {3, "c"}, {7, nullptr}, {8, "never"}};
    usb_gadget_strings table = {0x0409, entries};
    uint8_t buf[256];
    EXPECT_EQ(usb_gadget_get_string(&table, 3, buf), 4);
    EXPECT_EQ(usb_gadget_get_string(&table, 2, buf), -22);
    EXPECT_EQ(usb_gadget_get_string(&table, 7, buf), -22);
    EXPECT_EQ(usb_gadget_get_string(&table, 8, buf), -22);  // behind the terminator
    usb_gadget_strings empty = {0x0409, nullptr};
    EXPECT_EQ(usb_gadget_get_string(&empty, 1, buf), -22);
}

TEST(UsbString, RefusedTextLeavesTheHeaderUnwritten) {
    usb_string entries[] = {{1, "ab\xF0\x9F\x98\x80"}, {2, nullptr}};
    usb_gadget_strings table = {0x0409, entries};
    uint8_t buf[256];
    buf[0] = 0x55;
    buf[1] = 0x66;
    EXPECT_EQ(usb_gadget_get_string(&table, 1, buf), -22);
    EXPECT_EQ(buf[0], 0x55);
    EXPECT_EQ(buf[1], 0x66);
}

TEST(UsbString, PutUnalignedStoresLowByteFirst) {
    uint8_t raw[5] = {};
    put_unaligned_le16(0xBEEF, reinterpret_cast<uint16_t*>(raw + 1));
    EXPECT_EQ(raw[1], 0xEF);
    EXPECT_EQ(raw[2], 0xBE);
    EXPECT_EQ(raw[0], 0);
    EXPECT_EQ(raw[3], 0);
}

TEST(UsbString, Utf8ConversionHonoursItsBudget) {
    uint16_t units[8] = {};
    EXPECT_EQ(utf8_to_utf16le("abcdef", units, 3), 3);
    EXPECT_EQ(utf8_to_utf16le("abc", units, 8), 3);
    EXPECT_EQ(utf8_to_utf16le("", units, 8), 0);
    EXPECT_LT(utf8_to_utf16le("\xF8", units, 8), 0);
}

}  // namespace
