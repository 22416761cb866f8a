// SELECT_CONFIGURATION at the emulated PDO: the fields the bus fills, pipe
// handles that die with their configuration, unconfiguring, and the
// requests it refuses without touching the configuration in force.
#include "emulator/usb/descriptor_walk.h"
#include "tests/usb/usb_fixture.h"

#include <cstring>
#include <set>

namespace usb_test {
namespace {

using emu::usb::DeviceModel;

// A select-configuration URB built by the bus library from a pool copy of
// the model's descriptor, with every interface at alternate setting 0.
struct SelectRequest {
    explicit SelectRequest(const std::vector<uint8_t>& descriptor)
    {
        config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolCopy(descriptor));
        for (LONG number = 0; number < 256 && list.size() < config->bNumInterfaces; ++number) {
            if (auto* found = USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1)) {
                list.push_back({found, nullptr});
            }
        }
        list.push_back({nullptr, nullptr});
        urb = USBD_CreateConfigurationRequestEx(config, list.data());
    }
    ~SelectRequest()
    {
        ExFreePool(urb);
        ExFreePool(config);
    }
    USBD_INTERFACE_INFORMATION& Interface(size_t k) { return *list[k].Interface; }

    PUSB_CONFIGURATION_DESCRIPTOR config;
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    PURB urb;
};

PURB DeconfigureUrb()
{
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_SELECT_CONFIGURATION), 0x74736554));
    std::memset(urb, 0, sizeof(struct _URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    return urb;
}

TEST_F(BusFixture, SelectFillsEveryInterfaceAndPipeField)
{
    SelectRequest request(device().Model().configDescriptor);
    ASSERT_NE(request.urb, nullptr);
    EXPECT_FALSE(device().Configured());
    EXPECT_EQ(SubmitUrb(Pdo(), request.urb), STATUS_SUCCESS);
    EXPECT_TRUE(device().Configured());
    EXPECT_EQ(request.urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_NE(request.urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    const auto& interface = request.Interface(0);
    EXPECT_EQ(interface.Length, 24 + 24 * 5);
    EXPECT_EQ(interface.Class, USB_DEVICE_CLASS_VENDOR_SPECIFIC);
    EXPECT_EQ(interface.SubClass, 0);
    EXPECT_EQ(interface.Protocol, 0);
    EXPECT_NE(interface.InterfaceHandle, nullptr);
    ASSERT_EQ(interface.NumberOfPipes, 5u);
    struct Expected {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT packet;
        UCHAR interval;
    };
    const Expected expected[] = {{0x01, UsbdPipeTypeBulk, 512, 0},
                                 {0x81, UsbdPipeTypeBulk, 512, 0},
                                 {0x83, UsbdPipeTypeInterrupt, 16, 4},
                                 {0x02, UsbdPipeTypeBulk, 512, 0},
                                 {0x82, UsbdPipeTypeBulk, 512, 0}};
    std::set<void*> handles;
    for (ULONG i = 0; i < 5; ++i) {
        const auto& pipe = interface.Pipes[i];
        EXPECT_EQ(pipe.EndpointAddress, expected[i].address) << i;
        EXPECT_EQ(pipe.PipeType, expected[i].type) << i;
        EXPECT_EQ(pipe.MaximumPacketSize, expected[i].packet) << i;
        EXPECT_EQ(pipe.Interval, expected[i].interval) << i;
        EXPECT_NE(pipe.PipeHandle, nullptr) << i;
        handles.insert(pipe.PipeHandle);
    }
    handles.insert(interface.InterfaceHandle);
    handles.insert(request.urb->UrbSelectConfiguration.ConfigurationHandle);
    EXPECT_EQ(handles.size(), 7u) << "handles must be unique";
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

TEST_F(BusFixture, PipeHandlesOfAnEarlierConfigurationAreRefused)
{
    const auto first = Configure();
    ASSERT_FALSE(first.empty());
    const auto second = Configure();
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first[0].PipeHandle, second[0].PipeHandle);
    std::vector<uint8_t> data(8);
    BulkUrb stale(first[0].PipeHandle, data.data(), 8, USBD_TRANSFER_DIRECTION_OUT);
    EXPECT_EQ(SubmitUrb(Pdo(), stale.urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.Status(), USBD_STATUS_INVALID_PIPE_HANDLE);
    BulkUrb fresh(second[0].PipeHandle, data.data(), 8, USBD_TRANSFER_DIRECTION_OUT);
    EXPECT_EQ(SubmitUrb(Pdo(), fresh.urb), STATUS_SUCCESS);
    PipeUrb abort(URB_FUNCTION_ABORT_PIPE, first[1].PipeHandle);
    EXPECT_EQ(SubmitUrb(Pdo(), abort.urb), STATUS_INVALID_PARAMETER);
}

TEST_F(BusFixture, NullDescriptorUnconfiguresAndKillsEveryHandle)
{
    const auto pipes = Configure();
    ASSERT_FALSE(pipes.empty());
    PURB deconfigure = DeconfigureUrb();
    EXPECT_EQ(SubmitUrb(Pdo(), deconfigure), STATUS_SUCCESS);
    EXPECT_EQ(deconfigure->UrbHeader.Status, USBD_STATUS_SUCCESS);
    ExFreePool(deconfigure);
    EXPECT_FALSE(device().Configured());
    for (const auto& pipe : pipes) {
        std::vector<uint8_t> data(8);
        const bool in = (pipe.EndpointAddress & 0x80) != 0;
        BulkUrb urb(pipe.PipeHandle, data.data(), 8, in ? USBD_TRANSFER_DIRECTION_IN : 0);
        EXPECT_EQ(SubmitUrb(Pdo(), urb.urb), STATUS_INVALID_PARAMETER) << int(pipe.EndpointAddress);
        EXPECT_EQ(urb.Status(), USBD_STATUS_INVALID_PIPE_HANDLE);
    }
}

TEST_F(BusFixture, TheDescriptorMayBeFreedRightAfterTheSelect)
{
    SelectRequest request(device().Model().configDescriptor);
    ASSERT_EQ(SubmitUrb(Pdo(), request.urb), STATUS_SUCCESS);
    std::memset(request.config, 0, request.config->wTotalLength);
    std::vector<uint8_t> data = Pattern(100);
    BulkUrb out(request.Interface(0).Pipes[0].PipeHandle, data.data(), 100, 0);
    EXPECT_EQ(SubmitUrb(Pdo(), out.urb), STATUS_SUCCESS);
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
    BulkUrb out(pipes[0].PipeHandle, data.data(), 8, 0);
    EXPECT_EQ(SubmitUrb(Pdo(), out.urb), STATUS_SUCCESS);
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
    EXPECT_EQ(first.InterfaceNumber, 0);
    ASSERT_EQ(first.NumberOfPipes, 1u);
    EXPECT_EQ(first.Pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(second.InterfaceNumber, 2);
    EXPECT_EQ(second.SubClass, 1);
    EXPECT_EQ(second.Protocol, 2);
    ASSERT_EQ(second.NumberOfPipes, 2u);
    EXPECT_EQ(second.Pipes[1].EndpointAddress, 0x82);
    EXPECT_NE(first.InterfaceHandle, second.InterfaceHandle);
}

}  // namespace
}  // namespace usb_test
