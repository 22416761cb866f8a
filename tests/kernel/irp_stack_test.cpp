// IRP layout and the stack-location steps, with the DDK's semantics.
#include "tests/kernel/completion_probe.h"
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

namespace emu::test {
namespace {

class IrpStack : public KernelTest {};

TEST_F(IrpStack, AllocationLaysOutLocationsAfterTheIrp)
{
    for (CCHAR stackSize : {CCHAR(1), CCHAR(8)}) {
        SCOPED_TRACE(int(stackSize));
        PIRP irp = IoAllocateIrp(stackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->Size, sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
        EXPECT_EQ(irp->StackCount, stackSize);
        EXPECT_EQ(irp->CurrentLocation, stackSize + 1);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize - 1);
        EXPECT_TRUE(IsListEmpty(&irp->ThreadListEntry));
        IoFreeIrp(irp);
    }
}

// IoSetCompletionRoutine overwrites Control in the next location (it does
// not OR into it) and sets the routine and context there.
TEST_F(IrpStack, SetCompletionRoutineWritesTheNextLocation)
{
    const struct {
        BOOLEAN success, error, cancel;
        UCHAR control;
    } cases[] = {{TRUE, TRUE, TRUE, 0xE0}, {TRUE, FALSE, FALSE, 0x40}, {FALSE, TRUE, FALSE, 0x80},
                 {FALSE, FALSE, TRUE, 0x20}, {FALSE, FALSE, FALSE, 0x00}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.control));
        PIRP irp = IoAllocateIrp(2, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->Control = SL_PENDING_RETURNED | SL_ERROR_RETURNED;
        int context = 0;
        IoSetCompletionRoutine(irp, ProbeCompletion, &context, c.success, c.error, c.cancel);
        EXPECT_EQ(next->Control, c.control);
        EXPECT_EQ(next->CompletionRoutine, &ProbeCompletion);
        EXPECT_EQ(next->Context, &context);
        IoFreeIrp(irp);
    }
}

// Copying takes everything before CompletionRoutine and clears Control;
// the next location keeps its own routine and context.
TEST_F(IrpStack, CopyToNextLeavesCompletionFieldsAndClearsControl)
{
    PIRP irp = IoAllocateIrp(3, FALSE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    current->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    current->Flags = 5;
    current->Control = SL_PENDING_RETURNED | SL_INVOKE_ON_SUCCESS;
    current->Parameters.DeviceIoControl.IoControlCode = 0x220444;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = ProbeCompletion;
    next->Context = irp;

    IoCopyCurrentIrpStackLocationToNext(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(next->Flags, 5);
    EXPECT_EQ(next->Control, 0);
    EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, 0x220444u);
    EXPECT_EQ(next->CompletionRoutine, &ProbeCompletion);
    EXPECT_EQ(next->Context, irp);
    IoFreeIrp(irp);
}

// IofCallDriver hands the lower driver the next location with its own
// DeviceObject and returns its status unchanged; after a skip that is the
// caller's own location.
TEST_F(IrpStack, CallDriverHandsOverTheNextLocation)
{
    for (bool skip : {false, true}) {
        SCOPED_TRACE(skip ? "skipped" : "copied");
        TestStack stack(2);
        int seenLocation = 0;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT device, PIRP irp) {
            seenLocation = irp->CurrentLocation;
            EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
            return CompleteWith(irp, STATUS_DEVICE_BUSY);
        });
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            if (skip) {
                IoSkipCurrentIrpStackLocation(irp);
            } else {
                IoCopyCurrentIrpStackLocationToNext(irp);
            }
            return IoCallDriver(stack.Device(0), irp);
        });
        CompletionProbe creator = FreeingProbe();
        PIRP irp = stack.AllocateIrp(IRP_MJ_WRITE);
        IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_DEVICE_BUSY);
        EXPECT_EQ(seenLocation, skip ? 2 : 1);
    }
}

TEST_F(IrpStack, CallWithNoLocationLeftIsRefused)
{
    TestStack stack(1);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    ExpectFinding("no more IRP stack locations",
                  [&] { EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_INVALID_PARAMETER); });
    EXPECT_EQ(irp->CurrentLocation, 1);
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace emu::test
