// The built-in emulated device and the questions every user of a model asks.
#include "emulator/usb/device_model.h"

#include "emulator/usb/usb_api.h"

#include <algorithm>
#include <cstring>

namespace emu::usb {

namespace {

constexpr size_t PatternPeriod = 251;
// The pattern from offset 0 for 17 periods (4267 bytes): a fill copies runs
// of it instead of taking a remainder per byte.
constexpr size_t PatternTableBytes = PatternPeriod * 17;

struct PatternTable {
    uint8_t bytes[PatternTableBytes];
    constexpr PatternTable() : bytes{}
    {
        for (size_t i = 0; i < PatternTableBytes; ++i) {
            bytes[i] = static_cast<uint8_t>(i % PatternPeriod);
        }
    }
};

constexpr PatternTable patternTable;

}  // namespace

uint8_t SourcePatternByte(uint64_t offset)
{
    return patternTable.bytes[offset % PatternPeriod];
}

void FillSourcePattern(uint8_t* out, size_t length, uint64_t offset)
{
    size_t start = static_cast<size_t>(offset % PatternPeriod);
    while (length != 0) {
        const size_t run = std::min(length, PatternTableBytes - start);
        std::memcpy(out, patternTable.bytes + start, run);
        out += run;
        length -= run;
        start = (start + run) % PatternPeriod;
    }
}

// A high-speed vendor device (VID 0x1209, PID 0x0001), one configuration.
static std::vector<uint8_t> BuiltinDeviceDescriptor()
{
    return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0x00, 0x00, 0x00, 64,
            0x09, 0x12, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 1};
}

// Configuration 1, bus powered with remote wakeup, 100 mA; interface 0
// (vendor specific) with five endpoints in the order their pipes appear.
static std::vector<uint8_t> BuiltinConfigDescriptor()
{
    const uint8_t total = 9 + 9 + 5 * 7;
    return {
        9, USB_CONFIGURATION_DESCRIPTOR_TYPE, total, 0, 1, 1, 0, USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP, 50,
        9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 5, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0, 0,
        7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x01, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0,
        7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0,
        7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x83, USB_ENDPOINT_TYPE_INTERRUPT, 0x10, 0x00, 4,
        7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0,
        7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x82, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0,
    };
}

static void AddLoopbackPair(DeviceModel& model, uint8_t out, uint8_t in)
{
    model.endpoints[out] = EndpointRole{EndpointBehaviour::Loopback, in};
    model.endpoints[in] = EndpointRole{EndpointBehaviour::Loopback, out};
}

DeviceModel DeviceModel::Builtin()
{
    DeviceModel model;
    model.deviceDescriptor = BuiltinDeviceDescriptor();
    model.configDescriptor = BuiltinConfigDescriptor();
    AddLoopbackPair(model, 0x01, 0x81);
    AddLoopbackPair(model, 0x02, 0x82);
    model.endpoints[0x83] = EndpointRole{EndpointBehaviour::Silent, std::nullopt};
    return model;
}

EndpointRole DeviceModel::RoleFor(uint8_t address) const
{
    const auto found = endpoints.find(address);
    if (found != endpoints.end()) {
        return found->second;
    }
    const bool in = (address & USB_ENDPOINT_DIRECTION_MASK) != 0;
    return EndpointRole{in ? EndpointBehaviour::Silent : EndpointBehaviour::Sink, std::nullopt};
}

bool DeviceModel::RemoteWakeCapable() const
{
    const size_t attributes = offsetof(USB_CONFIGURATION_DESCRIPTOR, bmAttributes);
    if (configDescriptor.size() <= attributes) {
        return false;
    }
    return (configDescriptor[attributes] & USB_CONFIG_REMOTE_WAKEUP) != 0 && power.systemWake > PowerSystemUnspecified;
}

}  // namespace emu::usb
