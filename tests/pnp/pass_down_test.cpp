// Plug and Play requests the driver has nothing to do for still go down to
// the bus driver: a start for a device already running (new resource
// requirements reported by a driver of the stack), and any request that
// reaches the device once its removal has begun.
#include "tests/pnp/support/driver_fixture.h"
#include "tests/pnp/support/wait_until.h"

#include <future>

namespace pondrel::test {
namespace {

using PassDownTest = DriverFixture;

// IoInvalidateDeviceState, a device state with
// PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED, and the PnP manager starts the
// running stack again: the configuration stays, and a handle open and a
// read in flight across it keep working.
TEST_F(PassDownTest, StartOfARunningDeviceKeepsItsConfiguration)
{
    BringUp();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = context()->ConfigDescriptor;
    const emu::Handle in = OpenPipe(1);
    auto read = machine().app().ReadAsync(in, 4);
    ASSERT_TRUE(WaitUntil([&] { return device().BusRequests() > 0; }));

    spy().ReportResourceRequirementsChange();
    ASSERT_TRUE(WaitUntil([&] { return spy().Count(IRP_MJ_PNP, IRP_MN_START_DEVICE) == 2; }));
    ASSERT_TRUE(pnp().WaitIdle(Patience));

    EXPECT_EQ(spy().Last(IRP_MJ_PNP, IRP_MN_START_DEVICE)->statusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(pnp().Life(), emu::DeviceLife::Started);
    EXPECT_EQ(State(), DeviceRunning);
    EXPECT_EQ(context()->ConfigDescriptor, configuration);
    EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), 1u);
    EXPECT_FALSE(read->Done());
    device().QueueInData(0x81, {1, 2, 3, 4});
    ASSERT_TRUE(read->WaitFor(Patience));
    EXPECT_EQ(read->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(read->Data(), (std::vector<uint8_t>{1, 2, 3, 4}));
    machine().app().Close(in);
    EXPECT_EQ(IoRefCount(), 1);
}

// A request that reaches the device while its removal waits (here for a
// pipe abort the bus holds) goes down untouched.
TEST_F(PassDownTest, RequestDuringRemovalGoesDown)
{
    BringUp();
    const emu::Handle in = OpenPipe(1);
    spy().HoldUrbs(URB_FUNCTION_ABORT_PIPE);
    auto removal = std::async(std::launch::async, [&] { return Remove(); });
    ASSERT_TRUE(spy().WaitForHeld(1, Patience));
    ASSERT_EQ(State(), DeviceRemoved);

    spy().ForgetSeen();
    EXPECT_EQ(SendBesides(IRP_MN_QUERY_DEVICE_RELATIONS), STATUS_NOT_SUPPORTED);
    const std::optional<SeenRequest> below = spy().Last(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    EXPECT_TRUE(below.has_value() && below->statusOnArrival == STATUS_NOT_SUPPORTED);

    spy().ForgetAnswers();
    spy().ReleaseHeld();
    ASSERT_TRUE(Finishes(removal));
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    machine().app().Close(in);
}

}  // namespace
}  // namespace pondrel::test
