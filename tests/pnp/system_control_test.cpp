// IRP_MJ_SYSTEM_CONTROL: the driver is no WMI provider, so each WMI request
// goes down to the bus driver exactly as it came, whatever the device's state.
#include "emulator/pnp/system_control.h"
#include "tests/pnp/support/driver_fixture.h"

#include <functional>

namespace pondrel::test {
namespace {

using SystemControlTest = DriverFixture;

TEST_F(SystemControlTest, PassesEveryWmiRequestDownUntouched)
{
    LoadWithSpy();
    // Never started, running, stop pending, stopped, surprise removed.
    const std::function<NTSTATUS()> steps[] = {[] { return STATUS_SUCCESS; }, [&] { return pnp().Start(); },
                                               [&] { return pnp().QueryStop(); }, [&] { return pnp().Stop(); },
                                               [&] { return pnp().SurpriseRemove(); }};
    std::vector<UCHAR> atTheBus;
    for (const auto& step : steps) {
        ASSERT_EQ(step(), STATUS_SUCCESS);
        for (const UCHAR minor : {IRP_MN_QUERY_ALL_DATA, IRP_MN_REGINFO_EX, IRP_MN_EXECUTE_METHOD}) {
            // The bus driver is not the provider either: the status it was sent with comes back.
            EXPECT_EQ(pnp().SystemControl(minor, emu::pnp::ElsewhereProvider), STATUS_NOT_SUPPORTED);
            atTheBus.push_back(minor);
            EXPECT_EQ(device().SystemControlSeen(), atTheBus);
            const std::optional<SeenRequest> below = spy().Last(IRP_MJ_SYSTEM_CONTROL, minor);
            EXPECT_TRUE(below && below->statusOnArrival == STATUS_NOT_SUPPORTED);
            EXPECT_EQ(IoRefCount(), 1);
        }
    }
}

}  // namespace
}  // namespace pondrel::test
