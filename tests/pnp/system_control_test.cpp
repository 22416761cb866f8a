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
    const struct {
        const char* name;
        std::function<NTSTATUS()> reach;
    } states[] = {
        {"never started", [] { return STATUS_SUCCESS; }},
        {"running", [&] { return pnp().Start(); }},
        {"stop pending", [&] { return pnp().QueryStop(); }},
        {"stopped", [&] { return pnp().Stop(); }},
        {"surprise removed", [&] { return pnp().SurpriseRemove(); }},
    };
    const UCHAR minors[] = {IRP_MN_QUERY_ALL_DATA, IRP_MN_REGINFO_EX, IRP_MN_EXECUTE_METHOD};
    for (const auto& state : states) {
        SCOPED_TRACE(state.name);
        ASSERT_EQ(state.reach(), STATUS_SUCCESS);
        for (const UCHAR minor : minors) {
            spy().ForgetSeen();
            const size_t atBusBefore = device().SystemControlSeen().size();
            // The bus driver is not the provider either: the status it was sent with comes back.
            EXPECT_EQ(pnp().SystemControl(minor, emu::pnp::ElsewhereProvider), STATUS_NOT_SUPPORTED);
            ASSERT_EQ(device().SystemControlSeen().size(), atBusBefore + 1);
            EXPECT_EQ(device().SystemControlSeen().back(), minor);
            ASSERT_EQ(spy().Count(IRP_MJ_SYSTEM_CONTROL, minor), 1u);
            EXPECT_EQ(spy().Last(IRP_MJ_SYSTEM_CONTROL, minor)->statusOnArrival, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(IoRefCount(), 1);
        }
    }
}

}  // namespace
}  // namespace pondrel::test
