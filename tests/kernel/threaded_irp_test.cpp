// IoBuildDeviceIoControlRequest and the completion of threaded IRPs: what
// the built IRP holds and when its status block and event are written (the
// second stage's APC is seen in VerifierRules.WaitAtApcLevelBlocksOwnCompletion).
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <atomic>
#include <thread>

namespace emu::test {
namespace {

class ThreadedIrp : public KernelTest {};

constexpr ULONG SubmitUrb = 0x220003;
constexpr NTSTATUS Untouched = static_cast<NTSTATUS>(0xBADC0DE5);

TEST_F(ThreadedIrp, BuiltIrpHasNoCallerLocationAndTheNextOneFilledIn)
{
    const struct {
        const char* name;
        BOOLEAN internal;
        UCHAR major;
    } cases[] = {{"internal", TRUE, IRP_MJ_INTERNAL_DEVICE_CONTROL}, {"external", FALSE, IRP_MJ_DEVICE_CONTROL}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestStack stack(2);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        UCHAR input[4] = {};
        UCHAR output[8] = {};
        PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, FILE_ANY_ACCESS),
                                                 stack.Top(), input, sizeof(input), output, sizeof(output),
                                                 c.internal, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->StackCount, stack.Top()->StackSize);
        EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
        EXPECT_EQ(irp->Tail.Overlay.Thread, reinterpret_cast<PETHREAD>(KeGetCurrentThread()));
        EXPECT_EQ(irp->UserBuffer, output);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        EXPECT_EQ(next->MajorFunction, c.major);
        EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, sizeof(input));
        EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, sizeof(output));
        EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, input);
        IoCallDriver(stack.Top(), irp);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    }
}

struct WriteBackCase {
    const char* name;
    bool pend;  // the bottom driver pends and another thread completes
    NTSTATUS status;
    bool written;
};

// The status block and event are written only for a status that is not an
// error, or for an IRP that pended; a synchronous failure leaves them alone.
TEST_F(ThreadedIrp, StatusBlockAndEventWrittenPerRule)
{
    const WriteBackCase cases[] = {
        {"synchronous success", false, STATUS_SUCCESS, true},
        {"synchronous warning", false, STATUS_BUFFER_OVERFLOW, true},
        {"synchronous error", false, STATUS_DEVICE_NOT_CONNECTED, false},
        {"pended success", true, STATUS_SUCCESS, true},
        {"pended error", true, STATUS_DEVICE_NOT_CONNECTED, true},
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
        PIRP irp = IoBuildDeviceIoControlRequest(SubmitUrb, stack.Top(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        const NTSTATUS returned = IoCallDriver(stack.Top(), irp);
        if (c.pend) {
            EXPECT_EQ(returned, STATUS_PENDING);
            std::thread completer([&] { CompleteWith(held, c.status, 5); });
            completer.join();
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

std::atomic<int> cancelRoutineEnds = 0;

void EndingCancelRoutine(PDEVICE_OBJECT, PIRP irp)
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

}  // namespace
}  // namespace emu::test
