// Whole cycles through the emulated power manager, in its legacy model
// (PoStartNextPowerIrp enforced per request and device object): sleep with
// a write in flight, a wake signalled by the device while it is in D3, and
// the resume.
#include "tests/power/power_fixture.h"

#include <future>

namespace power_test {
namespace {

using PowerCycleTest = BothStacks;
INSTANTIATE_TEST_SUITE_P(Stacks, PowerCycleTest, ::testing::Bool(), StackName);

// The sleep's drains wait for the write in flight (its reference held) and
// pass down only once it has completed. The device, kept in D3 and armed, is
// woken there: it powers up and re-arms with another wait-wake request. The
// resume follows. (Reads waiting across a sleep are the io tests'
// ReadsAcrossDrain.) The driver and the bus each call PoStartNextPowerIrp
// once per set or query request; the wait-wake request that completed adds
// WakeIrpCompletion's call and the new one DispatchPower's.
TEST_P(PowerCycleTest, SleepWakeInD3AndResumeAHundredTimes)
{
    Prepare(Quiet(S3InD3(true)), true, false);
    device().SetCompletionMode(emu::usb::CompletionMode::Held);
    const emu::Handle out = OpenPipe(0);
    WatchDrain();
    for (int cycle = 0; cycle < 100 && !HasFailure(); ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        const uint64_t startedBefore = power().PowerIrpsStarted(), callsBefore = power().StartNextPowerIrpCalls();
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
        EXPECT_EQ(DevicePower(), PowerDeviceD3);
        EXPECT_EQ(device().DevicePowerState(), PowerDeviceD3);
        EXPECT_EQ(power().ReportedDeviceState(fdo()), PowerDeviceD3);
        ASSERT_TRUE(device().WaitWakePending());
        ASSERT_TRUE(WaitForIoRefCount(1));

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

        ASSERT_EQ(power().Resume(), STATUS_SUCCESS);
        EXPECT_EQ(DevicePower(), PowerDeviceD0);
        ASSERT_TRUE(WaitForIoRefCount(1)) << "a reference was not given back";
        // Sleep: system query and set, each with its device request; the
        // wake's D0 request; resume: system set and its device set.
        const uint64_t started = power().PowerIrpsStarted() - startedBefore;
        EXPECT_EQ(started, 7u);
        EXPECT_EQ(power().StartNextPowerIrpCalls() - callsBefore, 2 * started + 2);
    }
    machine().app().Close(out);
}

}  // namespace
}  // namespace power_test
