// The bus judges every endpoint of a configuration by the USB rules for the
// device's speed before it selects it; a configuration with one endpoint
// the rules forbid is refused whole, with USBD_STATUS_INVALID_PARAMETER.
#include "tests/usb/usb_fixture.h"

namespace usb_test {
namespace {

using emu::usb::BusSpeed;
using emu::usb::DeviceModel;

struct EndpointCase;
void PrintTo(const EndpointCase& c, std::ostream* out);

struct EndpointCase {
    const char* name;
    BusSpeed speed;
    uint8_t attributes;  // transfer type
    uint16_t wMaxPacketSize;
    bool companion;  // a SuperSpeed endpoint companion descriptor follows the endpoint
    bool selected;
};

void PrintTo(const EndpointCase& c, std::ostream* out)
{
    *out << c.name;
}

class EndpointRules : public BusFixture, public ::testing::WithParamInterface<EndpointCase> {
protected:
    // One interface with one IN endpoint as the case describes it, behind
    // a device descriptor valid at the case's speed.
    DeviceModel Model() override
    {
        const EndpointCase& c = GetParam();
        DeviceModel model = DeviceModel::Builtin().AtSpeed(c.speed);
        model.configDescriptor = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, USB_CONFIG_BUS_POWERED, 50,
                                  9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 1, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0, 0,
                                  7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, c.attributes,
                                  static_cast<uint8_t>(c.wMaxPacketSize & 0xFF),
                                  static_cast<uint8_t>(c.wMaxPacketSize >> 8), 1};
        if (c.companion) {
            model.configDescriptor.insert(model.configDescriptor.end(), {6, 0x30, 0, 0, 0, 0});
        }
        model.configDescriptor[2] = static_cast<uint8_t>(model.configDescriptor.size());
        model.endpoints.clear();
        return model;
    }
};

TEST_P(EndpointRules, OnlyEndpointsValidAtTheDevicesSpeedAreSelected)
{
    SelectRequest request(device().Model().configDescriptor);
    const NTSTATUS status = SubmitUrb(Pdo(), request.urb);
    if (GetParam().selected) {
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_TRUE(device().Configured());
        return;
    }
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(request.urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(device().Configured());
}

constexpr uint8_t Bulk = USB_ENDPOINT_TYPE_BULK;
constexpr uint8_t Interrupt = USB_ENDPOINT_TYPE_INTERRUPT;
constexpr uint8_t Isochronous = USB_ENDPOINT_TYPE_ISOCHRONOUS;

INSTANTIATE_TEST_SUITE_P(
    Cases, EndpointRules,
    ::testing::Values(EndpointCase{"Bulk64Full", BusSpeed::Full, Bulk, 64, false, true},
                      EndpointCase{"Bulk8Full", BusSpeed::Full, Bulk, 8, false, true},
                      EndpointCase{"Bulk12Full", BusSpeed::Full, Bulk, 12, false, false},
                      EndpointCase{"Bulk512Full", BusSpeed::Full, Bulk, 512, false, false},
                      EndpointCase{"Bulk0Full", BusSpeed::Full, Bulk, 0, false, false},
                      EndpointCase{"Bulk512High", BusSpeed::High, Bulk, 512, false, true},
                      EndpointCase{"Bulk64High", BusSpeed::High, Bulk, 64, false, false},
                      EndpointCase{"Bulk0High", BusSpeed::High, Bulk, 0, false, false},
                      EndpointCase{"Bulk512WithExtraTransactionsHigh", BusSpeed::High, Bulk, 0x1200, false, false},
                      EndpointCase{"Bulk1024Super", BusSpeed::Super, Bulk, 1024, true, true},
                      EndpointCase{"Bulk1024WithoutCompanionSuper", BusSpeed::Super, Bulk, 1024, false, false},
                      EndpointCase{"Bulk512Super", BusSpeed::Super, Bulk, 512, true, false},
                      EndpointCase{"Interrupt8Low", BusSpeed::Low, Interrupt, 8, false, true},
                      EndpointCase{"Interrupt16Low", BusSpeed::Low, Interrupt, 16, false, false},
                      EndpointCase{"Interrupt64Full", BusSpeed::Full, Interrupt, 64, false, true},
                      EndpointCase{"Interrupt65Full", BusSpeed::Full, Interrupt, 65, false, false},
                      EndpointCase{"Interrupt0High", BusSpeed::High, Interrupt, 0, false, false},
                      EndpointCase{"Interrupt3x1024High", BusSpeed::High, Interrupt, 0x1400, false, true},
                      EndpointCase{"InterruptWithExtraTransactionsFull", BusSpeed::Full, Interrupt, 0x0810, false, false},
                      EndpointCase{"Isochronous1023Full", BusSpeed::Full, Isochronous, 1023, false, true},
                      EndpointCase{"Isochronous1024Full", BusSpeed::Full, Isochronous, 1024, false, false},
                      EndpointCase{"Isochronous0High", BusSpeed::High, Isochronous, 0, false, true},
                      EndpointCase{"ReservedBitsHigh", BusSpeed::High, Interrupt, 0x2010, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace usb_test
