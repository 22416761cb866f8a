// GET_DESCRIPTOR_FROM_DEVICE at the emulated PDO: at most the bytes asked
// for, the count reported, and the failures a device can produce.
#include "tests/usb/usb_fixture.h"

namespace usb_test {
namespace {

// The read of `asked` bytes after `before` did its part; a stalled read
// fails as the device chose, a disabled port does not answer, a gone device
// is gone, and a held completion mode does not hold descriptor reads.
struct ReadCase {
    const char* name;
    UCHAR type;
    UCHAR index;
    ULONG asked;
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG delivered;
    void (*before)(emu::usb::UsbDevice&) = nullptr;
};

class DescriptorRead : public BusFixture, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(DescriptorRead, DeliversAtMostTheBytesAskedFor)
{
    const ReadCase& c = GetParam();
    if (c.before != nullptr) {
        c.before(device());
    }
    std::vector<uint8_t> buffer(c.asked + 8, 0xEE);
    DescriptorUrb request(c.type, c.index, buffer.data(), c.asked);
    EXPECT_EQ(SendUrb(request), std::pair(c.status, c.usbd));
    EXPECT_EQ(request.urb->UrbControlDescriptorRequest.TransferBufferLength, c.delivered);
    const auto& model = device().Model();
    const auto& source = c.type == USB_DEVICE_DESCRIPTOR_TYPE ? model.deviceDescriptor : model.configDescriptor;
    std::vector<uint8_t> expected(source.begin(), source.begin() + c.delivered);
    expected.resize(buffer.size(), 0xEE);
    EXPECT_EQ(buffer, expected) << "the delivered bytes, and nothing written beyond them";
    const auto urbs = device().Urbs();
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(std::tuple(urbs[0].function, urbs[0].requestedLength, urbs[0].actualLength, urbs[0].status),
              std::tuple(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, c.asked, c.delivered, c.status));
}

constexpr UCHAR kDevice = USB_DEVICE_DESCRIPTOR_TYPE, kConfig = USB_CONFIGURATION_DESCRIPTOR_TYPE;
constexpr USBD_STATUS kOk = USBD_STATUS_SUCCESS;
INSTANTIATE_TEST_SUITE_P(
    Reads, DescriptorRead,
    ::testing::Values(ReadCase{"DeviceWhole", kDevice, 0, 18, STATUS_SUCCESS, kOk, 18},
                      ReadCase{"DeviceShortBuffer", kDevice, 0, 8, STATUS_SUCCESS, kOk, 8},
                      ReadCase{"DeviceLongBuffer", kDevice, 0, 64, STATUS_SUCCESS, kOk, 18},
                      ReadCase{"ConfigHeader", kConfig, 0, 9, STATUS_SUCCESS, kOk, 9},
                      ReadCase{"ConfigWhole", kConfig, 0, 53, STATUS_SUCCESS, kOk, 53},
                      ReadCase{"ConfigLongBuffer", kConfig, 0, 255, STATUS_SUCCESS, kOk, 53},
                      ReadCase{"ZeroLength", kConfig, 0, 0, STATUS_SUCCESS, kOk, 0},
                      ReadCase{"NoSecondConfiguration", kConfig, 1, 9, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
                      ReadCase{"NoStrings", USB_STRING_DESCRIPTOR_TYPE, 0, 9, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
                      ReadCase{"HeldModeAnswersAtOnce", kDevice, 0, 18, STATUS_SUCCESS, kOk, 18,
                               [](auto& d) { d.SetCompletionMode(emu::usb::CompletionMode::Held); }},
                      ReadCase{"Stalled", kDevice, 0, 18, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0,
                               [](auto& d) { d.FailDescriptorRead(1); }},
                      ReadCase{"PortDisabled", kDevice, 0, 18, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 0,
                               [](auto& d) { d.SetPortEnabled(false); }},
                      ReadCase{"Gone", kDevice, 0, 18, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0,
                               [](auto& d) { d.Disconnect(); }}),
    [](const auto& info) { return std::string(info.param.name); });

// Unserved codes and functions, a missing URB and a descriptor buffer
// shorter than its length are findings and failures.
TEST_F(BusFixture, MalformedRequestsAreFindingsAndFailures)
{
    ExpectFinding("internal device-control code not served", [&] {
        EXPECT_EQ(SendInternal(Pdo(), IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    });
    for (int function : {URB_FUNCTION_CONTROL_TRANSFER, URB_FUNCTION_SELECT_INTERFACE, URB_FUNCTION_VENDOR_DEVICE,
                         URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, 0x7777}) {
        URB urb{};
        urb.UrbHeader.Length = sizeof urb;
        urb.UrbHeader.Function = static_cast<USHORT>(function);
        ExpectFinding("URB function not served", [&] {
            EXPECT_EQ(SubmitUrb(Pdo(), &urb), STATUS_INVALID_PARAMETER);
            EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION) << function;
        });
    }
    ExpectFinding("without a readable URB", [&] { EXPECT_EQ(SubmitUrb(Pdo(), nullptr), STATUS_INVALID_PARAMETER); });
    void* small = ExAllocatePoolWithTag(NonPagedPool, 4, TestPoolTag);
    DescriptorUrb request(USB_DEVICE_DESCRIPTOR_TYPE, 0, small, 18);
    ExpectFinding("runs past the end of its pool block", [&] { EXPECT_EQ(SendUrb(request).first, STATUS_INVALID_PARAMETER); });
    ExFreePool(small);
}

TEST_F(BusFixture, PortRequestsAbovePassiveLevelAreFindings)
{
    ULONG bits = 0;
    ExpectFinding("above PASSIVE_LEVEL", [&] {
        emu::ScopedIrql dispatch(DISPATCH_LEVEL);
        auto request = std::make_unique<AsyncRequest>(Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [&](PIO_STACK_LOCATION next) {
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
            next->Parameters.Others.Argument1 = &bits;
        });
        request->Send();
        request.reset();
    });
}

}  // namespace
}  // namespace usb_test
