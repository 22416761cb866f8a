// Work items: routines run on the worker thread at PASSIVE_LEVEL with their
// context, and keep their device object alive until they return.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

namespace emu::test {
namespace {

class WorkItems : public KernelTest {};

struct WorkRun {
    KEVENT started;
    KEVENT release;  // the routine waits for it
    KEVENT done;
    PIO_WORKITEM item = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PKTHREAD thread = nullptr;
    KIRQL irql = HIGH_LEVEL;
    bool aliveInside = false;
    int runs = 0;
    int requeues = 0;  // how often the routine queues itself again
    bool freeInside = false;

    WorkRun()
    {
        KeInitializeEvent(&started, NotificationEvent, FALSE);
        KeInitializeEvent(&release, NotificationEvent, TRUE);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
    }
};

void Routine(PDEVICE_OBJECT device, PVOID context)
{
    auto* run = static_cast<WorkRun*>(context);
    run->runs++;
    run->device = device;
    run->thread = KeGetCurrentThread();
    run->irql = KeGetCurrentIrql();
    KeSetEvent(&run->started, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&run->release, Executive, KernelMode, FALSE, nullptr);
    run->aliveInside = IsDeviceObjectAlive(device);
    if (run->requeues > 0) {
        run->requeues--;
        IoQueueWorkItem(run->item, Routine, DelayedWorkQueue, run);
        return;
    }
    if (run->freeInside) {
        IoFreeWorkItem(run->item);
    }
    KeSetEvent(&run->done, IO_NO_INCREMENT, FALSE);
}

void WaitFor(PKEVENT event)
{
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(WorkItems, RunOnWorkerThreadAtPassiveLevelAndMayRequeueOrFreeThemselves)
{
    const struct {
        const char* name;
        int requeues;
        bool freeInside;
        int runs;
    } cases[] = {{"once", 0, false, 1}, {"queued again from inside", 2, false, 3}, {"freed inside", 0, true, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestStack stack(1);
        WorkRun run;
        run.requeues = c.requeues;
        run.freeInside = c.freeInside;
        run.item = IoAllocateWorkItem(stack.Top());
        ASSERT_NE(run.item, nullptr);
        IoQueueWorkItem(run.item, Routine, DelayedWorkQueue, &run);
        WaitFor(&run.done);
        EXPECT_EQ(run.runs, c.runs);
        EXPECT_EQ(run.device, stack.Top());
        EXPECT_NE(run.thread, KeGetCurrentThread());
        EXPECT_EQ(run.irql, PASSIVE_LEVEL);
        if (!c.freeInside) {
            IoFreeWorkItem(run.item);
        }
    }
}

// A queued item's reference keeps a deleted device object valid until the
// routine has returned.
TEST_F(WorkItems, ReferenceKeepsDeletedDeviceAliveUntilRoutineReturns)
{
    TestStack stack(1);
    PDEVICE_OBJECT extra = nullptr;
    ASSERT_EQ(IoCreateDevice(stack.Driver(), 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &extra), STATUS_SUCCESS);
    WorkRun run;
    KeClearEvent(&run.release);
    run.item = IoAllocateWorkItem(extra);
    run.freeInside = true;
    IoQueueWorkItem(run.item, Routine, DelayedWorkQueue, &run);
    WaitFor(&run.started);

    IoDeleteDevice(extra);
    EXPECT_TRUE(IsDeviceObjectAlive(extra));
    KeSetEvent(&run.release, IO_NO_INCREMENT, FALSE);
    WaitFor(&run.done);
    EXPECT_TRUE(run.aliveInside);
    // The reference drops just after the routine returns, which the worker
    // has done once it runs the next item.
    DrainWorker(stack.Top());
    EXPECT_FALSE(IsDeviceObjectAlive(extra));
}

}  // namespace
}  // namespace emu::test
