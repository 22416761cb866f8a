// Whole cycles through the emulated power manager, in its legacy model
// (PoStartNextPowerIrp enforced per request and device object): sleep and
// resume with a write in flight, and a wake signalled by the
// device while it is in D3. The driver and the bus each call
// PoStartNextPowerIrp once per set or query request; wait-wake requests add
// the calls of their own.
#include "tests/power/power_fixture.h"

#include <future>

namespace power_test {
namespace {

class PowerCycleTest : public PowerFixture {
protected:
    std::pair<uint64_t, uint64_t> Counts() { return {power().PowerIrpsStarted(), power().StartNextPowerIrpCalls()}; }
};
using SleepWithIoInFlightTest = PowerCycleTest;
using WakeFromD3Test = PowerCycleTest;

// The sleep's drains wait for the write in flight (its reference held) and
// pass down only once it has completed. (Reads waiting across a sleep are
// the io tests' ReadsAcrossDrain.)
TEST_F(SleepWithIoInFlightTest, SleepAndResumeAHundredTimes)
{
    Prepare(Quiet(emu::usb::DeviceModel::Builtin()), true, false);
    device().SetCompletionMode(emu::usb::CompletionMode::Held);
    const emu::Handle out = OpenPipe(0);
    WatchDrain();
    for (int cycle = 0; cycle < 100 && !HasFailure(); ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        const auto [startedBefore, callsBefore] = Counts();
        const size_t waitsBefore = Waits();
        auto write = machine().app().WriteAsync(out, std::vector<uint8_t>(100, static_cast<uint8_t>(cycle)));
        ASSERT_TRUE(device().WaitForHeld(1, Patience));
        auto sleep = std::async(std::launch::async, [&] { return power().Sleep(PowerSystemSleeping3); });

        ASSERT_TRUE(WaitUntil([&] { return Waits() > waitsBefore; }));
        EXPECT_EQ(CountsAtWait()[waitsBefore], 2) << "the write's reference keeps the drain waiting";
        EXPECT_EQ(sleep.wait_for(0s), std::future_status::timeout) << "slept with a write in flight";
        device().Release(device().Held()[0].id);
        ASSERT_EQ(sleep.wait_for(Patience), std::future_status::ready);
        EXPECT_EQ(sleep.get(), STATUS_SUCCESS);
        ASSERT_TRUE(write->WaitFor(Patience));
        EXPECT_EQ(write->Result().status, STATUS_SUCCESS);
        EXPECT_EQ(write->Result().information, 100u);
        EXPECT_EQ(Waits(), waitsBefore + 2) << "the query's drain and the set's";
        EXPECT_EQ(SystemPower(), PowerSystemSleeping3);
        EXPECT_EQ(DevicePower(), PowerDeviceD2);
        EXPECT_EQ(device().DevicePowerState(), PowerDeviceD2);
        EXPECT_EQ(power().ReportedDeviceState(fdo()), PowerDeviceD2);

        ASSERT_EQ(power().Resume(), STATUS_SUCCESS);
        EXPECT_EQ(DevicePower(), PowerDeviceD0);
        EXPECT_EQ(device().DevicePowerState(), PowerDeviceD0);
        ASSERT_TRUE(WaitForIoRefCount(1)) << "a reference was not given back";
        // Sleep: system query and its device query, system set and its
        // device set; resume: system set and its device set.
        const auto [startedAfter, callsAfter] = Counts();
        EXPECT_EQ(startedAfter - startedBefore, 6u);
        EXPECT_EQ(callsAfter - callsBefore, 2 * (startedAfter - startedBefore));
    }
    EXPECT_TRUE(device().WaitWakePending()) << "the wait-wake request armed at start is gone";
    machine().app().Close(out);
}

TEST_F(WakeFromD3Test, WakeInD3PowersUpAndRearms)
{
    Prepare(S3InD3(true), true, false);
    for (int cycle = 0; cycle < 10; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(power().Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(DevicePower(), PowerDeviceD3);
        ASSERT_TRUE(device().WaitWakePending());
        ASSERT_TRUE(WaitForIoRefCount(1));
        const auto [startedBefore, callsBefore] = Counts();
        const PIRP wakeBefore = WakeIrp();

        device().SignalWake();
        ASSERT_TRUE(WaitUntil([&] {
            return DevicePower() == PowerDeviceD0 && device().WaitWakePending() && WakeOutstanding() == 1 &&
                   IoRefCount() == 1;
        })) << "not powered up and re-armed";
        EXPECT_EQ(device().DevicePowerState(), PowerDeviceD0);
        EXPECT_EQ(power().ReportedDeviceState(fdo()), PowerDeviceD0);
        EXPECT_NE(WakeIrp(), nullptr);
        EXPECT_NE(WakeIrp(), wakeBefore);

        // The D0 request: the driver's and the bus's call; the wait-wake
        // request that completed: WakeIrpCompletion's; the new one: DispatchPower's.
        const auto [startedAfter, callsAfter] = Counts();
        EXPECT_EQ(startedAfter - startedBefore, 1u);
        EXPECT_EQ(callsAfter - callsBefore, 2u + 2u);

        ASSERT_EQ(power().Resume(), STATUS_SUCCESS);
        EXPECT_EQ(DevicePower(), PowerDeviceD0);
        ASSERT_TRUE(WaitForIoRefCount(1));
    }
}

}  // namespace
}  // namespace power_test
