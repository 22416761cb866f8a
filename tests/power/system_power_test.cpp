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

// A system query against each device's tables: a remote-wake device
// refuses, without passing it down, a state deeper than it can wake the
// machine from; a query whose device query is refused (S3 mapped to D3,
// deeper than DeviceWake D2) fails with it; the others go down and ask for
// the mapped D-state. A query changes no state.
class SystemQueryTest : public PowerFixture {
protected:
    bool StartAtSetUp() override { return false; }
    emu::usb::DeviceModel Model() override { return model_(); }
    emu::usb::DeviceModel (*model_)() = WakeModel;
};

TEST_F(SystemQueryTest, RefusesStatesDeeperThanSystemWakeOrDeviceWake)
{
    const struct {
        const char* name;
        emu::usb::DeviceModel (*model)();
        LONG target;
        NTSTATUS status;
        size_t passedDown;  // the system query, then its device query
        LONG deviceState;
    } cases[] = {
        {"wake device, S1", WakeModel, PowerSystemSleeping1, STATUS_SUCCESS, 2, PowerDeviceD2},
        {"wake device, S2", WakeModel, PowerSystemSleeping2, STATUS_SUCCESS, 2, PowerDeviceD2},
        {"wake device, S3", WakeModel, PowerSystemSleeping3, STATUS_SUCCESS, 2, PowerDeviceD2},
        {"wake device, S4", WakeModel, PowerSystemHibernate, STATUS_INVALID_DEVICE_STATE, 0, 0},
        {"wake device, S5", WakeModel, PowerSystemShutdown, STATUS_INVALID_DEVICE_STATE, 0, 0},
        {"S3 mapped deeper than wake", DeepS3Model, PowerSystemSleeping3, STATUS_INVALID_DEVICE_STATE, 1, 0},
        {"plain device, S4", PlainModel, PowerSystemHibernate, STATUS_SUCCESS, 2, PowerDeviceD3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        model_ = c.model;
        Prepare(true);
        power().SetLegacySerialization(false);  // requests built by hand
        const size_t seenBefore = spy().SeenPower().size();
        const RawResult result = SendRaw(IRP_MN_QUERY_POWER, SystemPowerState, c.target);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.information, 0u);
        const std::vector<SeenRequest> seen = PowerSince(seenBefore);
        ASSERT_EQ(seen.size(), c.passedDown) << "no wait-wake request besides the one armed at start";
        if (c.passedDown > 0) {
            EXPECT_TRUE(IsSystem(seen[0], IRP_MN_QUERY_POWER));
            EXPECT_EQ(seen[0].powerState, c.target);
        }
        if (c.passedDown > 1) {
            EXPECT_TRUE(IsDevice(seen[1], IRP_MN_QUERY_POWER));
            EXPECT_EQ(seen[1].powerState, c.deviceState);
        }
        EXPECT_TRUE(WaitForIoRefCount(1));
        EXPECT_EQ(SystemPower(), PowerSystemWorking) << "a query changed the system state";
        TearDown();
    }
}

// Wait-wake is armed before a query for a deeper state goes down, not for
// the present state, not again while armed, and stays armed when the
// lower drivers fail the query.
using RemoteWakeQueryTest = PowerFixture;

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

    const PIRP armed = WakeIrp();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(CountWaitWakes(PowerSince(deeperAt)), 1u) << "another wait-wake request was sent";
    EXPECT_EQ(WakeIrp(), armed);

    EndArmedWaitWake();
    spy().AddRule(When([](const SeenRequest& seen) { return IsSystem(seen, IRP_MN_QUERY_POWER); },
                       Verdict::CompleteWith(STATUS_UNSUCCESSFUL)));
    const size_t failedAt = spy().SeenPower().size();
    const size_t deviceQueries = spy().SeenPower(IRP_MN_QUERY_POWER, DevicePowerState).size();
    EXPECT_EQ(power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(device().WaitWakePending());
    EXPECT_EQ(WakeOutstanding(), 1);
    EXPECT_EQ(spy().SeenPower(IRP_MN_QUERY_POWER, DevicePowerState).size(), deviceQueries)
        << "a device query followed a failure";
    EXPECT_EQ(PowerSince(failedAt).size(), 2u);  // the wait-wake request and the query
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

// ---- A device without remote wakeup ----

using PlainDeviceTest = PowerFixtureWith<PlainModel>;

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

// Each system set and query asks for the D-state the capabilities' table
// maps its target to, and a set records both states; a target outside the
// table maps to D3 instead of reading past it.
TEST_F(PlainDeviceTest, TargetOutsideTheTableMapsToD3)
{
    power().SetLegacySerialization(false);  // requests built by hand
    spy().AddRule(When([](const SeenRequest& seen) { return seen.major == IRP_MJ_POWER; },
                       Verdict::CompleteWith(STATUS_SUCCESS)));
    const LONG targets[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3, PowerSystemHibernate,
                            PowerSystemWorking, PowerSystemMaximum, 100, -1};
    for (LONG target : targets) {
        const bool inTable = target >= PowerSystemWorking && target < PowerSystemMaximum;
        const LONG mapped = inTable ? device().Model().power.deviceState[target] : PowerDeviceD3;
        for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}) {
            SCOPED_TRACE("target " + std::to_string(target) + ", minor " + std::to_string(minor));
            const size_t seenBefore = spy().SeenPower().size();
            RawResult result = SendRaw(minor, SystemPowerState, target);
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            ExpectSystemThenDevice(PowerSince(seenBefore), minor, mapped);
            EXPECT_TRUE(WaitForIoRefCount(1));
            if (inTable && minor == IRP_MN_SET_POWER) {
                EXPECT_EQ(SystemPower(), target);
                EXPECT_EQ(DevicePower(), mapped);
            }
        }
    }
}

}  // namespace
}  // namespace power_test
