// The synchronous bus requests: SubmitUrbSync, SendPipeReset and
// ResetPortIfDisabled, against a lower driver that answers as told.
#include "tests/pnp/support/driver_fixture.h"

#include "emulator/kernel/system.h"
#include "usb/bus_requests.h"

namespace pondrel::test {
namespace {

constexpr ULONG TestPoolTag = 0x74736554;  // "Test"

class BusRequestsTest : public DriverFixture {
protected:
    void SetUp() override { BringUp(); }

    // A device-descriptor request in pool memory, as the driver builds them.
    struct DescriptorRequest {
        DescriptorRequest()
        {
            urb = static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(
                ExAllocatePoolWithTag(NonPagedPool, sizeof(*urb), TestPoolTag));
            buffer = ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), TestPoolTag);
            RtlZeroMemory(urb, sizeof(*urb));
            urb->Hdr.Length = sizeof(*urb);
            urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
            urb->TransferBuffer = buffer;
            urb->TransferBufferLength = sizeof(USB_DEVICE_DESCRIPTOR);
            urb->DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        }
        ~DescriptorRequest()
        {
            ExFreePool(urb);
            ExFreePool(buffer);
        }
        PURB Urb() { return reinterpret_cast<PURB>(urb); }

        _URB_CONTROL_DESCRIPTOR_REQUEST* urb;
        PVOID buffer;
    };

    NTSTATUS Submit(DescriptorRequest& request)
    {
        emu::DriverScope scope(driver());
        return SubmitUrbSync(fdo(), request.Urb());
    }

    PUSBD_PIPE_INFORMATION Pipe(ULONG index) { return &context()->InterfaceInfo->Pipes[index]; }
};

// The request's status is the result, waited for only when pended; the
// driver holds one more I/O reference while the bus has the URB.
TEST_F(BusRequestsTest, SubmitUrbSyncReturnsTheRequestStatus)
{
    const struct {
        const char* name;
        std::optional<InternalAnswer> answer;
        NTSTATUS expected;
    } cases[] = {
        {"the bus serves it", std::nullopt, STATUS_SUCCESS},
        {"success at once", InternalAnswer{STATUS_SUCCESS, false, std::nullopt}, STATUS_SUCCESS},
        {"failure at once", InternalAnswer{STATUS_UNSUCCESSFUL, false, std::nullopt}, STATUS_UNSUCCESSFUL},
        {"pended, then success", InternalAnswer{STATUS_SUCCESS, true, std::nullopt}, STATUS_SUCCESS},
        {"pended, then failure", InternalAnswer{STATUS_DEVICE_NOT_CONNECTED, true, std::nullopt},
         STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spy().ForgetAnswers();
        spy().ForgetSeen();
        if (c.answer) {
            spy().AnswerInternal(IOCTL_INTERNAL_USB_SUBMIT_URB, *c.answer);
        }
        DescriptorRequest request;
        const LONG before = IoRefCount();

        EXPECT_EQ(Submit(request), c.expected);

        const std::vector<SeenRequest> seen = spy().Seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(seen[0].ioControlCode, static_cast<ULONG>(IOCTL_INTERNAL_USB_SUBMIT_URB));
        EXPECT_EQ(seen[0].urbFunction, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        EXPECT_EQ(seen[0].ioRefCount, before + 1);
        EXPECT_EQ(IoRefCount(), before);
    }
}

TEST_F(BusRequestsTest, SubmitUrbSyncWithoutARequestSendsNothing)
{
    DescriptorRequest request;
    spy().ForgetSeen();
    const LONG before = IoRefCount();
    emu::faults::FailNthCall(1);
    const NTSTATUS status = Submit(request);
    emu::faults::Clear();

    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(spy().Seen().empty());
    EXPECT_EQ(IoRefCount(), before);
}

TEST_F(BusRequestsTest, SendPipeResetReportsAnySuccessAsSuccess)
{
    const struct {
        const char* name;
        NTSTATUS bus;
        NTSTATUS expected;
    } cases[] = {
        {"success", STATUS_SUCCESS, STATUS_SUCCESS},
        {"informational success", STATUS_OBJECT_NAME_EXISTS, STATUS_SUCCESS},
        {"failure", STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spy().ForgetSeen();
        spy().FailUrb(URB_FUNCTION_RESET_PIPE, c.bus);
        emu::DriverScope scope(driver());
        EXPECT_EQ(SendPipeReset(fdo(), Pipe(1)), c.expected);
        ASSERT_EQ(spy().CountUrbs(URB_FUNCTION_RESET_PIPE), 1u);
        EXPECT_EQ(spy().Seen()[0].pipeHandle, Pipe(1)->PipeHandle);
    }
}

TEST_F(BusRequestsTest, SendPipeResetWithoutPoolSendsNothing)
{
    spy().ForgetSeen();
    emu::DriverScope scope(driver());
    emu::pool::FailAllocationsWithTag(PondrelPoolTag);
    const NTSTATUS status = SendPipeReset(fdo(), Pipe(0));
    emu::pool::ClearFaults();
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(spy().Seen().empty());
}

// The port is reset only when the device is connected and the port is not
// enabled; otherwise the query's own (success) status is the result.
TEST_F(BusRequestsTest, ResetPortOnlyWhenConnectedAndDisabled)
{
    constexpr NTSTATUS QueryStatus = STATUS_OBJECT_NAME_EXISTS;  // a success other than STATUS_SUCCESS
    constexpr NTSTATUS ResetStatus = STATUS_UNSUCCESSFUL;
    const struct {
        ULONG portStatus;
        bool reset;
        NTSTATUS expected;
    } cases[] = {
        {0, false, QueryStatus},
        {USBD_PORT_ENABLED, false, QueryStatus},
        {USBD_PORT_ENABLED | USBD_PORT_CONNECTED, false, QueryStatus},
        {USBD_PORT_CONNECTED, true, ResetStatus},
    };
    spy().AnswerInternal(IOCTL_INTERNAL_USB_RESET_PORT, InternalAnswer{ResetStatus, true, std::nullopt});
    for (const auto& c : cases) {
        SCOPED_TRACE("port status " + std::to_string(c.portStatus));
        spy().ForgetSeen();
        spy().AnswerInternal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, InternalAnswer{QueryStatus, true, c.portStatus});
        const LONG before = IoRefCount();

        emu::DriverScope scope(driver());
        EXPECT_EQ(ResetPortIfDisabled(fdo()), c.expected);

        const std::vector<SeenRequest> seen = spy().Seen();
        ASSERT_EQ(seen.size(), c.reset ? 2u : 1u);
        EXPECT_EQ(seen[0].ioControlCode, static_cast<ULONG>(IOCTL_INTERNAL_USB_GET_PORT_STATUS));
        EXPECT_EQ(seen[0].ioRefCount, before);
        if (c.reset) {
            EXPECT_EQ(seen[1].ioControlCode, static_cast<ULONG>(IOCTL_INTERNAL_USB_RESET_PORT));
        }
    }
}

TEST_F(BusRequestsTest, FailedPortQuerySendsNoReset)
{
    spy().ForgetSeen();
    spy().AnswerInternal(IOCTL_INTERNAL_USB_GET_PORT_STATUS,
                         InternalAnswer{STATUS_DEVICE_NOT_CONNECTED, false, USBD_PORT_CONNECTED});
    emu::DriverScope scope(driver());
    EXPECT_EQ(ResetPortIfDisabled(fdo()), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(spy().Seen().size(), 1u);
}

TEST_F(BusRequestsTest, ResetPortReachesADisabledPort)
{
    const uint64_t before = device().PortResets();
    device().SetPortEnabled(false);
    emu::DriverScope scope(driver());
    EXPECT_EQ(ResetPortIfDisabled(fdo()), STATUS_SUCCESS);
    EXPECT_EQ(device().PortResets(), before + 1);

    EXPECT_EQ(ResetPortIfDisabled(fdo()), STATUS_SUCCESS);
    EXPECT_EQ(device().PortResets(), before + 1);
}

}  // namespace
}  // namespace pondrel::test
