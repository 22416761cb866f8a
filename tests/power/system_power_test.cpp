// System power requests: the screening of system queries on remote-wake
// and plain devices, wait-wake arming, and system sets and queries end to
// end, each turned into a device request whose status finishes it.
#include "tests/power/power_fixture.h"

#include "emulator/kernel/system.h"

#include <future>
#include <string>

namespace power_test {
namespace {

size_t CountWaitWakes(const std::vector<SeenRequest>& seen)
{
    size_t count = 0;
    for (const auto& request : seen) {
        count += request.minor == IRP_MN_WAIT_WAKE;
    }
    return count;
}

// `seen` is a system request of `minor` and the device request of the same
// kind it asked for, for `deviceState`.
void ExpectSystemThenDevice(const std::vector<SeenRequest>& seen, UCHAR minor, LONG deviceState)
{
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(IsSystem(seen[0], minor));
    EXPECT_TRUE(IsDevice(seen[1], minor));
    EXPECT_EQ(seen[1].powerState, deviceState);
}

// ---- Queries on a remote-wake device (wakes the system from S3) ----

using RemoteWakeQueryTest = PowerFixture;

TEST_F(RemoteWakeQueryTest, RefusesStatesDeeperThanSystemWakeWithoutPassingThemDown)
{
    power().SetLegacySerialization(false);  // requests built by hand
    ASSERT_EQ(context()->Capabilities.SystemWake, PowerSystemSleeping3);
    for (LONG target : {static_cast<LONG>(PowerSystemHibernate), static_cast<LONG>(PowerSystemShutdown)}) {
        SCOPED_TRACE("target S" + std::to_string(target - 1));
        const size_t seenBefore = spy().SeenPower().size();
        RawResult result = SendRaw(IRP_MN_QUERY_POWER, SystemPowerState, target);
        EXPECT_EQ(result.dispatchStatus, STATUS_PENDING);
        EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(result.information, 0u);
        EXPECT_TRUE(PowerSince(seenBefore).empty()) << "the lower drivers saw the refused query";
        EXPECT_EQ(IoRefCount(), 1);
    }
}

TEST_F(RemoteWakeQueryTest, AcceptsStatesUpToSystemWake)
{
    for (SYSTEM_POWER_STATE target : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3}) {
        SCOPED_TRACE("target " + std::to_string(target));
        const size_t seenBefore = spy().SeenPower().size();
        EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, target), STATUS_SUCCESS);
        const std::vector<SeenRequest> seen = PowerSince(seenBefore);
        ExpectSystemThenDevice(seen, IRP_MN_QUERY_POWER, PowerDeviceD2);
        EXPECT_EQ(seen.at(0).powerState, static_cast<LONG>(target));
        EXPECT_TRUE(WaitForIoRefCount(1));
    }
    EXPECT_EQ(SystemPower(), PowerSystemWorking) << "a query changed the system state";
}

TEST_F(RemoteWakeQueryTest, ArmsWaitWakeBeforePassingDownOnlyForDeeperTargets)
{
    EndArmedWaitWake();
    const size_t seenBefore = spy().SeenPower().size();

    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(CountWaitWakes(PowerSince(seenBefore)), 0u) << "a query for the present state armed wait-wake";
    EXPECT_FALSE(device().WaitWakePending());

    const size_t deeperAt = spy().SeenPower().size();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    const std::vector<SeenRequest> seen = PowerSince(deeperAt);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0].minor, IRP_MN_WAIT_WAKE) << "wait-wake must be armed before the query goes down";
    EXPECT_EQ(seen[0].powerState, static_cast<LONG>(PowerSystemSleeping3));
    EXPECT_TRUE(IsSystem(seen[1], IRP_MN_QUERY_POWER));
    EXPECT_TRUE(device().WaitWakePending());
    EXPECT_EQ(WakeOutstanding(), 1);
    EXPECT_TRUE(WaitForIoRefCount(1)) << "the armed request holds a reference";
}

TEST_F(RemoteWakeQueryTest, SecondQueryLeavesTheArmedRequestAlone)
{
    ASSERT_TRUE(device().WaitWakePending()) << "the start arms wait-wake";
    const PIRP armed = WakeIrp();
    const size_t wakesBefore = CountWaitWakes(spy().SeenPower());
    for (int query = 0; query < 2; ++query) {
        EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    }
    EXPECT_EQ(CountWaitWakes(spy().SeenPower()), wakesBefore) << "another wait-wake request was sent";
    EXPECT_EQ(WakeIrp(), armed);
    EXPECT_TRUE(device().WaitWakePending());
}

TEST_F(RemoteWakeQueryTest, QueryFailedBelowAfterArmingLeavesWaitWakeArmed)
{
    EndArmedWaitWake();
    spy().AddRule(When([](const SeenRequest& seen) { return IsSystem(seen, IRP_MN_QUERY_POWER); },
                       Verdict::CompleteWith(STATUS_UNSUCCESSFUL)));
    const size_t seenBefore = spy().SeenPower().size();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(device().WaitWakePending());
    EXPECT_EQ(WakeOutstanding(), 1);
    EXPECT_TRUE(spy().SeenPower(IRP_MN_QUERY_POWER, DevicePowerState).empty()) << "a device query followed a failure";
    EXPECT_EQ(PowerSince(seenBefore).size(), 2u);  // the wait-wake request and the query
    EXPECT_TRUE(WaitForIoRefCount(1));
}

TEST_F(RemoteWakeQueryTest, SetIsNeverRefusedAndNeverArms)
{
    EndArmedWaitWake();
    const size_t seenBefore = spy().SeenPower().size();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_SET_POWER, PowerSystemHibernate, PowerActionHibernate),
              STATUS_SUCCESS);
    ExpectSystemThenDevice(PowerSince(seenBefore), IRP_MN_SET_POWER,
                           device().Model().power.deviceState[PowerSystemHibernate]);
    EXPECT_FALSE(device().WaitWakePending());
    EXPECT_EQ(SystemPower(), PowerSystemHibernate);
    EXPECT_TRUE(WaitForIoRefCount(1));
    EXPECT_EQ(power().Resume(), STATUS_SUCCESS);
}

// A wake device whose bus maps S3 to D3, deeper than the D2 it can signal wake from.
using DeepS3DeviceTest = PowerFixtureWith<DeepS3Model>;

TEST_F(DeepS3DeviceTest, SystemQueryFailsWithItsRefusedDeviceQuery)
{
    const size_t seenBefore = spy().SeenPower().size();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_INVALID_DEVICE_STATE);
    const std::vector<SeenRequest> seen = PowerSince(seenBefore);
    ASSERT_EQ(seen.size(), 1u) << "only the system query goes down";
    EXPECT_TRUE(IsSystem(seen[0], IRP_MN_QUERY_POWER));
    EXPECT_TRUE(WaitForIoRefCount(1));
}

// ---- A device without remote wakeup ----

using PlainDeviceTest = PowerFixtureWith<PlainModel>;

TEST_F(PlainDeviceTest, QueriesAnyStateWithoutArming)
{
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemHibernate, PowerActionHibernate),
              STATUS_SUCCESS);
    ExpectSystemThenDevice(spy().SeenPower(), IRP_MN_QUERY_POWER, PowerDeviceD3);
    EXPECT_TRUE(WaitForIoRefCount(1));
}

TEST_F(PlainDeviceTest, EachSystemSetAsksForTheMappedDeviceState)
{
    const SYSTEM_POWER_STATE targets[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                          PowerSystemHibernate, PowerSystemWorking};
    for (SYSTEM_POWER_STATE target : targets) {
        SCOPED_TRACE("target " + std::to_string(target));
        const LONG mapped = device().Model().power.deviceState[target];
        const size_t seenBefore = spy().SeenPower().size();
        EXPECT_EQ(power().SendSystemPower(IRP_MN_SET_POWER, target), STATUS_SUCCESS);
        ExpectSystemThenDevice(PowerSince(seenBefore), IRP_MN_SET_POWER, mapped);
        EXPECT_EQ(SystemPower(), target);
        EXPECT_EQ(DevicePower(), mapped);
        EXPECT_TRUE(WaitForIoRefCount(1));
    }
}

TEST_F(PlainDeviceTest, SystemSetCompletesOnlyAfterItsDeviceRequestAndWithItsStatus)
{
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

// Each way a system request can fail before its device request runs: the
// system request ends with that failure, no device request is made, and
// every reference and block comes back.
TEST_F(PlainDeviceTest, FailuresOfTheChainEndTheSystemRequest)
{
    enum class Failure { LowerDrivers, NoPool, PoRequestPowerIrp };
    struct Case {
        const char* name;
        Failure failure;
        NTSTATUS expected;
        uint64_t blocksAllocated;  // SystemPowerContext blocks allocated (and freed)
    };
    const Case cases[] = {
        {"lower drivers fail", Failure::LowerDrivers, STATUS_UNSUCCESSFUL, 0},
        {"no pool for the context", Failure::NoPool, STATUS_INSUFFICIENT_RESOURCES, 0},
        {"PoRequestPowerIrp fails", Failure::PoRequestPowerIrp, STATUS_INSUFFICIENT_RESOURCES, 1},
    };
    for (const Case& test : cases) {
        for (UCHAR minor : {IRP_MN_SET_POWER, IRP_MN_QUERY_POWER}) {
            SCOPED_TRACE(std::string(test.name) + (minor == IRP_MN_SET_POWER ? ", set" : ", query"));
            const Failure failure = test.failure;
            spy().ForgetAnswers();
            spy().AddRule([failure](const SeenRequest& seen) -> std::optional<Verdict> {
                if (seen.major != IRP_MJ_POWER || seen.powerType != SystemPowerState) {
                    return std::nullopt;
                }
                if (failure == Failure::LowerDrivers) {
                    return Verdict::CompleteWith(STATUS_UNSUCCESSFUL);
                }
                // The context's allocation on the way back up, or the call after it.
                emu::faults::FailNthCall(failure == Failure::NoPool ? 1 : 2);
                return std::nullopt;
            });
            const uint64_t allocationsBefore = PoolAllocations();
            const uint64_t liveBefore = LiveDriverBlocks();
            const size_t deviceRequestsBefore = spy().SeenPower(minor, DevicePowerState).size();

            EXPECT_EQ(power().SendSystemPower(minor, PowerSystemSleeping3), test.expected);
            emu::faults::Clear();
            EXPECT_EQ(spy().SeenPower(minor, DevicePowerState).size(), deviceRequestsBefore)
                << "a device request was made";
            EXPECT_EQ(PoolAllocations() - allocationsBefore, test.blocksAllocated);
            const bool recorded = minor == IRP_MN_SET_POWER && failure != Failure::LowerDrivers;
            EXPECT_EQ(SystemPower(), recorded ? PowerSystemSleeping3 : PowerSystemWorking);
            EXPECT_EQ(DevicePower(), PowerDeviceD0);
            EXPECT_TRUE(WaitForIoRefCount(1));
            EXPECT_EQ(LiveDriverBlocks(), liveBefore) << "a block was not freed";

            std::atomic_ref<LONG>(reinterpret_cast<LONG&>(context()->CurrentSystemPower)).store(PowerSystemWorking);
        }
    }
    spy().ForgetAnswers();
}

// A target outside the capabilities' table maps to D3 instead of reading
// past it.
TEST_F(PlainDeviceTest, TargetOutsideTheTableMapsToD3)
{
    power().SetLegacySerialization(false);  // requests built by hand
    spy().AddRule(When([](const SeenRequest& seen) { return seen.major == IRP_MJ_POWER; },
                       Verdict::CompleteWith(STATUS_SUCCESS)));
    const LONG targets[] = {PowerSystemMaximum, 100, -1};
    for (LONG target : targets) {
        for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}) {
            SCOPED_TRACE("target " + std::to_string(target) + ", minor " + std::to_string(minor));
            const size_t seenBefore = spy().SeenPower().size();
            RawResult result = SendRaw(minor, SystemPowerState, target);
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            ExpectSystemThenDevice(PowerSince(seenBefore), minor, PowerDeviceD3);
            EXPECT_TRUE(WaitForIoRefCount(1));
        }
    }
}

}  // namespace
}  // namespace power_test
