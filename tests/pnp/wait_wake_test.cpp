// Wait-wake: arming, the arbitration between completion and cancellation in
// each of its orders (a wake racing a stop among them), and someone else's
// request let through. The wake in D3 that powers the device up and re-arms
// is in the power cycle test.
#include "tests/pnp/support/driver_fixture.h"
#include "tests/pnp/support/wait_until.h"

#include "emulator/kernel/system.h"
#include "emulator/power/power_manager.h"
#include "power/wait_wake.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace pondrel::test {
namespace {

// The statuses with which one request left the driver's own stack location
// on its way up: one per finish.
struct LevelCompletions {
    static inline std::mutex mutex;
    static inline std::pair<PDEVICE_OBJECT, const void*> watched;
    static inline std::vector<NTSTATUS> statuses;

    static void Watch(PDEVICE_OBJECT device, PIRP irp)
    {
        std::lock_guard lock(mutex);
        watched = {device, irp};
        statuses.clear();
        emu::observe::SetObserver([](emu::observe::Point point, const void* object, PDEVICE_OBJECT at) {
            std::lock_guard lock(mutex);
            if (point == emu::observe::Point::LevelCompleted && std::pair(at, object) == watched) {
                statuses.push_back(static_cast<const IRP*>(object)->IoStatus.Status);
            }
        });
    }
    static std::vector<NTSTATUS> Statuses()
    {
        std::lock_guard lock(mutex);
        return statuses;
    }
};

class WaitWakeTest : public DriverFixture {
protected:
    void TearDown() override
    {
        emu::observe::SetObserver(nullptr);
        emu::sched::SetHook(nullptr);
        DriverFixture::TearDown();
    }

    // Started, with the spy keeping the wait-wake request armed at start.
    PIRP StartArmed(WaitWakeCancel onCancel, NTSTATUS cancelStatus = STATUS_CANCELLED)
    {
        LoadWithSpy();
        spy().KeepWaitWake(onCancel, cancelStatus);
        EXPECT_EQ(pnp().Start(), STATUS_SUCCESS);
        EXPECT_TRUE(spy().WaitForKeptWaitWake(1, Patience));
        PIRP irp = spy().KeptWaitWake().at(0);
        LevelCompletions::Watch(fdo(), irp);
        return irp;
    }

    void Disarm()
    {
        emu::DriverScope scope(driver());
        DisarmWaitWake(context());
    }

    NTSTATUS Arm()
    {
        emu::DriverScope scope(driver());
        return ArmWaitWake(context());
    }

    LONG Read(LONG& value) { return InterlockedCompareExchange(&value, 0, 0); }

    // WakeRequestDone has run exactly once for every request armed: nothing
    // outstanding, and the follow-up count back at its bias.
    void ExpectIdle()
    {
        EXPECT_TRUE(WaitUntil([&] { return Read(context()->WakeOutstanding) == 0; }));
        EXPECT_EQ(context()->WakeIrp, nullptr);
        EXPECT_EQ(Read(context()->WakeFollowUpCount), 1);
    }

    size_t PowerUps()
    {
        const std::vector<SeenRequest> sets = spy().SeenPower(IRP_MN_SET_POWER, DevicePowerState);
        return std::count_if(sets.begin(), sets.end(), [](const SeenRequest& set) { return set.powerState == PowerDeviceD0; });
    }
};

// Completes a kept wait-wake request from the scheduling hook, on the given
// thread, the first time that thread is about to touch `field`: the moment
// at which a race would have the bus complete it.
struct CompleteWakeWhenTouched {
    static inline const void* field = nullptr;
    static inline std::function<void()> complete;
    static inline std::thread::id thread;
    static inline bool fired = false;

    static void Install(const void* touched, LowerSpy* spy, PIRP irp, NTSTATUS bus)
    {
        field = touched;
        complete = [=] { spy->FinishWaitWake(irp, bus); };
        thread = std::this_thread::get_id();
        fired = false;
        emu::sched::SetHook([](emu::sched::Point point, const void* object) {
            if (point == emu::sched::Point::Interlocked && object == field && !fired &&
                std::this_thread::get_id() == thread) {
                fired = true;
                complete();
            }
        });
    }
};

// The completion and the disarm in each order: completion first (a later
// disarm finds nothing to cancel; the bus's status goes on), disarm first
// (the bus's status goes on), completion inside IoCancelIrp, and completion
// just after it, before the disarm reaches its flag (the disarm finishes it
// cancelled). A wake in D0 neither powers up nor re-arms; nor does a wake in
// D3 that completes after the stop has left DeviceRunning, just before the
// stop disarms, and the stop still finishes.
TEST_F(WaitWakeTest, CompletionAndDisarmInEachOrder)
{
    enum class Order { CompletionFirst, DisarmFirst, InsideTheCancel, JustAfterTheCancel, AsTheStopDisarms };
    const struct {
        const char* name;
        Order order;
        WaitWakeCancel onCancel;
        NTSTATUS bus;
        size_t cancels;
        NTSTATUS finished;
    } cases[] = {
        {"completion first", Order::CompletionFirst, WaitWakeCancel::CompleteAtOnce, STATUS_SUCCESS, 0, STATUS_SUCCESS},
        {"disarm before completion", Order::DisarmFirst, WaitWakeCancel::Later, STATUS_NO_SUCH_DEVICE, 1,
         STATUS_NO_SUCH_DEVICE},
        {"completion inside the cancel", Order::InsideTheCancel, WaitWakeCancel::CompleteAtOnce, STATUS_NO_SUCH_DEVICE,
         1, STATUS_CANCELLED},
        {"completion just after the cancel", Order::JustAfterTheCancel, WaitWakeCancel::Later, STATUS_SUCCESS, 1,
         STATUS_CANCELLED},
        {"wake in D3 as the stop disarms", Order::AsTheStopDisarms, WaitWakeCancel::CompleteAtOnce, STATUS_SUCCESS, 0,
         STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CompleteWakeWhenTouched::fired = false;
        PIRP irp = StartArmed(c.onCancel, c.bus);
        if (c.order == Order::CompletionFirst) {
            spy().FinishWaitWake(irp, c.bus);
            ExpectIdle();
        }
        const bool byStop = c.order == Order::AsTheStopDisarms;
        if (byStop) {
            context()->CurrentDevicePower = PowerDeviceD3;
            ASSERT_EQ(pnp().QueryStop(), STATUS_SUCCESS);
            CompleteWakeWhenTouched::Install(&context()->WakeIrp, &spy(), irp, c.bus);
            EXPECT_EQ(pnp().Stop(), STATUS_SUCCESS);
            EXPECT_EQ(State(), DeviceStopped);
        }
        if (c.order == Order::JustAfterTheCancel) {
            CompleteWakeWhenTouched::Install(&context()->WakeCancelFlag, &spy(), irp, c.bus);
        }
        if (!byStop) {
            Disarm();
        }
        emu::sched::SetHook(nullptr);
        EXPECT_EQ(c.order == Order::JustAfterTheCancel || byStop, CompleteWakeWhenTouched::fired);
        if (c.order == Order::DisarmFirst) {
            EXPECT_TRUE(LevelCompletions::Statuses().empty());
            EXPECT_EQ(Read(context()->WakeOutstanding), 1);
            spy().FinishWaitWake(irp, c.bus);
        }
        EXPECT_EQ(spy().WaitWakeCancels(), c.cancels);
        ExpectIdle();
        EXPECT_EQ(LevelCompletions::Statuses(), std::vector<NTSTATUS>{c.finished});
        EXPECT_EQ(PowerUps(), 0u);
        EXPECT_EQ(spy().Count(IRP_MJ_POWER, IRP_MN_WAIT_WAKE), 1u);
        EXPECT_EQ(IoRefCount(), 1);
        context()->CurrentDevicePower = PowerDeviceD0;
        TearDown();
    }
}

// Someone else's wait-wake request goes through the driver untouched: its
// completion neither takes nor disturbs the driver's own armed request.
struct ForeignRequest {
    static inline std::atomic<int> done{0};
    static inline std::atomic<NTSTATUS> status{STATUS_PENDING};
    static void NTAPI Done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK ioStatus)
    {
        status = ioStatus->Status;
        ++done;
    }
};

TEST_F(WaitWakeTest, ForeignWaitWakeIsLetThrough)
{
    PIRP own = StartArmed(WaitWakeCancel::CompleteAtOnce);
    ForeignRequest::done = 0;
    POWER_STATE wakeFrom;
    wakeFrom.SystemState = PowerSystemSleeping1;
    PIRP foreign = nullptr;
    ASSERT_TRUE(NT_SUCCESS(PoRequestPowerIrp(device().Pdo(), IRP_MN_WAIT_WAKE, wakeFrom, ForeignRequest::Done,
                                             nullptr, &foreign)));
    ASSERT_TRUE(spy().WaitForKeptWaitWake(2, Patience));

    spy().FinishWaitWake(foreign, STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([] { return ForeignRequest::done == 1; }));
    EXPECT_EQ(ForeignRequest::status, STATUS_SUCCESS);
    EXPECT_EQ(context()->WakeIrp, own);
    EXPECT_EQ(Read(context()->WakeOutstanding), 1);
    EXPECT_EQ(Read(context()->WakeFollowUpCount), 2);
    EXPECT_EQ(PowerUps(), 0u);

    Disarm();
    EXPECT_EQ(spy().WaitWakeCancels(), 1u) << "the driver's own request is still armed";
}

// The power manager may store the new request's address only on return,
// after the bus has already refused the request: nothing stays armed, and
// the stop cancels nothing.
TEST_F(WaitWakeTest, RequestEndingBeforeItsAddressIsStoredLeavesNothingArmed)
{
    LoadWithSpy();
    emu::power::SetIrpAddressStoredOnReturn(true);
    spy().AddRule(When([](const SeenRequest& seen) { return seen.major == IRP_MJ_POWER && seen.minor == IRP_MN_WAIT_WAKE; },
                       Verdict::CompleteWith(STATUS_INVALID_DEVICE_STATE)));
    ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
    EXPECT_EQ(spy().Count(IRP_MJ_POWER, IRP_MN_WAIT_WAKE), 1u);
    ExpectIdle();
    ASSERT_EQ(pnp().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(pnp().Stop(), STATUS_SUCCESS);
    EXPECT_EQ(spy().WaitWakeCancels(), 0u);
}

// Armed once at start while running, with the start's and DispatchPower's
// references; a second arming is refused while one is outstanding, a
// failed arming leaves nothing outstanding and can be retried, and any
// arming is refused once the device has stopped.
TEST_F(WaitWakeTest, ArmedOnceAtStartWhenRunning)
{
    PIRP irp = StartArmed(WaitWakeCancel::CompleteAtOnce);
    const std::optional<SeenRequest> waitWake = spy().Last(IRP_MJ_POWER, IRP_MN_WAIT_WAKE);
    ASSERT_TRUE(waitWake.has_value());
    EXPECT_EQ(waitWake->driverState, DeviceRunning);
    EXPECT_EQ(waitWake->ioRefCount, 3);  // the device's, the start's, DispatchPower's
    EXPECT_EQ(Read(context()->WakeOutstanding), 1);
    EXPECT_EQ(Arm(), STATUS_DEVICE_BUSY);

    spy().FinishWaitWake(irp, STATUS_UNSUCCESSFUL);
    ExpectIdle();
    emu::faults::FailNthCall(1);
    const NTSTATUS failed = Arm();
    emu::faults::Clear();
    EXPECT_FALSE(NT_SUCCESS(failed));
    EXPECT_EQ(Read(context()->WakeOutstanding), 0);
    EXPECT_EQ(Read(context()->WakeFollowUpCount), 1);
    EXPECT_TRUE(NT_SUCCESS(Arm()));
    EXPECT_TRUE(spy().WaitForKeptWaitWake(1, Patience));

    ASSERT_EQ(pnp().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(pnp().Stop(), STATUS_SUCCESS);
    ExpectIdle();
    EXPECT_EQ(Arm(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(spy().Count(IRP_MJ_POWER, IRP_MN_WAIT_WAKE), 2u);
    ExpectIdle();
}

// (The removal waiting for the wait-wake request, and for the power-up
// after a wake, is QueryDrainTest.RemovalWaitsForWhatIsInFlight.)

}  // namespace
}  // namespace pondrel::test
