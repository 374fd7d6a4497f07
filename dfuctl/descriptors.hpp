// The descriptors as `describe` shows them, and decoding of string
// descriptors (language list, UTF-16LE texts, the OS string at 0xEE).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace dfuctl {

struct EndpointInfo {
    std::uint8_t address = 0;
    std::uint8_t attributes = 0;
    std::uint16_t max_packet = 0;
    std::uint8_t interval = 0;
};

struct InterfaceInfo {
    std::uint8_t number = 0;
    std::uint8_t alternate = 0;
    std::uint8_t interface_class = 0;
    std::uint8_t interface_subclass = 0;
    std::uint8_t interface_protocol = 0;
    std::uint8_t string_index = 0;
    std::vector<EndpointInfo> endpoints;
};

// Plain copy of what libusb hands out, so formatting needs no device.
struct DescriptorInfo {
    std::uint16_t id_vendor = 0;
    std::uint16_t id_product = 0;
    std::uint16_t bcd_device = 0;
    std::uint16_t bcd_usb = 0;
    std::uint8_t device_class = 0;
    std::uint8_t device_subclass = 0;
    std::uint8_t device_protocol = 0;
    std::uint8_t max_packet0 = 0;
    std::uint8_t i_manufacturer = 0;
    std::uint8_t i_product = 0;
    std::uint8_t i_serial = 0;
    std::uint8_t num_configurations = 0;
    bool has_configuration = false;
    std::uint8_t configuration_value = 0;
    std::uint8_t i_configuration = 0;
    std::uint8_t config_attributes = 0;
    std::uint8_t max_power = 0;
    std::vector<InterfaceInfo> interfaces;
};

// "bulk", "interrupt", "isochronous" or "control" from bmAttributes.
std::string endpoint_type_name(std::uint8_t attributes);

// One "key value" pair per line of `describe`, in output order.
std::vector<std::pair<std::string, std::string>> describe_lines(const DescriptorInfo& info);
nlohmann::ordered_json describe_json(const DescriptorInfo& info);

// UTF-16LE to UTF-8; unpaired surrogates become U+FFFD. An odd last byte is dropped.
std::string utf16le_to_utf8(std::span<const std::uint8_t> bytes);

// A string descriptor (bLength, type 3, UTF-16LE text). Empty result when it
// is not one: shorter than 2 bytes, wrong type, or bLength below 2.
std::optional<std::string> decode_string_descriptor(std::span<const std::uint8_t> bytes);
// The language list of string index 0. Empty result when malformed.
std::optional<std::vector<std::uint16_t>> decode_langids(std::span<const std::uint8_t> bytes);

// The OS string descriptor at index 0xEE: 18 bytes, a 7-character
// signature and the vendor code.
struct OsStringDescriptor {
    std::string signature;
    std::uint8_t vendor_code = 0;
};
std::optional<OsStringDescriptor> decode_os_string(std::span<const std::uint8_t> bytes);

}  // namespace dfuctl
