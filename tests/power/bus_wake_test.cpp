// A remote-wake device (the descriptor's bit set) on a bus that reports no
// wake state: the device cannot wake anything, so it neither refuses a
// sleep nor arms wait-wake.
#include "tests/power/power_fixture.h"

namespace power_test {
namespace {

const char* const kNoBusWake = R"(# remote wakeup in the descriptor, none on the bus
device 12 01 00 02 00 00 00 40 09 12 01 00 00 01 00 00 00 01
config 09 02 2e 00 01 01 00 a0 32
       09 04 00 00 04 ff 00 00 00
       07 05 01 02 00 02 00 07 05 81 02 00 02 00
       07 05 02 02 00 02 00 07 05 82 02 00 02 00
bus-wake none
)";

using BusWithoutWakeTest = PowerFixture;

// Every sleep the machine takes is accepted (a system query beyond
// SystemWake and a device query beyond DeviceWake were refused when the
// descriptor's bit alone decided), the device goes down and comes back,
// and no wait-wake request is sent at start, by a query or after a resume.
TEST_F(BusWithoutWakeTest, RemoteWakeDeviceSleepsAndNeverArms)
{
    std::string error;
    auto model = emu::usb::DeviceModel::Parse(kNoBusWake, "no-bus-wake.dev", &error);
    ASSERT_TRUE(model.has_value()) << error;
    EXPECT_FALSE(model->RemoteWakeCapable());
    Prepare(*model);
    EXPECT_EQ(context()->RemoteWakeCapable, 1);
    EXPECT_EQ(std::pair(context()->Capabilities.SystemWake, context()->Capabilities.DeviceWake),
              std::pair(PowerSystemUnspecified, PowerDeviceUnspecified));
    for (const SYSTEM_POWER_STATE state : {PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate}) {
        SCOPED_TRACE(state);
        EXPECT_EQ(power().Sleep(state), STATUS_SUCCESS);
        EXPECT_GT(DevicePower(), PowerDeviceD0);
        EXPECT_EQ(power().Resume(), STATUS_SUCCESS);
        EXPECT_EQ(DevicePower(), PowerDeviceD0);
    }
    EXPECT_EQ(power().SendDevicePower(IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_TRUE(WaitForIoRefCount(1));
    EXPECT_EQ(spy().Count(IRP_MJ_POWER, IRP_MN_WAIT_WAKE), 0u);
}

}  // namespace
}  // namespace power_test
