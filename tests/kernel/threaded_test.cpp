// What needs threads of its own: threaded IRPs from
// IoBuildDeviceIoControlRequest, blocking waits, spin locks and work items.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace emu::test {
namespace {

class ThreadedIrp : public KernelTest {};

constexpr ULONG SubmitUrb = 0x220003;
constexpr NTSTATUS Untouched = static_cast<NTSTATUS>(0xBADC0DE5);

struct WriteBackCase {
    const char* name;
    bool pend;  // the bottom driver pends and another thread completes
    NTSTATUS status;
    bool written;
    BOOLEAN internal;
};

// The status block and event are written only for a status that is not an
// error, or for an IRP that pended; a synchronous failure leaves them alone.
// The built IRP has no location for its caller and the next one filled in.
TEST_F(ThreadedIrp, StatusBlockAndEventWrittenPerRule)
{
    const WriteBackCase cases[] = {
        {"synchronous success", false, STATUS_SUCCESS, true, TRUE},
        {"synchronous warning", false, STATUS_BUFFER_OVERFLOW, true, FALSE},
        {"synchronous error", false, STATUS_DEVICE_NOT_CONNECTED, false, TRUE},
        {"pended success", true, STATUS_SUCCESS, true, FALSE},
        {"pended error", true, STATUS_DEVICE_NOT_CONNECTED, true, TRUE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestStack stack(1);
        PIRP held = nullptr;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
            if (!c.pend) {
                return CompleteWith(irp, c.status, 5);
            }
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        });
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{{Untouched}, 77};
        UCHAR output[8] = {};
        PIRP irp = IoBuildDeviceIoControlRequest(SubmitUrb, stack.Top(), output, 4, output, 8, c.internal, &event, &iosb);
        EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
        EXPECT_EQ(irp->Tail.Overlay.Thread, reinterpret_cast<PETHREAD>(KeGetCurrentThread()));
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        EXPECT_EQ(next->MajorFunction, c.internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        const NTSTATUS returned = IoCallDriver(stack.Top(), irp);
        if (c.pend) {
            EXPECT_EQ(returned, STATUS_PENDING);
            std::thread([&] { CompleteWith(held, c.status, 5); }).join();
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(returned, c.status);
        }
        LARGE_INTEGER poll{};
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll),
                  c.written ? STATUS_SUCCESS : STATUS_TIMEOUT);
        EXPECT_EQ(iosb.Status, c.written ? c.status : Untouched);
        EXPECT_EQ(iosb.Information, c.written ? 5u : 77u);
        EXPECT_EQ(LiveIrps(), 0u);  // freed at the end of the second stage
    }
}

// METHOD_BUFFERED: the input goes in through the system buffer and the
// output comes back from it, Information bytes of it. (That an error copies
// nothing back is Application.BufferedControlCopiesBackInformationBytesUnlessTheStatusIsAnError.)
TEST_F(ThreadedIrp, BufferedInputAndOutputGoThroughTheSystemBuffer)
{
    TestStack stack(1);
    stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(buffer[0], 0x11);
        buffer[0] = 0xA1;
        buffer[1] = 0xA2;
        return CompleteWith(irp, STATUS_SUCCESS, 2);
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    UCHAR input[1] = {0x11};
    UCHAR output[4] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             stack.Top(), input, sizeof(input), output, sizeof(output), FALSE, &event,
                                             &iosb);
    EXPECT_EQ(irp->Flags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
              ULONG(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION));
    IoCallDriver(stack.Top(), irp);
    EXPECT_EQ(output[0], 0xA1);
    EXPECT_EQ(output[1], 0xA2);
    EXPECT_EQ(output[2], 0);
}

class BlockingWaits : public KernelTest {};

// Waits until `count` emulator threads are blocked in a kernel wait.
bool WaitForBlockedThreads(size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string blocked = threads::DescribeBlocked();
        if (static_cast<size_t>(std::count(blocked.begin(), blocked.end(), '\n')) >= count) {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

struct ReleaseCase {
    const char* name;
    EVENT_TYPE type;
    int released;
};

TEST_F(BlockingWaits, OneSetReleasesAllNotificationWaitersAndOneSynchronizationWaiter)
{
    const ReleaseCase cases[] = {{"notification", NotificationEvent, 3}, {"synchronization", SynchronizationEvent, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KEVENT event;
        KeInitializeEvent(&event, c.type, FALSE);
        std::atomic<int> released{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.emplace_back([&] {
                LARGE_INTEGER timeout;
                timeout.QuadPart = -5000000LL;  // 500 ms: the set comes once all three are blocked
                if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
                    released++;
                }
            });
        }
        ASSERT_TRUE(WaitForBlockedThreads(3));
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        for (auto& waiter : waiters) {
            waiter.join();
        }
        EXPECT_EQ(released.load(), c.released);
        EXPECT_EQ(KeReadStateEvent(&event), c.type == NotificationEvent ? 1 : 0);
    }
}

TEST_F(BlockingWaits, BlockedThreadIsDescribedForTheWatchdog)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread waiter([&] {
        threads::SetName("sleeper");
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    });
    ASSERT_TRUE(WaitForBlockedThreads(1));
    const std::string story = threads::DescribeBlocked();
    EXPECT_NE(story.find("'sleeper'"), std::string::npos) << story;
    EXPECT_NE(story.find("KeWaitForSingleObject"), std::string::npos) << story;
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
}

class SpinLocks : public KernelTest {};

// Every acquire form leaves the thread at DISPATCH_LEVEL and every release
// form back at the level it started from.
TEST_F(SpinLocks, AcquireRaisesToDispatchAndReleaseRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const struct {
        const char* name;
        KIRQL start;
        void (*acquire)(PKSPIN_LOCK, KIRQL*);
        void (*release)(PKSPIN_LOCK, KIRQL);
    } cases[] = {
        {"KeAcquireSpinLock at PASSIVE_LEVEL", PASSIVE_LEVEL, [](PKSPIN_LOCK l, KIRQL* s) { KeAcquireSpinLock(l, s); },
         [](PKSPIN_LOCK l, KIRQL s) { KeReleaseSpinLock(l, s); }},
        {"KeAcquireSpinLock at APC_LEVEL", APC_LEVEL, [](PKSPIN_LOCK l, KIRQL* s) { KeAcquireSpinLock(l, s); },
         [](PKSPIN_LOCK l, KIRQL s) { KeReleaseSpinLock(l, s); }},
        {"at DPC level", DISPATCH_LEVEL, [](PKSPIN_LOCK l, KIRQL*) { KeAcquireSpinLockAtDpcLevel(l); },
         [](PKSPIN_LOCK l, KIRQL) { KeReleaseSpinLockFromDpcLevel(l); }},
        {"the cancel lock", PASSIVE_LEVEL, [](PKSPIN_LOCK, KIRQL* s) { IoAcquireCancelSpinLock(s); },
         [](PKSPIN_LOCK, KIRQL s) { IoReleaseCancelSpinLock(s); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KIRQL old;
        KeRaiseIrql(c.start, &old);
        KIRQL saved = c.start;
        c.acquire(&lock, &saved);
        EXPECT_EQ(saved, c.start);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        c.release(&lock, saved);
        EXPECT_EQ(KeGetCurrentIrql(), c.start);
        KeLowerIrql(old);
    }
}

TEST_F(SpinLocks, ExcludesOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // guarded by lock only: a data race if the lock fails
    constexpr int Threads = 4;
    constexpr int Rounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < Rounds; ++i) {
                KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
                const long seen = counter;
                counter = seen + 1;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, Threads * Rounds);
}

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
