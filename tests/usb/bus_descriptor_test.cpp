// GET_DESCRIPTOR_FROM_DEVICE at the emulated PDO: at most the bytes asked
// for, the count reported, and the failures a device can produce.
#include "tests/usb/usb_fixture.h"

namespace usb_test {
namespace {

struct ReadCase {
    const char* name;
    UCHAR type;
    UCHAR index;
    ULONG asked;
    NTSTATUS status;
    ULONG delivered;
};

class DescriptorRead : public BusFixture, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(DescriptorRead, DeliversAtMostTheBytesAskedFor)
{
    const ReadCase& c = GetParam();
    std::vector<uint8_t> buffer(c.asked + 8, 0xEE);
    DescriptorUrb request(c.type, c.index, buffer.data(), c.asked);
    EXPECT_EQ(SendUrb(request).first, c.status);
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

INSTANTIATE_TEST_SUITE_P(
    Reads, DescriptorRead,
    ::testing::Values(ReadCase{"DeviceWhole", USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, STATUS_SUCCESS, 18},
                      ReadCase{"DeviceShortBuffer", USB_DEVICE_DESCRIPTOR_TYPE, 0, 8, STATUS_SUCCESS, 8},
                      ReadCase{"DeviceLongBuffer", USB_DEVICE_DESCRIPTOR_TYPE, 0, 64, STATUS_SUCCESS, 18},
                      ReadCase{"ConfigHeader", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, STATUS_SUCCESS, 9},
                      ReadCase{"ConfigWhole", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 53, STATUS_SUCCESS, 53},
                      ReadCase{"ConfigLongBuffer", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 255, STATUS_SUCCESS, 53},
                      ReadCase{"ZeroLength", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, STATUS_SUCCESS, 0},
                      ReadCase{"NoSecondConfiguration", USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 9, STATUS_UNSUCCESSFUL, 0},
                      ReadCase{"NoStrings", USB_STRING_DESCRIPTOR_TYPE, 0, 9, STATUS_UNSUCCESSFUL, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Descriptor reads complete in every completion mode (from the bus thread
// in its mode, at once in the others) and fail as the
// device or its port makes them: the chosen read stalls, a disabled port
// does not answer, a gone device is gone.
TEST_F(BusFixture, DescriptorReadsFailAsTheDeviceOrItsPortSays)
{
    using Mode = emu::usb::CompletionMode;
    device().FailDescriptorRead(2);
    const struct {
        Mode mode;
        std::function<void()> before;
        NTSTATUS status;
        USBD_STATUS usbd;
    } reads[] = {
        {Mode::BusThread, [] {}, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {Mode::Synchronous, [] {}, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
        {Mode::Held, [] {}, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {Mode::Synchronous, [&] { device().SetPortEnabled(false); }, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING},
        {Mode::Synchronous, [&] { device().SetPortEnabled(true); device().Disconnect(); }, STATUS_DEVICE_NOT_CONNECTED,
         USBD_STATUS_DEVICE_GONE},
    };
    int i = 0;
    for (const auto& read : reads) {
        device().SetCompletionMode(read.mode);
        read.before();
        uint8_t buffer[18] = {};
        DescriptorUrb request(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
        auto async = AsyncRequest::Urb(Pdo(), request.urb);
        const bool pending = async->Send() == STATUS_PENDING;
        ASSERT_TRUE(async->Wait());
        EXPECT_EQ(std::tuple(pending, async->Status(), request.urb->UrbHeader.Status, buffer[0]),
                  std::tuple(read.mode == Mode::BusThread, read.status, read.usbd, read.status == STATUS_SUCCESS ? 18 : 0))
            << "read " << ++i;
    }
}

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
