// A device model's descriptors rewritten for another bus speed, the way a
// device that runs at several speeds answers on each: the packet sizes the
// USB rules want at that speed, and at SuperSpeed a USB 3 device descriptor
// and a companion descriptor after every endpoint.
#include "emulator/usb/device_model.h"

#include "emulator/usb/descriptor_walk.h"
#include "emulator/usb/usb_api.h"

#include <algorithm>

namespace emu::usb {
namespace {

constexpr size_t DeviceDescriptorSize = 18;
constexpr uint8_t SuperSpeedEndpointZeroExponent = 9;  // 2^9 = 512 bytes

void PutWord(uint8_t* at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t Word(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

// bcdUSB at least what the speed needs (2.00 for high, 3.00 for super) and
// bMaxPacketSize0 the one size every host accepts at that speed.
void AdaptDeviceDescriptor(std::vector<uint8_t>& d, BusSpeed speed)
{
    if (d.size() < DeviceDescriptorSize) {
        return;
    }
    const uint16_t leastUsb = speed == BusSpeed::Super ? 0x0300 : speed == BusSpeed::High ? 0x0200 : 0;
    if (Word(&d[2]) < leastUsb) {
        PutWord(&d[2], leastUsb);
    }
    d[7] = speed == BusSpeed::Super ? SuperSpeedEndpointZeroExponent : speed == BusSpeed::Low ? 8 : 64;
}

// wMaxPacketSize of a bulk or interrupt endpoint at `speed`: bulk takes the
// one largest size allowed, interrupt keeps its size up to the speed's
// limit; only high-speed periodic endpoints keep extra transactions.
uint16_t PacketSizeAt(uint8_t attributes, uint16_t raw, BusSpeed speed)
{
    const uint8_t type = attributes & USB_ENDPOINT_TYPE_MASK;
    if (type == USB_ENDPOINT_TYPE_BULK) {
        return speed == BusSpeed::Super ? 1024 : speed == BusSpeed::High ? 512 : 64;
    }
    const uint16_t most = speed == BusSpeed::Low ? 8 : speed == BusSpeed::Full ? (type == USB_ENDPOINT_TYPE_INTERRUPT ? 64 : 1023) : 1024;
    const uint16_t size = static_cast<uint16_t>(std::min<unsigned>(raw & 0x7FF, most));
    return speed == BusSpeed::High ? static_cast<uint16_t>((raw & 0x1800) | size) : size;
}

// A BOS descriptor with the USB 2.0 extension (LPM) and the SuperSpeed USB
// device capability (full, high and super speed; full functionality from
// full speed).
std::vector<uint8_t> SuperSpeedBos()
{
    return {5, 15, 22, 0, 2, 7, 16, 2, 0x02, 0, 0, 0, 10, 16, 3, 0, 0x0E, 0, 1, 0x0A, 0xFF, 0x07};
}

}  // namespace

// Walks the block by bLength; a malformed tail is kept as it is.
DeviceModel DeviceModel::AtSpeed(BusSpeed target) const
{
    DeviceModel model = *this;
    model.speed = target;
    AdaptDeviceDescriptor(model.deviceDescriptor, target);
    if (target == BusSpeed::Super && model.bosDescriptor.empty()) {
        model.bosDescriptor = SuperSpeedBos();
    }
    const std::vector<uint8_t>& from = configDescriptor;
    std::vector<uint8_t> to;
    size_t offset = 0;
    while (offset + 2 <= from.size() && from[offset] >= 2 && from[offset] <= from.size() - offset) {
        const uint8_t* d = &from[offset];
        offset += d[0];
        if (d[1] == SuperSpeedCompanionType) {
            continue;  // written again below, after its endpoint, when the target needs one
        }
        to.insert(to.end(), d, d + d[0]);
        if (d[1] != USB_ENDPOINT_DESCRIPTOR_TYPE || d[0] < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            continue;
        }
        uint8_t* endpoint = &to[to.size() - d[0]];
        const uint16_t size = PacketSizeAt(endpoint[3], Word(&endpoint[4]), target);
        PutWord(&endpoint[4], size);
        if (target == BusSpeed::Super) {
            const bool periodic = (endpoint[3] & 1) != 0;  // interrupt or isochronous
            const uint16_t perInterval = periodic ? size : 0;
            to.insert(to.end(), {SuperSpeedCompanionSize, SuperSpeedCompanionType, 0, 0, static_cast<uint8_t>(perInterval & 0xFF),
                                 static_cast<uint8_t>(perInterval >> 8)});
        }
    }
    to.insert(to.end(), from.begin() + static_cast<std::ptrdiff_t>(std::min(offset, from.size())), from.end());
    if (to.size() >= 4) {
        PutWord(&to[2], static_cast<uint16_t>(std::min<size_t>(to.size(), 0xFFFF)));
    }
    model.configDescriptor = std::move(to);
    return model;
}

}  // namespace emu::usb
