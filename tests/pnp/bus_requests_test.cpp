// The synchronous bus requests: SubmitUrbSync, SendPipeReset and
// ResetPortIfDisabled, against a lower driver that answers as told.
#include "tests/pnp/support/driver_fixture.h"

#include "emulator/kernel/system.h"
#include "usb/bus_requests.h"

#include <string>

namespace pondrel::test {
namespace {

class BusRequestsTest : public DriverFixture {
protected:
    void SetUp() override { BringUp(); }
};

// SubmitUrbSync, through a pipe reset: the request's status is the result,
// waited for only when pended, and the driver holds one more I/O reference
// while the bus has the URB. A pipe reset reports any success as success.
TEST_F(BusRequestsTest, SubmitUrbSyncReturnsTheRequestStatus)
{
    const struct {
        const char* name;
        std::optional<Verdict> answer;
        NTSTATUS expected;
    } cases[] = {
        {"the bus serves it", std::nullopt, STATUS_SUCCESS},
        {"failure at once", Verdict::CompleteWith(STATUS_UNSUCCESSFUL), STATUS_UNSUCCESSFUL},
        {"pended, then success", Verdict::Pended(STATUS_SUCCESS), STATUS_SUCCESS},
        {"pended, then failure", Verdict::Pended(STATUS_DEVICE_NOT_CONNECTED), STATUS_DEVICE_NOT_CONNECTED},
        {"informational success", Verdict::CompleteWith(STATUS_OBJECT_NAME_EXISTS), STATUS_SUCCESS},
    };
    PUSBD_PIPE_INFORMATION pipe = &context()->InterfaceInfo->Pipes[1];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spy().ForgetAnswers();
        spy().ForgetSeen();
        if (c.answer) {
            spy().AnswerInternal(IOCTL_INTERNAL_USB_SUBMIT_URB, *c.answer);
        }
        const LONG before = IoRefCount();
        {
            emu::DriverScope scope(driver());
            EXPECT_EQ(SendPipeReset(fdo(), pipe), c.expected);
        }
        const std::vector<SeenRequest> seen = spy().SeenUrbs(URB_FUNCTION_RESET_PIPE);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].ioRefCount, before + 1);
        EXPECT_EQ(seen[0].pipeHandle, pipe->PipeHandle);
        EXPECT_EQ(IoRefCount(), before);
    }
}

// The port is reset only when the device is connected and the port is not
// enabled; otherwise the query's own status, a success (not
// STATUS_SUCCESS here) or a failure, is the result.
TEST_F(BusRequestsTest, ResetPortOnlyWhenConnectedAndDisabled)
{
    const struct {
        ULONG portStatus;
        NTSTATUS queryStatus;
        bool reset;
        NTSTATUS expected;
    } cases[] = {
        {0, STATUS_OBJECT_NAME_EXISTS, false, STATUS_OBJECT_NAME_EXISTS},
        {USBD_PORT_ENABLED, STATUS_OBJECT_NAME_EXISTS, false, STATUS_OBJECT_NAME_EXISTS},
        {USBD_PORT_ENABLED | USBD_PORT_CONNECTED, STATUS_OBJECT_NAME_EXISTS, false, STATUS_OBJECT_NAME_EXISTS},
        {USBD_PORT_CONNECTED, STATUS_OBJECT_NAME_EXISTS, true, STATUS_UNSUCCESSFUL},
        {USBD_PORT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED, false, STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("port status " + std::to_string(c.portStatus) + ", query status " +
                     std::to_string(c.queryStatus));
        spy().ForgetSeen();
        spy().ForgetAnswers();
        spy().AnswerInternal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, Verdict::Pended(c.queryStatus, c.portStatus));
        spy().AnswerInternal(IOCTL_INTERNAL_USB_RESET_PORT, Verdict::Pended(STATUS_UNSUCCESSFUL));
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
