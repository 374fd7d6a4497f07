// dfuctl's reading of descriptors a board sent: string descriptors (the
// language list, UTF-16LE texts, the OS string at 0xEE) for `strings` and
// the serial number, and the conversion of libusb's parsed device and
// configuration descriptors for `describe`.
//
// Input: a selector byte, then
//   0: a string descriptor (the rest, as it came off the wire)
//   1: a device and configuration descriptor set: the 18 bytes of the device
//      descriptor, a flag byte (bit 0: there is a configuration), the 9 of
//      the configuration, then per interface setting 9 bytes and per
//      endpoint 7, with bNumInterfaces, the settings count (one byte before
//      each interface) and bNumEndpoints as libusb leaves them after parsing
//      (at most what the input still holds).
//
// Checked: the decoders accept exactly what their documentation says, every
// text they make is valid UTF-8, the language list has bLength's count of
// ids, `describe` shows every interface and endpoint once, and both its
// text and JSON forms come out for any values.
#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "descriptors.hpp"
#include "fuzz_input.h"
#include "output.hpp"
#include "usb.hpp"

namespace {

using namespace dfuctl;

bool valid_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3F);
        }
        const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

void string_descriptor(const std::vector<std::uint8_t>& bytes) {
    const bool is_string = bytes.size() >= 2 && bytes[0] >= 2 && bytes[1] == 3;
    const auto text = decode_string_descriptor(bytes);
    FUZZ_CHECK(text.has_value() == is_string, "string descriptor accepted wrongly");
    if (text) {
        FUZZ_CHECK(valid_utf8(*text), "string descriptor text is not UTF-8");
        // Each UTF-16 unit makes at most 3 bytes of UTF-8 (a pair makes 4).
        const std::size_t body = std::min<std::size_t>(bytes[0], bytes.size()) - 2;
        FUZZ_CHECK(text->size() <= body / 2 * 3, "string text longer than its descriptor");
    }
    const auto langids = decode_langids(bytes);
    FUZZ_CHECK(langids.has_value() == is_string, "language list accepted wrongly");
    if (langids) {
        const std::size_t body = std::min<std::size_t>(bytes[0], bytes.size()) - 2;
        FUZZ_CHECK(langids->size() == body / 2, "language list has the wrong count");
    }
    const auto os = decode_os_string(bytes);
    if (os) {
        FUZZ_CHECK(bytes.size() >= 18 && bytes[0] == 18 && bytes[1] == 3, "OS string accepted wrongly");
        FUZZ_CHECK(os->vendor_code == bytes[16] && valid_utf8(os->signature), "OS string decoded wrongly");
    }
    // What `strings --json` does with the texts.
    Json j{{"text", text ? Json(*text) : Json(nullptr)}, {"os", os ? Json(os->signature) : Json(nullptr)}};
    FUZZ_CHECK(!j.dump(-1, ' ', false, Json::error_handler_t::strict).empty());
}

void check_describe(const libusb_device_descriptor& dd, const libusb_config_descriptor& cfg,
                    std::size_t interfaces, std::size_t endpoints) {
    const DescriptorInfo info = usb::convert_descriptors(dd, &cfg);
    FUZZ_CHECK(info.has_configuration && info.id_vendor == dd.idVendor && info.max_power == cfg.MaxPower);
    FUZZ_CHECK(info.interfaces.size() == interfaces, "interface settings lost or added");
    const auto lines = describe_lines(info);
    std::size_t endpoint_lines = 0, interface_lines = 0;
    for (const auto& [key, value] : lines) {
        endpoint_lines += key == "endpoint";
        interface_lines += key == "bInterfaceNumber";
        FUZZ_CHECK(!value.empty() && value.find('\n') == std::string::npos, "describe line ", key);
    }
    FUZZ_CHECK(endpoint_lines == endpoints, "endpoints lost or added");
    FUZZ_CHECK(interface_lines == interfaces);
    const Json j = describe_json(info);
    FUZZ_CHECK(interfaces == 0 || j.contains("bInterfaceNumber"));
    FUZZ_CHECK(interfaces <= 1 || j["interfaces"].size() == interfaces - 1);
    (void)j.dump();
}

void descriptor_set(FuzzInput& in) {
    libusb_device_descriptor dd{};
    const auto dev = in.bytes(18);
    if (!dev.empty()) std::memcpy(&dd, dev.data(), std::min(dev.size(), sizeof dd));
    const bool configured = in.byte() & 1;

    // Storage for what libusb would allocate: an array of endpoints per
    // setting (a deque keeps the arrays' addresses, not their elements side
    // by side).
    std::deque<std::vector<libusb_endpoint_descriptor>> endpoints;
    std::deque<libusb_interface_descriptor> settings;
    std::vector<libusb_interface> interfaces;
    libusb_config_descriptor cfg{};
    std::size_t want_interfaces = 0, want_endpoints = 0;
    if (configured) {
        cfg.bLength = in.byte();
        cfg.bDescriptorType = in.byte();
        cfg.wTotalLength = in.le16();
        cfg.bNumInterfaces = in.byte();
        cfg.bConfigurationValue = in.byte();
        cfg.iConfiguration = in.byte();
        cfg.bmAttributes = in.byte();
        cfg.MaxPower = in.byte();
        // The interfaces must come out in the order of the array.
        std::vector<std::vector<libusb_interface_descriptor*>> layout;
        for (int i = 0; i < cfg.bNumInterfaces && in.remaining() > 0; ++i) {
            const int alts = in.byte() % 4;
            layout.emplace_back();
            for (int a = 0; a < alts && in.remaining() > 0; ++a) {
                libusb_interface_descriptor& d = settings.emplace_back();
                d.bLength = in.byte();
                d.bDescriptorType = in.byte();
                d.bInterfaceNumber = in.byte();
                d.bAlternateSetting = in.byte();
                d.bNumEndpoints = in.byte();
                d.bInterfaceClass = in.byte();
                d.bInterfaceSubClass = in.byte();
                d.bInterfaceProtocol = in.byte();
                d.iInterface = in.byte();
                auto& array = endpoints.emplace_back();
                for (int k = 0; k < d.bNumEndpoints && in.remaining() > 0; ++k) {
                    libusb_endpoint_descriptor& e = array.emplace_back();
                    e.bLength = in.byte();
                    e.bDescriptorType = in.byte();
                    e.bEndpointAddress = in.byte();
                    e.bmAttributes = in.byte();
                    e.wMaxPacketSize = in.le16();
                    e.bInterval = in.byte();
                }
                const int parsed = static_cast<int>(array.size());
                d.bNumEndpoints = static_cast<std::uint8_t>(parsed);
                d.endpoint = array.empty() ? nullptr : array.data();
                want_endpoints += static_cast<std::size_t>(parsed);
                layout.back().push_back(&d);
            }
        }
        cfg.bNumInterfaces = static_cast<std::uint8_t>(layout.size());
        // Each interface's settings lie side by side, as libusb allocates them.
        std::vector<std::vector<libusb_interface_descriptor>> arrays;
        for (const auto& l : layout) {
            auto& arr = arrays.emplace_back();
            for (auto* d : l) arr.push_back(*d);
            want_interfaces += arr.size();
        }
        for (auto& arr : arrays) {
            interfaces.push_back({arr.empty() ? nullptr : arr.data(), static_cast<int>(arr.size())});
        }
        cfg.interface = interfaces.empty() ? nullptr : interfaces.data();
        check_describe(dd, cfg, want_interfaces, want_endpoints);
        return;
    }
    const DescriptorInfo info = usb::convert_descriptors(dd, nullptr);
    FUZZ_CHECK(!info.has_configuration && info.interfaces.empty());
    FUZZ_CHECK(describe_lines(info).size() == 12, "describe without a configuration");
    (void)describe_json(info).dump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    if (in.byte() % 2 == 0) {
        string_descriptor(in.bytes(in.remaining()));
    } else {
        descriptor_set(in);
    }
    return 0;
}
