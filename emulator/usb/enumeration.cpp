// The hub's checks of a device descriptor, from the USB rules for
// GET_DESCRIPTOR(DEVICE) and the default control pipe.
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

}  // namespace

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
