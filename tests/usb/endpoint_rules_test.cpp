// The bus judges every endpoint of a configuration by the USB rules for the
// device's speed before it selects it; a configuration with one endpoint
// the rules forbid is refused whole, with USBD_STATUS_INVALID_PARAMETER.
#include "tests/usb/usb_fixture.h"

namespace usb_test {
namespace {

using emu::usb::BusSpeed;

TEST_F(BusFixture, OnlyEndpointsValidAtTheDevicesSpeedAreSelected)
{
    constexpr uint8_t Bulk = USB_ENDPOINT_TYPE_BULK, Interrupt = USB_ENDPOINT_TYPE_INTERRUPT,
                      Isochronous = USB_ENDPOINT_TYPE_ISOCHRONOUS;
    const struct {
        BusSpeed speed;
        uint8_t type;
        uint16_t wMaxPacketSize;
        bool companion;  // a SuperSpeed endpoint companion descriptor follows the endpoint
        bool selected;
    } table[] = {
        {BusSpeed::Full, Bulk, 64, false, true},          {BusSpeed::Full, Bulk, 12, false, false},
        {BusSpeed::Full, Bulk, 512, false, false},        {BusSpeed::Full, Bulk, 0, false, false},
        {BusSpeed::High, Bulk, 512, false, true},         {BusSpeed::High, Bulk, 64, false, false},
        {BusSpeed::High, Bulk, 0x1200, false, false},     {BusSpeed::Super, Bulk, 1024, true, true},
        {BusSpeed::Super, Bulk, 1024, false, false},      {BusSpeed::Super, Bulk, 512, true, false},
        {BusSpeed::Low, Interrupt, 16, false, false},     {BusSpeed::Full, Interrupt, 65, false, false},
        {BusSpeed::High, Interrupt, 0, false, false},     {BusSpeed::High, Interrupt, 0x1400, false, true},
        {BusSpeed::Full, Isochronous, 1024, false, false}, {BusSpeed::High, Isochronous, 0, false, true},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(std::string(emu::usb::BusSpeedName(row.speed)) + " " + std::to_string(row.type) + " " +
                     std::to_string(row.wMaxPacketSize));
        emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin().AtSpeed(row.speed);
        model.configDescriptor = {9, 2, 25, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x81, row.type,
                                  static_cast<uint8_t>(row.wMaxPacketSize), static_cast<uint8_t>(row.wMaxPacketSize >> 8), 1};
        if (row.companion) {
            model.configDescriptor.insert(model.configDescriptor.end(), {6, 0x30, 0, 0, 0, 0});
            model.configDescriptor[2] += 6;
        }
        auto device = emu::usb::Bus::Instance().Plug(model);
        SelectRequest request(model.configDescriptor);
        EXPECT_EQ(SubmitUrb(device->Pdo(), request.urb), row.selected ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        EXPECT_EQ(request.urb->UrbHeader.Status, row.selected ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PARAMETER);
        EXPECT_EQ(device->Configured(), row.selected);
        emu::usb::Bus::Instance().Unplug(device);
    }
}

}  // namespace
}  // namespace usb_test
