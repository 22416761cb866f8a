// The synchronous bus requests: SubmitUrbSync, SendPipeReset and
// ResetPortIfDisabled, against a lower driver that answers as told.
#include "tests/pnp/support/driver_fixture.h"

#include "emulator/kernel/system.h"
#include "usb/bus_requests.h"

#include <string>

namespace pondrel::test {
namespace {

constexpr ULONG TestPoolTag = 0x74736554;  // "Test"

class BusRequestsTest : public DriverFixture {
protected:
    void SetUp() override { BringUp(); }

    // Sends a device-descriptor request, in pool memory as the driver
    // builds them, with SubmitUrbSync.
    NTSTATUS SubmitDescriptorRead()
    {
        struct Request {
            _URB_CONTROL_DESCRIPTOR_REQUEST urb;
            USB_DEVICE_DESCRIPTOR descriptor;
        };
        auto* request = static_cast<Request*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Request), TestPoolTag));
        RtlZeroMemory(request, sizeof(*request));
        request->urb.Hdr.Length = sizeof(request->urb);
        request->urb.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        request->urb.TransferBuffer = &request->descriptor;
        request->urb.TransferBufferLength = sizeof(request->descriptor);
        request->urb.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        emu::DriverScope scope(driver());
        const NTSTATUS status = SubmitUrbSync(fdo(), reinterpret_cast<PURB>(&request->urb));
        ExFreePool(request);
        return status;
    }

    PUSBD_PIPE_INFORMATION Pipe(ULONG index) { return &context()->InterfaceInfo->Pipes[index]; }
};

// The request's status is the result, waited for only when pended; the
// driver holds one more I/O reference while the bus has the URB. A pipe
// reset reports any success as success.
TEST_F(BusRequestsTest, SubmitUrbSyncReturnsTheRequestStatus)
{
    const struct {
        const char* name;
        bool pipeReset;
        std::optional<Verdict> answer;
        NTSTATUS expected;
    } cases[] = {
        {"the bus serves it", false, std::nullopt, STATUS_SUCCESS},
        {"failure at once", false, Verdict::CompleteWith(STATUS_UNSUCCESSFUL), STATUS_UNSUCCESSFUL},
        {"pended, then success", false, Verdict::Pended(STATUS_SUCCESS), STATUS_SUCCESS},
        {"pended, then failure", false, Verdict::Pended(STATUS_DEVICE_NOT_CONNECTED), STATUS_DEVICE_NOT_CONNECTED},
        {"pipe reset, informational success", true, Verdict::CompleteWith(STATUS_OBJECT_NAME_EXISTS), STATUS_SUCCESS},
        {"pipe reset, failure", true, Verdict::CompleteWith(STATUS_UNSUCCESSFUL), STATUS_UNSUCCESSFUL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spy().ForgetAnswers();
        spy().ForgetSeen();
        if (c.answer) {
            spy().AnswerInternal(IOCTL_INTERNAL_USB_SUBMIT_URB, *c.answer);
        }
        const LONG before = IoRefCount();
        if (c.pipeReset) {
            emu::DriverScope scope(driver());
            EXPECT_EQ(SendPipeReset(fdo(), Pipe(1)), c.expected);
        } else {
            EXPECT_EQ(SubmitDescriptorRead(), c.expected);
        }
        const std::vector<SeenRequest> seen =
            spy().SeenUrbs(c.pipeReset ? URB_FUNCTION_RESET_PIPE : URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].ioRefCount, before + 1);
        EXPECT_EQ(seen[0].pipeHandle, c.pipeReset ? Pipe(1)->PipeHandle : nullptr);
        EXPECT_EQ(IoRefCount(), before);
    }
}

// The port is reset only when the device is connected and the port is not
// enabled; otherwise the query's own status, a success or a failure, is
// the result.
TEST_F(BusRequestsTest, ResetPortOnlyWhenConnectedAndDisabled)
{
    constexpr NTSTATUS QueryStatus = STATUS_OBJECT_NAME_EXISTS;  // a success other than STATUS_SUCCESS
    constexpr NTSTATUS ResetStatus = STATUS_UNSUCCESSFUL;
    const struct {
        ULONG portStatus;
        NTSTATUS queryStatus;
        bool reset;
        NTSTATUS expected;
    } cases[] = {
        {0, QueryStatus, false, QueryStatus},
        {USBD_PORT_ENABLED, QueryStatus, false, QueryStatus},
        {USBD_PORT_ENABLED | USBD_PORT_CONNECTED, QueryStatus, false, QueryStatus},
        {USBD_PORT_CONNECTED, QueryStatus, true, ResetStatus},
        {USBD_PORT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED, false, STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("port status " + std::to_string(c.portStatus) + ", query status " +
                     std::to_string(c.queryStatus));
        spy().ForgetSeen();
        spy().ForgetAnswers();
        spy().AnswerInternal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, Verdict::Pended(c.queryStatus, c.portStatus));
        spy().AnswerInternal(IOCTL_INTERNAL_USB_RESET_PORT, Verdict::Pended(ResetStatus));
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

}  // namespace
}  // namespace pondrel::test
