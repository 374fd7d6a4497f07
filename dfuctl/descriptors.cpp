#include "descriptors.hpp"

#include <gadgetdfu/protocol.h>

#include <nlohmann/json.hpp>

#include "numbers.hpp"

namespace dfuctl {

std::string endpoint_type_name(std::uint8_t attributes) {
    switch (attributes & 0x03) {
    case 0:
        return "control";
    case 1:
        return "isochronous";
    case 2:
        return "bulk";
    default:
        return "interrupt";
    }
}

std::vector<std::pair<std::string, std::string>> describe_lines(const DescriptorInfo& d) {
    std::vector<std::pair<std::string, std::string>> l;
    auto dec = [](unsigned v) { return std::to_string(v); };
    l.emplace_back("idVendor", hex_value(d.id_vendor, 4));
    l.emplace_back("idProduct", hex_value(d.id_product, 4));
    l.emplace_back("bcdDevice", hex_value(d.bcd_device, 4));
    l.emplace_back("bcdUSB", hex_value(d.bcd_usb, 4));
    l.emplace_back("bDeviceClass", hex_value(d.device_class, 2));
    l.emplace_back("bDeviceSubClass", hex_value(d.device_subclass, 2));
    l.emplace_back("bDeviceProtocol", hex_value(d.device_protocol, 2));
    l.emplace_back("bMaxPacketSize0", dec(d.max_packet0));
    l.emplace_back("iManufacturer", dec(d.i_manufacturer));
    l.emplace_back("iProduct", dec(d.i_product));
    l.emplace_back("iSerialNumber", dec(d.i_serial));
    l.emplace_back("bNumConfigurations", dec(d.num_configurations));
    if (!d.has_configuration) return l;
    l.emplace_back("bConfigurationValue", dec(d.configuration_value));
    l.emplace_back("iConfiguration", dec(d.i_configuration));
    l.emplace_back("bmAttributes", hex_value(d.config_attributes, 2));
    l.emplace_back("bMaxPower", dec(d.max_power));
    for (const auto& i : d.interfaces) {
        l.emplace_back("bInterfaceNumber", dec(i.number));
        l.emplace_back("bInterfaceClass", hex_value(i.interface_class, 2));
        l.emplace_back("bInterfaceSubClass", hex_value(i.interface_subclass, 2));
        l.emplace_back("bInterfaceProtocol", hex_value(i.interface_protocol, 2));
        l.emplace_back("iInterface", dec(i.string_index));
        l.emplace_back("bNumEndpoints", dec(static_cast<unsigned>(i.endpoints.size())));
        for (const auto& e : i.endpoints) {
            l.emplace_back("endpoint", hex_value(e.address, 2) + " " + endpoint_type_name(e.attributes) +
                                           " " + dec(e.max_packet) + " " + dec(e.interval));
        }
    }
    return l;
}

nlohmann::ordered_json describe_json(const DescriptorInfo& d) {
    nlohmann::ordered_json j;
    j["idVendor"] = d.id_vendor;
    j["idProduct"] = d.id_product;
    j["bcdDevice"] = d.bcd_device;
    j["bcdUSB"] = d.bcd_usb;
    j["bDeviceClass"] = d.device_class;
    j["bDeviceSubClass"] = d.device_subclass;
    j["bDeviceProtocol"] = d.device_protocol;
    j["bMaxPacketSize0"] = d.max_packet0;
    j["iManufacturer"] = d.i_manufacturer;
    j["iProduct"] = d.i_product;
    j["iSerialNumber"] = d.i_serial;
    j["bNumConfigurations"] = d.num_configurations;
    if (d.has_configuration) {
        j["bConfigurationValue"] = d.configuration_value;
        j["iConfiguration"] = d.i_configuration;
        j["bmAttributes"] = d.config_attributes;
        j["bMaxPower"] = d.max_power;
        // One interface is the board's layout; further ones go to "interfaces".
        auto put_interface = [](nlohmann::ordered_json& o, const InterfaceInfo& i) {
            o["bInterfaceNumber"] = i.number;
            o["bInterfaceClass"] = i.interface_class;
            o["bInterfaceSubClass"] = i.interface_subclass;
            o["bInterfaceProtocol"] = i.interface_protocol;
            o["iInterface"] = i.string_index;
            o["bNumEndpoints"] = i.endpoints.size();
            auto eps = nlohmann::ordered_json::array();
            for (const auto& e : i.endpoints) {
                eps.push_back({{"bEndpointAddress", e.address},
                               {"type", endpoint_type_name(e.attributes)},
                               {"wMaxPacketSize", e.max_packet},
                               {"bInterval", e.interval}});
            }
            o["endpoints"] = std::move(eps);
        };
        if (!d.interfaces.empty()) put_interface(j, d.interfaces.front());
        if (d.interfaces.size() > 1) {
            auto more = nlohmann::ordered_json::array();
            for (std::size_t k = 1; k < d.interfaces.size(); ++k) {
                nlohmann::ordered_json o;
                put_interface(o, d.interfaces[k]);
                more.push_back(std::move(o));
            }
            j["interfaces"] = std::move(more);
        }
    }
    return j;
}

namespace {

void put_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// The descriptor's own bytes: bLength of them, or what arrived if fewer.
std::span<const std::uint8_t> descriptor_body(std::span<const std::uint8_t> bytes) {
    const std::size_t len = std::min<std::size_t>(bytes[0], bytes.size());
    return bytes.subspan(2, len - 2);
}

bool is_string_descriptor(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 2 && bytes[0] >= 2 && bytes[1] == 3;
}

}  // namespace

std::string utf16le_to_utf8(std::span<const std::uint8_t> bytes) {
    std::string out;
    const std::size_t units = bytes.size() / 2;
    auto unit = [&](std::size_t i) -> std::uint32_t { return bytes[2 * i] | bytes[2 * i + 1] << 8; };
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            put_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            put_utf8(out, 0xFFFD);
        } else {
            put_utf8(out, u);
        }
    }
    return out;
}

std::optional<std::string> decode_string_descriptor(std::span<const std::uint8_t> bytes) {
    if (!is_string_descriptor(bytes)) return std::nullopt;
    return utf16le_to_utf8(descriptor_body(bytes));
}

std::optional<std::vector<std::uint16_t>> decode_langids(std::span<const std::uint8_t> bytes) {
    if (!is_string_descriptor(bytes)) return std::nullopt;
    const auto body = descriptor_body(bytes);
    std::vector<std::uint16_t> ids;
    for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
        ids.push_back(static_cast<std::uint16_t>(body[i] | body[i + 1] << 8));
    }
    return ids;
}

std::optional<OsStringDescriptor> decode_os_string(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < gadgetdfu::kMsOsStringLength || bytes[0] != gadgetdfu::kMsOsStringLength ||
        bytes[1] != 3) {
        return std::nullopt;
    }
    OsStringDescriptor d;
    d.signature = utf16le_to_utf8(bytes.subspan(2, 14));
    d.vendor_code = bytes[16];
    return d;
}

}  // namespace dfuctl
