// SELECT_CONFIGURATION at the emulated PDO: the fields the bus fills, pipe
// handles that die with their configuration, unconfiguring, and the
// requests it refuses without touching the configuration in force.
#include "tests/usb/usb_fixture.h"

#include <cstring>
#include <set>

namespace usb_test {
namespace {

using emu::usb::DeviceModel;

TEST_F(BusFixture, SelectFillsEveryInterfaceAndPipeField)
{
    SelectRequest request(device().Model().configDescriptor);
    ASSERT_NE(request.urb, nullptr);
    EXPECT_FALSE(device().Configured());
    EXPECT_EQ(SendUrb(request.urb), std::pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS));
    EXPECT_TRUE(device().Configured());
    const auto& interface = request.Interface(0);
    EXPECT_EQ(std::tuple(interface.Length, interface.Class, interface.SubClass, interface.Protocol),
              std::tuple(24 + 24 * 5, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0));
    using Pipe = std::tuple<int, int, int, int>;  // address, type, packet size, interval
    std::vector<Pipe> pipes;
    std::set<void*> handles = {interface.InterfaceHandle, request.urb->UrbSelectConfiguration.ConfigurationHandle};
    for (ULONG i = 0; i < interface.NumberOfPipes; ++i) {
        const auto& pipe = interface.Pipes[i];
        pipes.emplace_back(pipe.EndpointAddress, pipe.PipeType, pipe.MaximumPacketSize, pipe.Interval);
        handles.insert(pipe.PipeHandle);
    }
    EXPECT_EQ(pipes, (std::vector<Pipe>{{0x01, UsbdPipeTypeBulk, 512, 0},
                                        {0x81, UsbdPipeTypeBulk, 512, 0},
                                        {0x83, UsbdPipeTypeInterrupt, 16, 4},
                                        {0x02, UsbdPipeTypeBulk, 512, 0},
                                        {0x82, UsbdPipeTypeBulk, 512, 0}}));
    handles.erase(nullptr);
    EXPECT_EQ(handles.size(), 7u) << "every handle is set and unique";
    std::memset(request.config, 0, request.config->wTotalLength);  // the bus keeps its own copy
    std::vector<uint8_t> data = Pattern(100);
    EXPECT_EQ(SendBulk(Pdo(), interface.Pipes[0].PipeHandle, data.data(), 100).first, STATUS_SUCCESS);
}

TEST_F(BusFixture, HighBandwidthPacketSizeAndTheCallersOwnSizeWithChangeMaxPacket)
{
    const auto& descriptor = device().Model().configDescriptor;
    // endpoint 0x83: 3 transactions of 16 bytes per microframe
    std::vector<uint8_t> changed = descriptor;
    changed[18 + 2 * 7 + 4] = 16;
    changed[18 + 2 * 7 + 5] = 0x10;  // (2 << 11) >> 8
    SelectRequest highBandwidth(changed);
    highBandwidth.Interface(0).Pipes[0].PipeFlags = USBD_PF_CHANGE_MAX_PACKET;
    highBandwidth.Interface(0).Pipes[0].MaximumPacketSize = 64;
    ASSERT_EQ(SubmitUrb(Pdo(), highBandwidth.urb), STATUS_SUCCESS);
    EXPECT_EQ(highBandwidth.Interface(0).Pipes[2].MaximumPacketSize, 48);
    EXPECT_EQ(highBandwidth.Interface(0).Pipes[0].MaximumPacketSize, 64);
}

// Pipe handles die with their configuration: a new selection or a select
// with no descriptor, which unconfigures the device, leaves them refused.
TEST_F(BusFixture, PipeHandlesDieWithTheirConfiguration)
{
    const auto first = Configure();
    const auto second = Configure();
    ASSERT_FALSE(first.empty() || second.empty());
    EXPECT_NE(first[0].PipeHandle, second[0].PipeHandle);
    std::vector<uint8_t> data(8);
    const auto refused = std::pair(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(SendBulk(Pdo(), first[0].PipeHandle, data.data(), 8), refused);
    EXPECT_EQ(SendBulk(Pdo(), second[0].PipeHandle, data.data(), 8).first, STATUS_SUCCESS);
    PipeUrb abort(URB_FUNCTION_ABORT_PIPE, first[1].PipeHandle);
    EXPECT_EQ(SubmitUrb(Pdo(), abort.urb), STATUS_INVALID_PARAMETER);

    PoolUrb deconfigure(sizeof(struct _URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(deconfigure.urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(SendUrb(deconfigure), std::pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS));
    EXPECT_FALSE(device().Configured());
    for (const auto& pipe : second) {
        const ULONG direction = (pipe.EndpointAddress & 0x80) != 0 ? USBD_TRANSFER_DIRECTION_IN : 0;
        EXPECT_EQ(SendBulk(Pdo(), pipe.PipeHandle, data.data(), 8, direction), refused) << int(pipe.EndpointAddress);
    }
}

// Ways a select request can be wrong; each is refused with its URB status
// and leaves the configuration in force usable.
struct BadSelect {
    const char* name;
    std::function<void(SelectRequest&)> spoil;
    USBD_STATUS status;
};

class RefusedSelect : public BusFixture, public ::testing::WithParamInterface<BadSelect> {};

TEST_P(RefusedSelect, LeavesThePreviousConfigurationInForce)
{
    const auto pipes = Configure();
    ASSERT_FALSE(pipes.empty());
    SelectRequest request(device().Model().configDescriptor);
    GetParam().spoil(request);
    EXPECT_NE(SubmitUrb(Pdo(), request.urb), STATUS_SUCCESS);
    EXPECT_EQ(request.urb->UrbHeader.Status, GetParam().status);
    EXPECT_TRUE(device().Configured());
    std::vector<uint8_t> data(8);
    EXPECT_EQ(SendBulk(Pdo(), pipes[0].PipeHandle, data.data(), 8).first, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RefusedSelect,
    ::testing::Values(
        BadSelect{"InterfaceNotFound", [](SelectRequest& r) { r.Interface(0).AlternateSetting = 3; },
                  USBD_STATUS_INTERFACE_NOT_FOUND},
        BadSelect{"RecordTooSmallForItsPipes",
                  [](SelectRequest& r) {
                      r.Interface(0).Length = 48;
                      r.urb->UrbHeader.Length = 40 + 48;
                  },
                  USBD_STATUS_BUFFER_TOO_SMALL},
        BadSelect{"UnknownPipeFlags", [](SelectRequest& r) { r.Interface(0).Pipes[3].PipeFlags = 0x100; },
                  USBD_STATUS_INAVLID_PIPE_FLAGS},
        BadSelect{"InterfaceCountDiffers", [](SelectRequest& r) { r.config->bNumInterfaces = 2; },
                  USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
        BadSelect{"UnknownConfigurationValue", [](SelectRequest& r) { r.config->bConfigurationValue = 7; },
                  USBD_STATUS_SET_CONFIG_FAILED},
        BadSelect{"RecordLengthZero", [](SelectRequest& r) { r.Interface(0).Length = 0; },
                  USBD_STATUS_INVALID_PARAMETER},
        BadSelect{"RecordLengthPastTheUrb", [](SelectRequest& r) { r.Interface(0).Length = 4000; },
                  USBD_STATUS_INVALID_PARAMETER},
        BadSelect{"DescriptorMissingEndpoints", [](SelectRequest& r) { r.config->wTotalLength = 9 + 9 + 2 * 7; },
                  USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BusFixture, AHeaderLengthBeyondTheUrbsPoolBlockIsNotWalked)
{
    SelectRequest request(device().Model().configDescriptor);
    request.urb->UrbHeader.Length = 0xFFF0;  // the block holds 184 bytes
    EXPECT_EQ(SubmitUrb(Pdo(), request.urb), STATUS_SUCCESS);
    EXPECT_EQ(request.Interface(0).NumberOfPipes, 5u);
}

class TwoInterfaceDevice : public BusFixture {
protected:
    DeviceModel Model() override
    {
        DeviceModel model = DeviceModel::Builtin();
        model.configDescriptor = {9, 2, 0, 0, 2, 1, 0, 0x80, 50,
                                  9, 4, 0, 0, 1, 0xFF, 0, 0, 0,
                                  7, 5, 0x81, 2, 0, 2, 0,
                                  9, 4, 0, 1, 1, 0xFF, 0, 0, 0,
                                  7, 5, 0x81, 3, 8, 0, 1,
                                  9, 4, 2, 0, 2, 0xFF, 1, 2, 0,
                                  7, 5, 0x02, 2, 0, 2, 0,
                                  7, 5, 0x82, 2, 0, 2, 0};
        model.configDescriptor[2] = static_cast<uint8_t>(model.configDescriptor.size());
        return model;
    }
};

TEST_F(TwoInterfaceDevice, EachInterfaceAtAlternateZeroGetsItsOwnPipes)
{
    SelectRequest request(device().Model().configDescriptor);
    ASSERT_EQ(request.list.size(), 3u);
    ASSERT_EQ(SubmitUrb(Pdo(), request.urb), STATUS_SUCCESS);
    auto& first = request.Interface(0);
    auto& second = request.Interface(1);
    ASSERT_EQ(std::tuple(first.InterfaceNumber, first.NumberOfPipes, second.InterfaceNumber, second.NumberOfPipes),
              std::tuple(0, 1u, 2, 2u));
    EXPECT_EQ(first.Pipes[0].PipeType, UsbdPipeTypeBulk) << "alternate 1 of interface 0 has the interrupt pipe";
    EXPECT_EQ(std::tuple(second.SubClass, second.Protocol, second.Pipes[1].EndpointAddress), std::tuple(1, 2, 0x82));
    EXPECT_NE(first.InterfaceHandle, second.InterfaceHandle);
}

}  // namespace
}  // namespace usb_test
