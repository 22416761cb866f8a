// The hub's checks of a device descriptor, from the USB rules for
// GET_DESCRIPTOR(DEVICE) and the default control pipe, and the bus's checks
// of the endpoints of a configuration it is asked to select.
#include "emulator/usb/enumeration.h"

#include "emulator/usb/usb_api.h"

namespace emu::usb {
namespace {

constexpr size_t DeviceDescriptorSize = 18;
constexpr uint8_t SuperSpeedEndpointZeroExponent = 9;  // 2^9 = 512 bytes

// Low speed allows only 8 bytes on endpoint 0, full speed 8, 16, 32 or 64 bytes on endpoint 0, high speed only
// 64; at super speed the field is an exponent and must give 512.
bool EndpointZeroPacketFits(uint8_t value, BusSpeed speed)
{
    switch (speed) {
    case BusSpeed::Super: return value == SuperSpeedEndpointZeroExponent;
    case BusSpeed::High: return value == 64;
    case BusSpeed::Full: return value == 8 || value == 16 || value == 32 || value == 64;
    case BusSpeed::Low: return value == 8;
    }
    return false;
}

std::string Hex(uint8_t value)
{
    static const char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[value >> 4] + digits[value & 15];
}

bool FullSpeedBulkSize(uint16_t size)
{
    return size == 8 || size == 16 || size == 32 || size == 64;
}

// The packet sizes USB 2.0 (chapters 5 and 9) and USB 3.x (chapter 9) allow
// an endpoint of each transfer type at each speed. wMaxPacketSize bits
// 11-12 (extra transactions per microframe) exist only for high-speed
// periodic endpoints; bits 13-15 are reserved. Empty when allowed.
std::string PacketSizeRejection(const EndpointInfo& endpoint, BusSpeed speed)
{
    const uint16_t raw = endpoint.wMaxPacketSize;
    const uint16_t size = raw & 0x7FF;
    const unsigned extra = (raw >> 11) & 3;
    const bool highPeriodic = speed == BusSpeed::High && endpoint.Type() != USB_ENDPOINT_TYPE_BULK;
    const std::string speedName = std::string(BusSpeedName(speed)) + " speed";
    if ((raw >> 13) != 0 || (extra != 0 && !highPeriodic) || extra == 3) {
        return "reserved bits set in wMaxPacketSize " + std::to_string(raw);
    }
    switch (endpoint.Type()) {
    case USB_ENDPOINT_TYPE_BULK:
        if (speed == BusSpeed::Low) return "a low-speed device has no bulk endpoints";
        if (speed == BusSpeed::Full && FullSpeedBulkSize(size)) return {};
        if (speed == BusSpeed::High && size == 512) return {};
        if (speed == BusSpeed::Super && size == 1024) return {};
        return "bulk wMaxPacketSize " + std::to_string(size) + " is not valid at " + speedName + " (" +
               (speed == BusSpeed::Full ? "8, 16, 32 or 64" : speed == BusSpeed::High ? "512" : "1024") + ")";
    case USB_ENDPOINT_TYPE_INTERRUPT: {
        const uint16_t most = speed == BusSpeed::Low ? 8 : speed == BusSpeed::Full ? 64 : 1024;
        if (size >= 1 && size <= most) return {};
        return "interrupt wMaxPacketSize " + std::to_string(size) + " is not valid at " + speedName + " (1 to " +
               std::to_string(most) + ")";
    }
    case USB_ENDPOINT_TYPE_ISOCHRONOUS: {
        if (speed == BusSpeed::Low) return "a low-speed device has no isochronous endpoints";
        const uint16_t most = speed == BusSpeed::Full ? 1023 : 1024;
        if (size <= most) return {};
        return "isochronous wMaxPacketSize " + std::to_string(size) + " is not valid at " + speedName + " (0 to " +
               std::to_string(most) + ")";
    }
    default:
        return "an endpoint descriptor of control type";
    }
}

}  // namespace

std::string EndpointRejection(const ParsedConfiguration& parsed, BusSpeed speed)
{
    for (const InterfaceInfo& interface : parsed.interfaces) {
        for (const EndpointInfo& endpoint : interface.endpoints) {
            std::string why = PacketSizeRejection(endpoint, speed);
            if (why.empty() && speed == BusSpeed::Super && !endpoint.companion) {
                why = "no SuperSpeed endpoint companion descriptor follows it";
            }
            if (!why.empty()) {
                return "endpoint " + Hex(endpoint.address) + " of interface " +
                       std::to_string(interface.descriptor.bInterfaceNumber) + ": " + why;
            }
        }
    }
    return {};
}

std::string ConfigurationRejection(const std::vector<uint8_t>& configDescriptor, BusSpeed speed)
{
    auto parsed = ParseConfiguration(configDescriptor.data(), configDescriptor.size());
    return parsed ? EndpointRejection(*parsed, speed) : std::string();
}

std::string HubRejection(const std::vector<uint8_t>& d, BusSpeed speed)
{
    if (d.size() < DeviceDescriptorSize) {
        return "the device descriptor has " + std::to_string(d.size()) + " bytes, not 18";
    }
    if (d[0] != DeviceDescriptorSize) {
        return "bLength " + std::to_string(d[0]) + ", not 18";
    }
    if (d[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        return "bDescriptorType " + std::to_string(d[1]) + ", not 1 (device)";
    }
    if (!EndpointZeroPacketFits(d[7], speed)) {
        return "bMaxPacketSize0 " + std::to_string(d[7]) + " is not valid at " + std::string(BusSpeedName(speed)) + " speed";
    }
    if (d[17] == 0) {
        return "bNumConfigurations 0";
    }
    return {};
}

}  // namespace emu::usb

namespace emu::usb {

// A device of bcdUSB above 2.00 must give a BOS descriptor: a 5-byte header
// (type 15) whose wTotalLength covers the bNumDeviceCaps device capability
// descriptors (type 16) that follow it.
std::string BosRejection(const std::vector<uint8_t>& device, const std::vector<uint8_t>& bos)
{
    constexpr uint8_t BosType = 15, CapabilityType = 16, HeaderSize = 5;
    if (device.size() < 4 || (device[2] | (device[3] << 8)) <= 0x0200) {
        return {};
    }
    if (bos.empty()) {
        return "bcdUSB above 2.00 and no BOS descriptor";
    }
    if (bos.size() < HeaderSize || bos[0] != HeaderSize || bos[1] != BosType ||
        static_cast<size_t>(bos[2] | (bos[3] << 8)) != bos.size()) {
        return "the BOS descriptor's header is malformed";
    }
    size_t capabilities = 0;
    for (size_t at = HeaderSize; at < bos.size(); at += bos[at], ++capabilities) {
        if (bos.size() - at < 3 || bos[at] < 3 || bos[at] > bos.size() - at || bos[at + 1] != CapabilityType) {
            return "the BOS descriptor's capability at byte " + std::to_string(at) + " is malformed";
        }
    }
    if (capabilities != bos[4]) {
        return "the BOS descriptor announces " + std::to_string(bos[4]) + " capabilities and holds " +
               std::to_string(capabilities);
    }
    return {};
}

std::string HubRejection(const DeviceModel& model)
{
    std::string why = HubRejection(model.deviceDescriptor, model.speed);
    return why.empty() ? BosRejection(model.deviceDescriptor, model.bosDescriptor) : why;
}

}  // namespace emu::usb
