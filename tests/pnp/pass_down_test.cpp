// A start for a device already running (a driver of the stack reported new
// resource requirements) goes down to the bus driver and changes nothing.
#include "tests/pnp/support/driver_fixture.h"
#include "tests/pnp/support/wait_until.h"

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

}  // namespace
}  // namespace pondrel::test
