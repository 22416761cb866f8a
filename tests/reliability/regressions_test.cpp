// Faults the random lives found, each kept as a deterministic test.
#include "driver/device_context.h"
#include "control/control_codes.h"
#include "driver/entry_points.h"
#include "emulator/machine.h"
#include "tools/stress/life_context.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace lives {
namespace {

// The built-in device's pipes: OUT 0x01, IN 0x81 (first loopback pair),
// interrupt IN 0x83, OUT 0x02, IN 0x82 (second pair).
constexpr int FirstLoopbackInPipe = 1;
constexpr int PipeCount = 5;

// A machine brought up with the driver on the built-in device; at the end
// its life is ended and nothing may be left behind (the test main fails the
// test on every verifier finding).
class Regressions : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(machine.BringUp(DriverEntry), STATUS_SUCCESS); }
    void TearDown() override
    {
        EXPECT_EQ(machine.pnp().Remove(), STATUS_SUCCESS);
        EXPECT_TRUE(machine.app().WaitUntilAllClosed(std::chrono::seconds(10))) << "a file object was never closed";
        if (machine.Driver() != nullptr) {
            machine.UnloadDriver();
        }
        EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u);
        EXPECT_EQ(emu::LiveIrps(), 0u);
    }
    emu::Handle Open(int pipe)
    {
        emu::Handle handle = 0;
        EXPECT_EQ(OpenPipe(machine.app(), pipe, &handle), STATUS_SUCCESS) << "pipe " << pipe;
        return handle;
    }

    emu::Machine machine;
};

// A request the I/O manager could not build (no IRP) kept its handle's
// close back for ever; and a cleanup or close whose IRP an injected fault
// took was never sent. Both left the device object behind at unload.
TEST_F(Regressions, RequestsThatCannotBeBuiltDoNotHoldTheCloseBack)
{
    for (const bool failTheRead : {true, false}) {
        SCOPED_TRACE(failTheRead ? "read without an IRP" : "cleanup without an IRP at first");
        const emu::Handle handle = Open(FirstLoopbackInPipe);
        emu::faults::FailNthCall(1);
        if (failTheRead) {
            uint8_t buffer[16];
            EXPECT_EQ(machine.app().Read(handle, buffer, sizeof(buffer)).status, STATUS_INSUFFICIENT_RESOURCES);
        }
        machine.app().Close(handle);
        emu::faults::Clear();
    }
}

// Holds one thread at its `nth` acquisition of one spin lock until told to
// go on, through the emulator's scheduling hook (one gate at a time).
class SpinLockGate {
public:
    SpinLockGate(const void* lock, int nth) : lock_(lock), remaining_(nth)
    {
        active_.store(this);
        emu::sched::SetHook(&SpinLockGate::At);
    }
    ~SpinLockGate()
    {
        Open();
        emu::sched::SetHook(nullptr);
        active_.store(nullptr);
    }
    void WatchThisThread() { thread_.store(std::this_thread::get_id()); }
    bool WaitUntilHeld()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return held_; });
    }
    void Open()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    static void At(emu::sched::Point point, const void* object)
    {
        SpinLockGate* gate = active_.load();
        if (gate != nullptr && point == emu::sched::Point::SpinLockAcquire && object == gate->lock_ &&
            std::this_thread::get_id() == gate->thread_.load()) {
            gate->Arrive();
        }
    }
    void Arrive()
    {
        std::unique_lock lock(mutex_);
        if (held_ || --remaining_ != 0) {
            return;
        }
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
    }

    static inline std::atomic<SpinLockGate*> active_{nullptr};
    const void* const lock_;
    std::atomic<std::thread::id> thread_{};
    std::mutex mutex_;
    std::condition_variable changed_;
    int remaining_;  // guarded by mutex_
    bool held_ = false;
    bool open_ = false;
};

// Runs `request` on a thread of its own, holds that thread at its `nth`
// acquisition of the device's IoRefLock while the device stops, then lets
// it go on.
void RaceWithAStop(emu::Machine& machine, int nth, const std::function<void()>& request)
{
    SpinLockGate gate(&ContextOf(machine.pnp().FunctionDevice())->IoRefLock, nth);
    std::thread requester([&] {
        gate.WatchThisThread();
        request();
    });
    const bool held = gate.WaitUntilHeld();
    if (held) {
        EXPECT_EQ(machine.pnp().QueryStop(), STATUS_SUCCESS);
        EXPECT_EQ(machine.pnp().Stop(), STATUS_SUCCESS);
    }
    gate.Open();
    requester.join();
    EXPECT_TRUE(held) << "the request never reached that acquisition of its I/O reference";
}

// Requests that raced a stop. A control code looked at the state before it
// took its I/O reference: a stop could drain and release the configuration
// in between, and the code went on to the bus of a stopped device (after a
// removal, to a lower device already gone); the reference now comes first,
// so the code either is waited for or sees the stop. A close cleared its
// pipe's open flag with no I/O reference: a stop could free the flags (and
// the pipe table the name is checked against) under it; held at its third
// acquisition (after the cleanup's acquire and release) while the device
// stops, the close now leaves the flags alone, and the restarted device
// starts with every flag clear.
TEST_F(Regressions, RequestsRacingAStopTouchNothingTheStopReleased)
{
    const emu::Handle handle = Open(FirstLoopbackInPipe);
    const uint64_t pipeResetsBefore = machine.Device().PipeResets();
    NTSTATUS status = STATUS_PENDING;
    RaceWithAStop(machine, 1, [&] {
        status = machine.app().DeviceIoControl(handle, IOCTL_PIPE_RESET, nullptr, 0, nullptr, 0).status;
    });
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(machine.Device().PipeResets(), pipeResetsBefore) << "a pipe reset reached the stopped device";

    ASSERT_TRUE(NT_SUCCESS(machine.pnp().Start()));
    RaceWithAStop(machine, 3, [&] { machine.app().Close(handle); });
    ASSERT_TRUE(NT_SUCCESS(machine.pnp().Start()));
    DeviceContext* context = ContextOf(machine.pnp().FunctionDevice());
    for (int pipe = 0; pipe < PipeCount; ++pipe) {
        EXPECT_EQ(context->PipeOpenFlags[pipe], 0) << "pipe " << pipe;
    }
}

}  // namespace
}  // namespace lives
