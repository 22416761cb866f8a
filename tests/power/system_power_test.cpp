// System power requests: the screening of system queries on remote-wake
// and plain devices, wait-wake arming, and system sets and queries end to
// end, each turned into a device request whose status finishes it. (No
// pool for the context and PoRequestPowerIrp failing are swept by
// `pondrel-sim sweep --scenario sleep`.)
#include "tests/power/power_fixture.h"

#include <future>

namespace power_test {
namespace {

emu::usb::DeviceModel WakeModel() { return emu::usb::DeviceModel::Builtin(); }
emu::usb::DeviceModel DeepS3Model() { return S3InD3(false); }

using SystemPowerTest = BothStacks;
INSTANTIATE_TEST_SUITE_P(Stacks, SystemPowerTest, ::testing::Bool(), StackName);

// Each system request on each device: a device that can wake refuses, without
// passing it down, a query deeper than it can wake the machine from, and a
// query whose device query is refused (S3 mapped to D3, deeper than
// DeviceWake D2) fails with it; a set is never refused. A remote-wake
// device on a bus that reports no wake state cannot wake, and refuses none. The others go down
// and ask for the D-state the capabilities' table maps the target to (D3
// outside the table, rather than reading past it); a set records both
// states, a query none. A request the lower drivers fail ends with their
// status and asks for no device request.
TEST_P(SystemPowerTest, SystemRequestsOnEachDevice)
{
    constexpr UCHAR Q = IRP_MN_QUERY_POWER, S = IRP_MN_SET_POWER;
    const struct {
        emu::usb::DeviceModel (*model)();
        UCHAR minor;
        LONG target;
        NTSTATUS below;  // the lower drivers' answer to the system request
        NTSTATUS status;
        size_t passedDown;  // the system request, then its device request
        LONG deviceState;
    } cases[] = {
        {WakeModel, Q, PowerSystemSleeping1, STATUS_SUCCESS, STATUS_SUCCESS, 2, PowerDeviceD2},
        {WakeModel, Q, PowerSystemSleeping3, STATUS_SUCCESS, STATUS_SUCCESS, 2, PowerDeviceD2},
        {WakeModel, Q, PowerSystemHibernate, STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, 0, 0},
        {WakeModel, Q, PowerSystemShutdown, STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, 0, 0},
        {WakeModel, S, PowerSystemHibernate, STATUS_SUCCESS, STATUS_SUCCESS, 2, PowerDeviceD3},
        {DeepS3Model, Q, PowerSystemSleeping3, STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, 1, 0},
        {PlainModel, Q, PowerSystemHibernate, STATUS_SUCCESS, STATUS_SUCCESS, 2, PowerDeviceD3},
        {NoBusWakeModel, Q, PowerSystemHibernate, STATUS_SUCCESS, STATUS_SUCCESS, 2, PowerDeviceD3},
        {PlainModel, Q, PowerSystemMaximum, STATUS_SUCCESS, STATUS_SUCCESS, 2, PowerDeviceD3},
        {PlainModel, Q, 100, STATUS_SUCCESS, STATUS_SUCCESS, 2, PowerDeviceD3},
        {PlainModel, Q, PowerSystemSleeping3, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, 1, 0},
        {PlainModel, S, PowerSystemSleeping3, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, 1, 0},
        {PlainModel, S, PowerSystemSleeping1, STATUS_SUCCESS, STATUS_SUCCESS, 2, PowerDeviceD3},
        {PlainModel, S, -1, STATUS_SUCCESS, STATUS_SUCCESS, 2, PowerDeviceD3},
        {PlainModel, S, PowerSystemWorking, STATUS_SUCCESS, STATUS_SUCCESS, 2, PowerDeviceD0},
    };
    emu::usb::DeviceModel (*prepared)() = nullptr;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "row " << (&c - cases));
        if (c.model != prepared) {
            TearDown();
            prepared = c.model;
            Prepare(c.model());
            power().SetLegacySerialization(false);  // requests built by hand
        }
        spy().ForgetAnswers();
        spy().AddRule(When([](const SeenRequest& seen) { return seen.major == IRP_MJ_POWER && seen.powerType == SystemPowerState; },
                           Verdict::CompleteWith(c.below)));
        const size_t seenBefore = spy().SeenPower().size();
        const LONG systemBefore = SystemPower(), deviceBefore = DevicePower();
        const RawResult result = SendRaw(c.minor, SystemPowerState, c.target);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.information, 0u);
        const std::vector<SeenRequest> seen = PowerSince(seenBefore);
        ASSERT_EQ(seen.size(), c.passedDown) << "no wait-wake request besides the one armed at start";
        if (c.passedDown > 0) {
            EXPECT_TRUE(IsSystem(seen[0], c.minor));
            EXPECT_EQ(seen[0].powerState, c.target);
        }
        if (c.passedDown > 1) {
            EXPECT_TRUE(IsDevice(seen[1], c.minor));
            EXPECT_EQ(seen[1].powerState, c.deviceState);
        }
        EXPECT_TRUE(WaitForIoRefCount(1));
        const bool recorded = c.minor == S && NT_SUCCESS(c.status);
        const bool inTable = c.target >= PowerSystemWorking && c.target < PowerSystemMaximum;
        if (!recorded) {
            EXPECT_EQ(SystemPower(), systemBefore);
            EXPECT_EQ(DevicePower(), deviceBefore);
        } else if (inTable) {
            EXPECT_EQ(SystemPower(), c.target);
            EXPECT_EQ(DevicePower(), c.deviceState);
        }
    }
}

// A query for a deeper state asks for wait-wake, which is armed once the
// query has ended (never while a set or query is in hand): not for the
// present state, not by a set, not again while armed, and also when the
// lower drivers fail the query.
using RemoteWakeQueryTest = PowerFixture;

TEST_F(RemoteWakeQueryTest, ArmsWaitWakeOnceAQueryForADeeperTargetHasEnded)
{
    Prepare();
    EndArmedWaitWake();
    const auto waitWakes = [&](size_t from) {
        const std::vector<SeenRequest> seen = PowerSince(from);
        return std::count_if(seen.begin(), seen.end(), [](const SeenRequest& r) { return r.minor == IRP_MN_WAIT_WAKE; });
    };
    const size_t seenBefore = spy().SeenPower().size();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(power().SendSystemPower(IRP_MN_SET_POWER, PowerSystemHibernate, PowerActionHibernate), STATUS_SUCCESS);
    EXPECT_EQ(power().Resume(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForIoRefCount(1));
    EXPECT_EQ(waitWakes(seenBefore), 0) << "a set or a query for the present state armed wait-wake";
    EXPECT_FALSE(device().WaitWakePending());

    const size_t deeperAt = spy().SeenPower().size();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    // Armed once the bus holds the request and the arming has stored its
    // address (until then WakeIrp holds the arming's mark, bit 1).
    ASSERT_TRUE(WaitUntil([&] {
        return device().WaitWakePending() && (reinterpret_cast<ULONG_PTR>(WakeIrp()) & 2) == 0;
    }));
    const std::vector<SeenRequest> seen = PowerSince(deeperAt);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(IsSystem(seen[0], IRP_MN_QUERY_POWER));
    EXPECT_TRUE(IsDevice(seen[1], IRP_MN_QUERY_POWER));
    EXPECT_EQ(seen[2].minor, IRP_MN_WAIT_WAKE) << "armed while the query was in hand";
    EXPECT_EQ(seen[2].powerState, static_cast<LONG>(PowerSystemSleeping3));
    EXPECT_EQ(WakeOutstanding(), 1);
    EXPECT_TRUE(WaitForIoRefCount(1)) << "the armed request holds a reference";

    const PIRP armed = WakeIrp();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(WaitForIoRefCount(1));
    EXPECT_EQ(waitWakes(deeperAt), 1) << "another wait-wake request was sent";
    EXPECT_EQ(WakeIrp(), armed);

    EndArmedWaitWake();
    spy().AddRule(When([](const SeenRequest& seen) { return IsSystem(seen, IRP_MN_QUERY_POWER); },
                       Verdict::CompleteWith(STATUS_UNSUCCESSFUL)));
    const size_t failedAt = spy().SeenPower().size();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(WaitUntil([&] { return device().WaitWakePending() && WakeOutstanding() == 1; }));
    EXPECT_EQ(PowerSince(failedAt).size(), 2u) << "the query and the wait-wake request, no device query";
    EXPECT_TRUE(WaitForIoRefCount(1));
}

// A system set completes only after its device request, with its status;
// the system state is recorded all the same.
using PlainDeviceTest = PowerFixture;

TEST_F(PlainDeviceTest, SystemSetCompletesOnlyAfterItsDeviceRequestAndWithItsStatus)
{
    Prepare(PlainModel());
    spy().AddRule(When([](const SeenRequest& seen) { return IsDevice(seen, IRP_MN_SET_POWER); }, Verdict::HoldIt()));
    auto systemSet = std::async(std::launch::async, [&] {
        return power().SendSystemPower(IRP_MN_SET_POWER, PowerSystemSleeping3);
    });
    ASSERT_TRUE(spy().WaitForHeld(1, Patience));
    const auto deviceSets = spy().SeenPower(IRP_MN_SET_POWER, DevicePowerState);
    ASSERT_EQ(deviceSets.size(), 1u);
    EXPECT_EQ(deviceSets[0].powerState, static_cast<LONG>(PowerDeviceD3));
    EXPECT_EQ(systemSet.wait_for(0s), std::future_status::timeout)
        << "the system request completed before its device request";

    spy().Release(spy().Held()[0], Verdict::CompleteWith(STATUS_DEVICE_POWER_FAILURE));
    ASSERT_EQ(systemSet.wait_for(Patience), std::future_status::ready);
    EXPECT_EQ(systemSet.get(), STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(SystemPower(), PowerSystemSleeping3) << "recorded even though the device request failed";
    EXPECT_EQ(DevicePower(), PowerDeviceD0);
    EXPECT_TRUE(WaitForIoRefCount(1));
}

}  // namespace
}  // namespace power_test
