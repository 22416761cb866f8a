// SELECT_CONFIGURATION at the emulated PDO: packet sizes the bus fills, pipe
// handles that die with their configuration, unconfiguring, and the
// requests it refuses without touching the configuration in force.
#include "tests/usb/usb_fixture.h"

#include <cstring>

namespace usb_test {
namespace {

// A high-bandwidth endpoint's packet size is its transactions times their
// size; a caller's own size stands with USBD_PF_CHANGE_MAX_PACKET; the bus
// keeps its own copy of the descriptor it selected from.
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
    const USBD_PIPE_INFORMATION* pipes = highBandwidth.Interface(0).Pipes;  // as many as the interface has
    EXPECT_EQ(std::tuple(pipes[0].MaximumPacketSize, pipes[2].MaximumPacketSize), std::tuple(64, 48));
    std::memset(highBandwidth.config, 0, highBandwidth.config->wTotalLength);
    std::vector<uint8_t> data = Pattern(100);
    EXPECT_EQ(SendBulk(Pdo(), pipes[0].PipeHandle, data.data(), 100).first, STATUS_SUCCESS);
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
    EXPECT_EQ(SendBulk(Pdo(), second[0].PipeHandle, data.data(), 8), refused);
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

}  // namespace
}  // namespace usb_test
