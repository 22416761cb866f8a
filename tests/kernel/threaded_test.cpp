// What needs threads of its own: threaded IRPs from
// IoBuildDeviceIoControlRequest, blocking waits, spin locks and work items.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace emu::test {
namespace {

class ThreadedIrp : public KernelTest {};

constexpr ULONG SubmitUrb = 0x220003;
constexpr NTSTATUS Untouched = static_cast<NTSTATUS>(0xBADC0DE5);

// The status block and event are written only for a status that is not an
// error, or for an IRP that pended; a synchronous failure leaves them alone.
// The built IRP has the next location filled in.
TEST_F(ThreadedIrp, StatusBlockAndEventWrittenPerRule)
{
    const struct {
        bool pend;  // the bottom driver pends and another thread completes
        NTSTATUS status;
        bool written;
        BOOLEAN internal;
    } cases[] = {
        {false, STATUS_SUCCESS, true, TRUE},  {false, STATUS_BUFFER_OVERFLOW, true, FALSE},
        {false, STATUS_DEVICE_NOT_CONNECTED, false, TRUE}, {true, STATUS_SUCCESS, true, FALSE},
        {true, STATUS_DEVICE_NOT_CONNECTED, true, TRUE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.pend ? "pended " : "synchronous ") << std::hex << c.status);
        TestStack stack(1);
        PIRP held = nullptr;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
            return c.pend ? HoldPending(&held)(nullptr, irp) : CompleteWith(irp, c.status, 5);
        });
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{{Untouched}, 77};
        UCHAR output[8] = {};
        PIRP irp = IoBuildDeviceIoControlRequest(SubmitUrb, stack.Top(), output, 4, output, 8, c.internal, &event, &iosb);
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
        EXPECT_EQ(std::tuple(iosb.Status, iosb.Information),
                  c.written ? std::tuple(c.status, 5ul) : std::tuple(Untouched, 77ul));
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
    UCHAR input[1] = {0x11}, output[4] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             stack.Top(), input, sizeof(input), output, sizeof(output), FALSE, &event,
                                             &iosb);
    EXPECT_EQ(irp->Flags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
              ULONG(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION));
    IoCallDriver(stack.Top(), irp);
    EXPECT_EQ(std::vector<UCHAR>(output, output + 4), (std::vector<UCHAR>{0xA1, 0xA2, 0, 0}));
}

std::atomic<int> cancelRoutineEnds = 0;

void NTAPI EndingCancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    cancelRoutineEnds++;
}

// The documented insertion racing IoCancelIrp on another processor: the
// owner arms its routine, then tests Cancel without the cancel lock and
// takes the routine back if it can. The request ends exactly once, and the
// owner's read is no data race (the ThreadSanitizer build checks that).
TEST_F(ThreadedIrp, ArmingACancelRoutineRacingIoCancelIrpEndsTheIrpOnce)
{
    for (int round = 0; round < 200; ++round) {
        PIRP irp = IoAllocateIrp(1, FALSE);
        cancelRoutineEnds = 0;
        std::atomic<bool> go = false;
        std::thread canceller([&] {
            while (!go) {
            }
            IoCancelIrp(irp);
        });
        go = true;
        IoSetCancelRoutine(irp, EndingCancelRoutine);
        const bool ownerEnds = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
        canceller.join();
        EXPECT_EQ(ownerEnds + cancelRoutineEnds, 1) << "round " << round;
        IoFreeIrp(irp);
    }
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

// One KeSetEvent releases every waiter of a notification event and exactly
// one of a synchronization event; the blocked threads are described for the
// watchdog by name and wait.
TEST_F(BlockingWaits, OneSetReleasesAllNotificationWaitersAndOneSynchronizationWaiter)
{
    for (const auto& [type, expected] : {std::pair{NotificationEvent, 3}, std::pair{SynchronizationEvent, 1}}) {
        SCOPED_TRACE(type);
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        std::atomic<int> released{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.emplace_back([&] {
                threads::SetName("sleeper");
                LARGE_INTEGER timeout;
                timeout.QuadPart = -5000000LL;  // 500 ms: the set comes once all three are blocked
                released += KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
            });
        }
        ASSERT_TRUE(WaitForBlockedThreads(3));
        const std::string story = threads::DescribeBlocked();
        EXPECT_NE(story.find("'sleeper'"), std::string::npos) << story;
        EXPECT_NE(story.find("KeWaitForSingleObject"), std::string::npos) << story;
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        for (auto& waiter : waiters) {
            waiter.join();
        }
        EXPECT_EQ(released.load(), expected);
        EXPECT_EQ(KeReadStateEvent(&event), type == NotificationEvent ? 1 : 0);
    }
}

class SpinLocks : public KernelTest {};

// The lock excludes other threads.
TEST_F(SpinLocks, OtherThreadsAreExcluded)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // guarded by lock only: a data race if the lock fails
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
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
    EXPECT_EQ(counter, 4 * 2000);
}

class WorkItems : public KernelTest {};

// Routines run on the worker thread at PASSIVE_LEVEL with their device and
// context, and may queue their item again or free it.
TEST_F(WorkItems, RunOnWorkerThreadAtPassiveLevelAndMayRequeueOrFreeThemselves)
{
    // Run once, queued again twice from inside, freed inside.
    const std::tuple<int, bool, int> cases[] = {{0, false, 1}, {2, false, 3}, {0, true, 1}};
    for (const auto& [requeues, freeInside, runs] : cases) {
        SCOPED_TRACE(testing::Message() << requeues << " requeues, freed inside: " << freeInside);
        TestStack stack(1);
        WorkRun run(true);
        run.requeues = requeues;
        run.freeInside = freeInside;
        run.item = IoAllocateWorkItem(stack.Top());
        IoQueueWorkItem(run.item, WorkRoutine, DelayedWorkQueue, &run);
        run.Wait(&run.done);
        EXPECT_EQ(run.runs, runs);
        EXPECT_EQ(run.device, stack.Top());
        EXPECT_NE(run.thread, KeGetCurrentThread());
        EXPECT_EQ(run.irql, PASSIVE_LEVEL);
        if (!freeInside) {
            IoFreeWorkItem(run.item);
        }
    }
}

}  // namespace
}  // namespace emu::test
