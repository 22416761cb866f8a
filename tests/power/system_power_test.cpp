// System power requests: the screening of system queries on remote-wake
// and plain devices, wait-wake arming, and system sets and queries end to
// end, each turned into a device request whose status finishes it.
#include "tests/power/power_fixture.h"

#include "emulator/kernel/system.h"

#include <future>
#include <string>

namespace power_test {
namespace {

bool IsSystem(const SeenRequest& seen, UCHAR minor)
{
    return seen.minor == minor && seen.type == SystemPowerState;
}

bool IsDevice(const SeenRequest& seen, UCHAR minor)
{
    return seen.minor == minor && seen.type == DevicePowerState;
}

size_t CountWaitWakes(const std::vector<SeenRequest>& seen)
{
    size_t count = 0;
    for (const auto& request : seen) {
        count += request.minor == IRP_MN_WAIT_WAKE;
    }
    return count;
}

// ---- Queries on a remote-wake device (wakes the system from S3) ----

using RemoteWakeQueryTest = PowerFixture;

TEST_F(RemoteWakeQueryTest, RefusesStatesDeeperThanSystemWakeWithoutPassingThemDown)
{
    power().SetLegacySerialization(false);  // requests built by hand
    ASSERT_EQ(Context()->Capabilities.SystemWake, PowerSystemSleeping3);
    for (LONG target : {static_cast<LONG>(PowerSystemHibernate), static_cast<LONG>(PowerSystemShutdown)}) {
        SCOPED_TRACE("target S" + std::to_string(target - 1));
        const size_t seenBefore = probe().SeenCount();
        RawResult result = SendRaw(IRP_MN_QUERY_POWER, SystemPowerState, target);
        EXPECT_EQ(result.dispatchStatus, STATUS_PENDING);
        EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(probe().SeenCount(), seenBefore) << "the lower drivers saw the refused query";
        EXPECT_EQ(IoRefCount(), 1);
    }
}

TEST_F(RemoteWakeQueryTest, AcceptsStatesUpToSystemWake)
{
    for (SYSTEM_POWER_STATE target : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3}) {
        SCOPED_TRACE("target " + std::to_string(target));
        const size_t seenBefore = probe().SeenCount();
        EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, target), STATUS_SUCCESS);
        auto seen = probe().Seen();
        ASSERT_EQ(seen.size(), seenBefore + 2);
        EXPECT_TRUE(IsSystem(seen[seenBefore], IRP_MN_QUERY_POWER));
        EXPECT_EQ(seen[seenBefore].state, static_cast<LONG>(target));
        EXPECT_TRUE(IsDevice(seen[seenBefore + 1], IRP_MN_QUERY_POWER));
        EXPECT_EQ(seen[seenBefore + 1].state, static_cast<LONG>(PowerDeviceD2));
        EXPECT_TRUE(WaitForIoRefCount(1));
    }
    EXPECT_EQ(SystemPower(), PowerSystemWorking) << "a query changed the system state";
}

TEST_F(RemoteWakeQueryTest, ArmsWaitWakeBeforePassingDownOnlyForDeeperTargets)
{
    EndArmedWaitWake();
    const size_t seenBefore = probe().SeenCount();

    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemWorking), STATUS_SUCCESS);
    auto seen = probe().Seen();
    EXPECT_EQ(CountWaitWakes({seen.begin() + static_cast<long>(seenBefore), seen.end()}), 0u)
        << "a query for the present state armed wait-wake";
    EXPECT_FALSE(device().WaitWakePending());

    const size_t deeperAt = probe().SeenCount();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    seen = probe().Seen();
    ASSERT_GE(seen.size(), deeperAt + 2);
    EXPECT_EQ(seen[deeperAt].minor, IRP_MN_WAIT_WAKE) << "wait-wake must be armed before the query goes down";
    EXPECT_EQ(seen[deeperAt].state, static_cast<LONG>(PowerSystemSleeping3));
    EXPECT_TRUE(IsSystem(seen[deeperAt + 1], IRP_MN_QUERY_POWER));
    EXPECT_TRUE(device().WaitWakePending());
    EXPECT_EQ(WakeOutstanding(), 1);
    EXPECT_TRUE(WaitForIoRefCount(1)) << "the armed request holds a reference";
}

TEST_F(RemoteWakeQueryTest, SecondQueryLeavesTheArmedRequestAlone)
{
    ASSERT_TRUE(device().WaitWakePending()) << "the start arms wait-wake";
    const PIRP armed = WakeIrp();
    const size_t wakesBefore = CountWaitWakes(probe().Seen());
    for (int query = 0; query < 2; ++query) {
        EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    }
    EXPECT_EQ(CountWaitWakes(probe().Seen()), wakesBefore) << "another wait-wake request was sent";
    EXPECT_EQ(WakeIrp(), armed);
    EXPECT_TRUE(device().WaitWakePending());
}

TEST_F(RemoteWakeQueryTest, QueryFailedBelowAfterArmingLeavesWaitWakeArmed)
{
    EndArmedWaitWake();
    probe().SetRule([](const SeenRequest& seen) {
        return IsSystem(seen, IRP_MN_QUERY_POWER) ? Verdict::CompleteWith(STATUS_UNSUCCESSFUL) : Verdict::Pass();
    });
    const size_t seenBefore = probe().SeenCount();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(device().WaitWakePending());
    EXPECT_EQ(WakeOutstanding(), 1);
    EXPECT_TRUE(probe().Seen(IRP_MN_QUERY_POWER, DevicePowerState).empty()) << "a device query followed a failure";
    EXPECT_EQ(probe().SeenCount(), seenBefore + 2);  // the wait-wake request and the query
    EXPECT_TRUE(WaitForIoRefCount(1));
}

TEST_F(RemoteWakeQueryTest, SetIsNeverRefusedAndNeverArms)
{
    EndArmedWaitWake();
    const size_t seenBefore = probe().SeenCount();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_SET_POWER, PowerSystemHibernate, PowerActionHibernate),
              STATUS_SUCCESS);
    auto seen = probe().Seen();
    ASSERT_EQ(seen.size(), seenBefore + 2);
    EXPECT_TRUE(IsSystem(seen[seenBefore], IRP_MN_SET_POWER));
    EXPECT_TRUE(IsDevice(seen[seenBefore + 1], IRP_MN_SET_POWER));
    EXPECT_FALSE(device().WaitWakePending());
    EXPECT_EQ(SystemPower(), PowerSystemHibernate);
    EXPECT_TRUE(WaitForIoRefCount(1));
    EXPECT_EQ(power().Resume(), STATUS_SUCCESS);
}

// A wake device whose bus maps S3 to D3, deeper than the D2 it can signal wake from.
using DeepS3DeviceTest = PowerFixtureWith<DeepS3Model>;

TEST_F(DeepS3DeviceTest, SystemQueryFailsWithItsRefusedDeviceQuery)
{
    const size_t seenBefore = probe().SeenCount();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_INVALID_DEVICE_STATE);
    auto seen = probe().Seen();
    ASSERT_EQ(seen.size(), seenBefore + 1) << "only the system query goes down";
    EXPECT_TRUE(IsSystem(seen[seenBefore], IRP_MN_QUERY_POWER));
    EXPECT_TRUE(WaitForIoRefCount(1));
}

// ---- A device without remote wakeup ----

using PlainDeviceTest = PowerFixtureWith<PlainModel>;

TEST_F(PlainDeviceTest, QueriesAnyStateWithoutArming)
{
    const size_t seenBefore = probe().SeenCount();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemHibernate, PowerActionHibernate),
              STATUS_SUCCESS);
    auto seen = probe().Seen();
    ASSERT_EQ(seen.size(), seenBefore + 2);
    EXPECT_TRUE(IsSystem(seen[seenBefore], IRP_MN_QUERY_POWER));
    EXPECT_TRUE(IsDevice(seen[seenBefore + 1], IRP_MN_QUERY_POWER));
    EXPECT_EQ(seen[seenBefore + 1].state, static_cast<LONG>(PowerDeviceD3));
    EXPECT_EQ(CountWaitWakes(seen), 0u);
    EXPECT_TRUE(WaitForIoRefCount(1));
}

TEST_F(PlainDeviceTest, EachSystemSetAsksForTheMappedDeviceState)
{
    const SYSTEM_POWER_STATE targets[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                          PowerSystemHibernate, PowerSystemWorking};
    for (SYSTEM_POWER_STATE target : targets) {
        SCOPED_TRACE("target " + std::to_string(target));
        const size_t seenBefore = probe().SeenCount();
        EXPECT_EQ(power().SendSystemPower(IRP_MN_SET_POWER, target), STATUS_SUCCESS);
        auto seen = probe().Seen();
        ASSERT_EQ(seen.size(), seenBefore + 2);
        EXPECT_TRUE(IsDevice(seen[seenBefore + 1], IRP_MN_SET_POWER));
        EXPECT_EQ(seen[seenBefore + 1].state, device().Model().power.deviceState[target]);
        EXPECT_EQ(SystemPower(), target);
        EXPECT_EQ(DevicePower(), device().Model().power.deviceState[target]);
        EXPECT_TRUE(WaitForIoRefCount(1));
    }
}

TEST_F(PlainDeviceTest, SystemSetCompletesOnlyAfterItsDeviceRequestAndWithItsStatus)
{
    probe().SetRule([](const SeenRequest& seen) {
        return IsDevice(seen, IRP_MN_SET_POWER) ? Verdict::HoldIt() : Verdict::Pass();
    });
    auto systemSet = std::async(std::launch::async, [&] {
        return power().SendSystemPower(IRP_MN_SET_POWER, PowerSystemSleeping3);
    });
    ASSERT_TRUE(probe().WaitForHeld(1, kWait));
    auto deviceSets = probe().Seen(IRP_MN_SET_POWER, DevicePowerState);
    ASSERT_EQ(deviceSets.size(), 1u);
    EXPECT_EQ(deviceSets[0].state, static_cast<LONG>(PowerDeviceD3));
    EXPECT_EQ(systemSet.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the system request completed before its device request";

    probe().Release(probe().Held()[0], Verdict::CompleteWith(STATUS_DEVICE_POWER_FAILURE));
    ASSERT_EQ(systemSet.wait_for(kWait), std::future_status::ready);
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
            probe().SetRule([failure](const SeenRequest& seen) {
                if (seen.type != SystemPowerState) {
                    return Verdict::Pass();
                }
                switch (failure) {
                case Failure::LowerDrivers:
                    return Verdict::CompleteWith(STATUS_UNSUCCESSFUL);
                case Failure::NoPool:
                    emu::faults::FailNthCall(1);  // the context's allocation, on the way back up
                    return Verdict::Pass();
                case Failure::PoRequestPowerIrp:
                    emu::faults::FailNthCall(2);  // the one after the context's allocation
                    return Verdict::Pass();
                }
                return Verdict::Pass();
            });
            const uint64_t allocationsBefore = PoolAllocations();
            const uint64_t liveBefore = emu::pool::LiveBlocks(PondrelPoolTag);
            const size_t deviceRequestsBefore = probe().Seen(minor, DevicePowerState).size();

            EXPECT_EQ(power().SendSystemPower(minor, PowerSystemSleeping3), test.expected);
            emu::faults::Clear();
            EXPECT_EQ(probe().Seen(minor, DevicePowerState).size(), deviceRequestsBefore) << "a device request was made";
            EXPECT_EQ(PoolAllocations() - allocationsBefore, test.blocksAllocated);
            const bool recorded = minor == IRP_MN_SET_POWER && failure != Failure::LowerDrivers;
            EXPECT_EQ(SystemPower(), recorded ? PowerSystemSleeping3 : PowerSystemWorking);
            EXPECT_EQ(DevicePower(), PowerDeviceD0);
            EXPECT_TRUE(WaitForIoRefCount(1));
            EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), liveBefore) << "a block was not freed";

            std::atomic_ref<LONG>(reinterpret_cast<LONG&>(Context()->CurrentSystemPower)).store(PowerSystemWorking);
        }
    }
    probe().SetRule({});
}

// A target outside the capabilities' table maps to D3 instead of reading
// past it.
TEST_F(PlainDeviceTest, TargetOutsideTheTableMapsToD3)
{
    power().SetLegacySerialization(false);  // requests built by hand
    probe().SetRule([](const SeenRequest&) { return Verdict::CompleteWith(STATUS_SUCCESS); });
    const LONG targets[] = {PowerSystemMaximum, 100, -1};
    for (LONG target : targets) {
        for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}) {
            SCOPED_TRACE("target " + std::to_string(target) + ", minor " + std::to_string(minor));
            const size_t seenBefore = probe().SeenCount();
            RawResult result = SendRaw(minor, SystemPowerState, target);
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            auto seen = probe().Seen();
            ASSERT_EQ(seen.size(), seenBefore + 2);
            EXPECT_TRUE(IsDevice(seen[seenBefore + 1], minor));
            EXPECT_EQ(seen[seenBefore + 1].state, static_cast<LONG>(PowerDeviceD3));
            EXPECT_TRUE(WaitForIoRefCount(1));
        }
    }
}

}  // namespace
}  // namespace power_test
