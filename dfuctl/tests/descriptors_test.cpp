// `describe` output and string descriptor decoding.
#include "descriptors.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace dfuctl {
namespace {

// The board as the host sees it when enumerated through the secondary node.
DescriptorInfo board() {
    DescriptorInfo d;
    d.id_vendor = 0x0A5C;
    d.id_product = 0x2711;
    d.bcd_device = 0x0002;
    d.bcd_usb = 0x0000;
    d.device_class = 0xFF;
    d.max_packet0 = 64;
    d.i_manufacturer = 1;
    d.i_product = 2;
    d.i_serial = 3;
    d.num_configurations = 1;
    d.has_configuration = true;
    d.configuration_value = 1;
    d.i_configuration = 4;
    d.config_attributes = 0xC0;
    d.max_power = 0;
    InterfaceInfo i;
    i.interface_class = 0xFF;
    i.string_index = 6;
    i.endpoints = {{0x81, 0x02, 512, 0}, {0x01, 0x02, 512, 0}};
    d.interfaces.push_back(i);
    return d;
}

TEST(Describe, KeysValuesAndOrder) {
    std::string text;
    for (const auto& [k, v] : describe_lines(board())) text += k + " " + v + "\n";
    EXPECT_EQ(text,
              "idVendor 0x0a5c\n"
              "idProduct 0x2711\n"
              "bcdDevice 0x0002\n"
              "bcdUSB 0x0000\n"
              "bDeviceClass 0xff\n"
              "bDeviceSubClass 0x00\n"
              "bDeviceProtocol 0x00\n"
              "bMaxPacketSize0 64\n"
              "iManufacturer 1\n"
              "iProduct 2\n"
              "iSerialNumber 3\n"
              "bNumConfigurations 1\n"
              "bConfigurationValue 1\n"
              "iConfiguration 4\n"
              "bmAttributes 0xc0\n"
              "bMaxPower 0\n"
              "bInterfaceNumber 0\n"
              "bInterfaceClass 0xff\n"
              "bInterfaceSubClass 0x00\n"
              "bInterfaceProtocol 0x00\n"
              "iInterface 6\n"
              "bNumEndpoints 2\n"
              "endpoint 0x81 bulk 512 0\n"
              "endpoint 0x01 bulk 512 0\n");
}

TEST(Describe, UnconfiguredDeviceShowsOnlyTheDeviceDescriptor) {
    auto d = board();
    d.has_configuration = false;
    const auto lines = describe_lines(d);
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines.back().first, "bNumConfigurations");
}

TEST(Describe, JsonKeepsTheKeyOrderWithEndpointObjects) {
    const auto j = describe_json(board());
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    std::vector<std::string> text_keys;
    for (const auto& [k, v] : describe_lines(board())) {
        if (k != "endpoint") text_keys.push_back(k);
    }
    text_keys.push_back("endpoints");
    EXPECT_EQ(keys, text_keys);
    EXPECT_EQ(j["idVendor"], 0x0A5C);
    EXPECT_EQ(j["bmAttributes"], 0xC0);
    ASSERT_EQ(j["endpoints"].size(), 2u);
    EXPECT_EQ(j["endpoints"][0]["bEndpointAddress"], 0x81);
    EXPECT_EQ(j["endpoints"][0]["type"], "bulk");
    EXPECT_EQ(j["endpoints"][1]["wMaxPacketSize"], 512);
}

TEST(Describe, EndpointTypes) {
    EXPECT_EQ(endpoint_type_name(0x00), "control");
    EXPECT_EQ(endpoint_type_name(0x01), "isochronous");
    EXPECT_EQ(endpoint_type_name(0x02), "bulk");
    EXPECT_EQ(endpoint_type_name(0x03), "interrupt");
    EXPECT_EQ(endpoint_type_name(0x0D), "isochronous");  // sync/usage bits ignored
}

std::vector<std::uint8_t> string_descriptor(const std::u16string& text) {
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char16_t c : text) {
        d.push_back(static_cast<std::uint8_t>(c & 0xFF));
        d.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return d;
}

TEST(StringDescriptor, DecodesUtf16) {
    EXPECT_EQ(decode_string_descriptor(string_descriptor(u"Velko Pro DFU")), "Velko Pro DFU");
    EXPECT_EQ(decode_string_descriptor(string_descriptor(u"caf\u00e9 \u20ac")), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(decode_string_descriptor(string_descriptor(u"\U0001F600")), "\xf0\x9f\x98\x80");
    EXPECT_EQ(decode_string_descriptor(std::vector<std::uint8_t>{2, 3}), "");
}

TEST(StringDescriptor, UnpairedSurrogateBecomesReplacementCharacter) {
    const std::vector<std::uint8_t> d{6, 3, 0x00, 0xD8, 'A', 0};
    EXPECT_EQ(decode_string_descriptor(d),
              "\xef\xbf\xbd"
              "A");
}

TEST(StringDescriptor, LengthComesFromBLengthOrWhatArrived) {
    auto d = string_descriptor(u"abcd");
    d.push_back('x');  // trailing garbage beyond bLength
    d.push_back(0);
    EXPECT_EQ(decode_string_descriptor(d), "abcd");
    auto cut = string_descriptor(u"abcd");
    cut.resize(6);  // bLength says 10, only 6 arrived
    EXPECT_EQ(decode_string_descriptor(cut), "ab");
}

TEST(StringDescriptor, RefusesWhatIsNotAStringDescriptor) {
    EXPECT_FALSE(decode_string_descriptor(std::vector<std::uint8_t>{}));
    EXPECT_FALSE(decode_string_descriptor(std::vector<std::uint8_t>{4}));
    EXPECT_FALSE(decode_string_descriptor(std::vector<std::uint8_t>{4, 1, 0, 0}));  // device type
    EXPECT_FALSE(decode_string_descriptor(std::vector<std::uint8_t>{1, 3}));
}

TEST(Langids, ListOfLanguageIds) {
    EXPECT_EQ(decode_langids(std::vector<std::uint8_t>{4, 3, 0x09, 0x04}),
              std::vector<std::uint16_t>{0x0409});
    EXPECT_EQ(decode_langids(std::vector<std::uint8_t>{6, 3, 0x09, 0x04, 0x07, 0x04}),
              (std::vector<std::uint16_t>{0x0409, 0x0407}));
    EXPECT_FALSE(decode_langids(std::vector<std::uint8_t>{4, 2, 0x09, 0x04}));
}

TEST(OsString, SignatureAndVendorCode) {
    const std::vector<std::uint8_t> d{0x12, 0x03, 'M', 0,   'S', 0,   'F', 0,    'T',
                                      0,    '1',  0,   '0', 0,   '0', 0,   0xCD, 0};
    const auto os = decode_os_string(d);
    ASSERT_TRUE(os);
    EXPECT_EQ(os->signature, "MSFT100");
    EXPECT_EQ(os->vendor_code, 0xCD);

    auto short_one = d;
    short_one.resize(17);
    EXPECT_FALSE(decode_os_string(short_one));
    auto wrong_length = d;
    wrong_length[0] = 0x10;
    EXPECT_FALSE(decode_os_string(wrong_length));
}

}  // namespace
}  // namespace dfuctl
