// One whole PnP life of the built-in device, with no spy in the stack: it
// must end with no pool block, no IRP and no verifier finding (the
// fixture's checks at the end).
#include "tests/pnp/support/driver_fixture.h"

namespace pondrel::test {
namespace {

class FullLifeTest : public DriverFixture {};

TEST_F(FullLifeTest, StartToUnloadLeavesNothingBehind)
{
    Load();
    Add();
    const struct {
        const char* name;
        NTSTATUS (emu::Pnp::*request)();
        DEVICE_PNP_STATE after;
    } steps[] = {
        {"start", &emu::Pnp::Start, DeviceRunning},
        {"query-stop", &emu::Pnp::QueryStop, DeviceStopPending},
        {"cancel-stop", &emu::Pnp::CancelStop, DeviceRunning},
        {"query-stop again", &emu::Pnp::QueryStop, DeviceStopPending},
        {"stop", &emu::Pnp::Stop, DeviceStopped},
        {"restart", &emu::Pnp::Start, DeviceRunning},
        {"query-remove", &emu::Pnp::QueryRemove, DeviceRemovePending},
        {"cancel-remove", &emu::Pnp::CancelRemove, DeviceRunning},
        {"surprise removal", &emu::Pnp::SurpriseRemove, DeviceSurpriseRemoved},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_TRUE(NT_SUCCESS((pnp().*step.request)()));
        EXPECT_EQ(State(), step.after);
        EXPECT_EQ(IoRefCount(), 1);
    }
    EXPECT_FALSE(device().WaitWakePending());
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace pondrel::test
