// The hub's checks of a device descriptor, from the USB rules for
// GET_DESCRIPTOR(DEVICE) and the default control pipe.
#include "emulator/usb/enumeration.h"

#include "emulator/usb/descriptor_walk.h"
#include "emulator/usb/usb_api.h"

namespace emu::usb {
namespace {

constexpr size_t DeviceDescriptorSize = 18;
constexpr uint16_t Usb3 = 0x0300;
constexpr uint16_t HighSpeedBulkPacket = 512;
constexpr uint8_t SuperSpeedEndpointZeroExponent = 9;  // 2^9 = 512 bytes

uint16_t BcdUsb(const std::vector<uint8_t>& descriptor)
{
    return descriptor.size() < 4 ? 0 : static_cast<uint16_t>(descriptor[2] | descriptor[3] << 8);
}

// Full speed allows 8, 16, 32 or 64 bytes on endpoint 0, high speed only
// 64; at super speed the field is an exponent and must give 512.
bool EndpointZeroPacketFits(uint8_t value, BusSpeed speed)
{
    switch (speed) {
    case BusSpeed::Super: return value == SuperSpeedEndpointZeroExponent;
    case BusSpeed::High: return value == 64;
    case BusSpeed::Full: return value == 8 || value == 16 || value == 32 || value == 64;
    }
    return false;
}

const char* SpeedName(BusSpeed speed)
{
    switch (speed) {
    case BusSpeed::Super: return "super speed";
    case BusSpeed::High: return "high speed";
    case BusSpeed::Full: return "full speed";
    }
    return "?";
}

}  // namespace

BusSpeed SpeedOf(const DeviceModel& model)
{
    if (BcdUsb(model.deviceDescriptor) >= Usb3) {
        return BusSpeed::Super;
    }
    const auto parsed = ParseConfiguration(model.configDescriptor.data(), model.configDescriptor.size());
    if (parsed) {
        for (const auto& interface : parsed->interfaces) {
            for (const auto& endpoint : interface.endpoints) {
                if (endpoint.Type() == USB_ENDPOINT_TYPE_BULK && endpoint.MaximumPacketSize() == HighSpeedBulkPacket) {
                    return BusSpeed::High;
                }
            }
        }
    }
    return BusSpeed::Full;
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
        return "bMaxPacketSize0 " + std::to_string(d[7]) + " is not valid at " + SpeedName(speed);
    }
    if (d[17] == 0) {
        return "bNumConfigurations 0";
    }
    return {};
}

}  // namespace emu::usb
