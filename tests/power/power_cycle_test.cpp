// Whole cycles through the emulated power manager, in its legacy model
// (PoStartNextPowerIrp enforced per request and device object): sleep and
// resume with a read and a write in flight, and a wake signalled by the
// device while it is in D3. The driver and the bus each call
// PoStartNextPowerIrp once per set or query request; wait-wake requests add
// the calls of their own.
#include "tests/power/power_fixture.h"

#include <future>
#include <string>

namespace power_test {
namespace {

class PowerCycleTest : public PowerFixture {
protected:
    bool UseSpy() override { return false; }

    struct Counts {
        uint64_t started;
        uint64_t startNextCalls;
    };

    Counts Now() { return {power().PowerIrpsStarted(), power().StartNextPowerIrpCalls()}; }
};

class SleepWithIoInFlightTest : public PowerCycleTest {
protected:
    emu::usb::DeviceModel Model() override { return Quiet(WakeModel()); }
};

TEST_F(SleepWithIoInFlightTest, SleepAndResumeAHundredTimes)
{
    device().SetCompletionMode(emu::usb::CompletionMode::Held);
    const emu::Handle out = OpenEndpoint(0x01);
    const emu::Handle in = OpenEndpoint(0x81);
    ASSERT_NE(out, 0u);
    ASSERT_NE(in, 0u);
    drain_watch::Start(context());

    for (int cycle = 0; cycle < 100; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        const Counts before = Now();
        const size_t waitsBefore = drain_watch::Waits();
        std::vector<uint8_t> sent(100), received(100);
        for (size_t i = 0; i < sent.size(); ++i) {
            sent[i] = static_cast<uint8_t>(cycle + i);
            received[i] = static_cast<uint8_t>(cycle * 3 + i);
        }

        auto write = machine().app().WriteAsync(out, sent);
        auto read = machine().app().ReadAsync(in, 100);
        ASSERT_TRUE(device().WaitForHeld(2, Patience));
        auto sleep = std::async(std::launch::async, [&] { return power().Sleep(PowerSystemSleeping3); });

        // The query's drain waits for the write; the read, whose bus read
        // the drain aborts, waits for the device to come back.
        ASSERT_TRUE(drain_watch::WaitForWaits(waitsBefore + 1, Patience));
        EXPECT_EQ(drain_watch::CountsAtWait()[waitsBefore], 2);
        for (const auto& held : device().Held()) {
            EXPECT_FALSE(held.in) << "a bus read in flight while the device drains";
            device().Release(held.id);
        }
        ASSERT_EQ(sleep.wait_for(Patience), std::future_status::ready);
        EXPECT_EQ(sleep.get(), STATUS_SUCCESS);
        ASSERT_TRUE(write->WaitFor(Patience));
        EXPECT_EQ(write->Result().status, STATUS_SUCCESS);
        EXPECT_EQ(write->Result().information, 100u);
        EXPECT_FALSE(read->Done());

        EXPECT_EQ(drain_watch::Waits(), waitsBefore + 2) << "the query's drain and the set's";
        EXPECT_EQ(SystemPower(), PowerSystemSleeping3);
        EXPECT_EQ(DevicePower(), PowerDeviceD2);
        EXPECT_EQ(device().DevicePowerState(), PowerDeviceD2);
        EXPECT_EQ(power().ReportedDeviceState(fdo()), PowerDeviceD2);

        ASSERT_EQ(power().Resume(), STATUS_SUCCESS);
        EXPECT_EQ(DevicePower(), PowerDeviceD0);
        EXPECT_EQ(device().DevicePowerState(), PowerDeviceD0);
        ASSERT_TRUE(device().WaitForHeld(1, Patience)) << "the read did not go on after the resume";
        device().ReleaseWith(device().Held()[0].id, STATUS_SUCCESS, 100, &received);
        ASSERT_TRUE(read->WaitFor(Patience));
        EXPECT_EQ(read->Result().status, STATUS_SUCCESS);
        EXPECT_EQ(read->Data(), received);
        ASSERT_TRUE(WaitForIoRefCount(1)) << "a reference was not given back";

        // Sleep: system query and its device query, system set and its
        // device set; resume: system set and its device set.
        const Counts after = Now();
        EXPECT_EQ(after.started - before.started, 6u);
        EXPECT_EQ(after.startNextCalls - before.startNextCalls, 2 * (after.started - before.started));
        if (HasFailure()) {
            break;
        }
    }
    EXPECT_TRUE(device().WaitWakePending()) << "the wait-wake request armed at start is gone";
    machine().app().Close(out);
    machine().app().Close(in);
}

class WakeFromD3Test : public PowerCycleTest {
protected:
    emu::usb::DeviceModel Model() override { return WakeFromD3Model(); }
};

TEST_F(WakeFromD3Test, WakeInD3PowersUpAndRearms)
{
    for (int cycle = 0; cycle < 10; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(power().Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(DevicePower(), PowerDeviceD3);
        ASSERT_TRUE(device().WaitWakePending());
        ASSERT_TRUE(WaitForIoRefCount(1));
        const Counts before = Now();
        const PIRP wakeBefore = WakeIrp();

        device().SignalWake();
        ASSERT_TRUE(WaitUntil([&] {
            return DevicePower() == PowerDeviceD0 && device().WaitWakePending() &&
                   WakeOutstanding() == 1 && IoRefCount() == 1;
        })) << "not powered up and re-armed";
        EXPECT_EQ(device().DevicePowerState(), PowerDeviceD0);
        EXPECT_EQ(power().ReportedDeviceState(fdo()), PowerDeviceD0);
        EXPECT_NE(WakeIrp(), nullptr);
        EXPECT_NE(WakeIrp(), wakeBefore);

        // The D0 request: the driver's and the bus's call; the wait-wake
        // request that completed: WakeIrpCompletion's; the new one: DispatchPower's.
        const Counts after = Now();
        EXPECT_EQ(after.started - before.started, 1u);
        EXPECT_EQ(after.startNextCalls - before.startNextCalls, 2u + 2u);

        ASSERT_EQ(power().Resume(), STATUS_SUCCESS);
        EXPECT_EQ(DevicePower(), PowerDeviceD0);
        ASSERT_TRUE(WaitForIoRefCount(1));
    }
}

}  // namespace
}  // namespace power_test
