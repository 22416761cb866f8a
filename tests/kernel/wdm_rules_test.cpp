// The published WDM rules the verifier judges at the kernel's boundary:
// each row provokes one and sees it reported.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace emu::test {
namespace {

class WdmRules : public KernelTest {};

constexpr ULONG TagA = 0x41616554, TagB = 0x42616554;  // 'TeaA', 'TeaB'

template <typename Call>
void AtIrql(KIRQL irql, Call call)
{
    const KIRQL old = KfRaiseIrql(irql);
    call();
    KeLowerIrql(old);
}

NTSTATUS SignalAndContinue(PDEVICE_OBJECT, PIRP irp, PVOID event)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID event)
{
    return KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE), STATUS_MORE_PROCESSING_REQUIRED;
}

// Copies the location down with `routine` and calls the bottom device.
NTSTATUS ForwardWith(TestStack& stack, PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
    return IoCallDriver(stack.Device(0), irp);
}

void UnusedCancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

// Each row breaks one rule, mostly in the upper driver of a fresh two-level
// stack whose bottom completes with STATUS_SUCCESS, and leaves every request
// back with its creator. The IRQL rows call a PASSIVE_LEVEL routine (KeSetEvent
// with Wait TRUE: APC_LEVEL) one level too high.
TEST_F(WdmRules, EachRuleIsReported)
{
    std::optional<TestStack> stack;
    PIRP held = nullptr;
    KEVENT event;
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\rules");
    RtlInitUnicodeString(&target, u"\\Device\\rules");
    const auto upper = [&](Handler handler) { stack->OnDispatch(1, std::move(handler)); };
    const auto failBelow = [&] {
        stack->OnDispatch(0, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_UNSUCCESSFUL); });
    };
    const struct {
        const char* rule;
        std::function<void()> provoke;
        const char* routine = nullptr;  // the routine named, where it says which rule
    } cases[] = {
        {"dispatch routine returned a status other than the lower driver's",  // LowerDriverReturn
         [&] {
             failBelow();
             upper([&](PDEVICE_OBJECT, PIRP irp) {
                 return IoSkipCurrentIrpStackLocation(irp), IoCallDriver(stack->Device(0), irp), STATUS_SUCCESS;
             });
             stack->Send();
         }},
        {"IRP completed with success after the lower driver failed it",  // CompleteRequestStatusCheck
         [&] {
             failBelow();
             upper([&](PDEVICE_OBJECT, PIRP irp) {
                 ForwardWith(*stack, irp, SignalAndKeep, &event);
                 KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
                 return CompleteWith(irp, STATUS_SUCCESS);
             });
             stack->Send();
         }},
        {"IRP completed with a completion routine set for a call down never made",  // CompletionRoutineRegistered
         [&] {
             upper([](PDEVICE_OBJECT, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 IoSetCompletionRoutine(irp, SignalAndContinue, nullptr, TRUE, TRUE, TRUE);
                 return CompleteWith(irp, STATUS_UNSUCCESSFUL);
             });
             stack->Send();
         }},
        {"request sent at DISPATCH_LEVEL that must be sent below it",  // ForwardedAtBadIrql: a read may be
         [&] {
             upper([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
             AtIrql(DISPATCH_LEVEL, [&] { stack->Send(IRP_MJ_READ), stack->Send(IRP_MJ_FLUSH_BUFFERS); });
         }},
        {"cancel routine set on a cancelled IRP left queued",  // IrpCancelField: cancelled before it came
         [&] {
             upper([&](PDEVICE_OBJECT, PIRP irp) {
                 return IoMarkIrpPending(irp), IoSetCancelRoutine(irp, UnusedCancel), held = irp, STATUS_PENDING;
             });
             PIRP irp = stack->AllocateIrp(IRP_MJ_READ);
             IoSetCompletionRoutine(irp, ProbeCompletion, &stack->creator, TRUE, TRUE, TRUE);
             IoCancelIrp(irp), IoCallDriver(stack->Top(), irp);
             IoSetCancelRoutine(held, nullptr), CompleteWith(held, STATUS_CANCELLED);
         }},
        {"event signalled after the driver routine whose stack holds it returned",  // PendedCompletedRequest2
         [&] {
             stack->OnDispatch(0, HoldPending(&held));
             upper([&](PDEVICE_OBJECT, PIRP irp) {
                 KEVENT done;  // a wait that never happens
                 KeInitializeEvent(&done, NotificationEvent, FALSE);
                 return ForwardWith(*stack, irp, SignalAndContinue, &done);
             });
             stack->Send(), CompleteWith(held, STATUS_SUCCESS);
         }},
        {"IoFreeIrp of an IRP the I/O manager frees",
         [&] {
             IO_STATUS_BLOCK iosb;
             PIRP irp =
                 IoBuildDeviceIoControlRequest(0x220003, stack->Top(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
             IoFreeIrp(irp), IoCallDriver(stack->Top(), irp);
         }},
        {"IoAttachDeviceToDeviceStack with an invalid device object",
         [&] {
             DEVICE_OBJECT fake{};
             PDEVICE_OBJECT device = nullptr;
             IoCreateDevice(stack->Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
             IoAttachDeviceToDeviceStack(device, &fake), IoDeleteDevice(device);
         }},
        {"spin lock acquired recursively",  // the cancel spin lock
         [] {
             KIRQL first, second;
             IoAcquireCancelSpinLock(&first), IoAcquireCancelSpinLock(&second);
             IoReleaseCancelSpinLock(second), IoReleaseCancelSpinLock(first);
         }},
        {"spin lock released but not held",  // the cancel spin lock
         [] { AtIrql(DISPATCH_LEVEL, [] { IoReleaseCancelSpinLock(DISPATCH_LEVEL); }); }},
        {"executable pool allocated by a driver",
         [&] { DriverScope scope(stack->Driver()); ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 0x656C7552)); }},
        {"MDL mapped executable by a driver",
         [&] {
             UCHAR buffer[16];
             PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
             MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
             {
                 DriverScope scope(stack->Driver());
                 MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
             }
             MmUnlockPages(mdl), IoFreeMdl(mdl);
         }},
        {"IRQL too high for the routine",
         [&] {
             PDEVICE_OBJECT device = nullptr;
             IoCreateDevice(stack->Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
             IoAttachDeviceToDeviceStack(device, stack->Top());
             AtIrql(APC_LEVEL, [&] { IoDetachDevice(stack->Top()); }), IoDeleteDevice(device);
         },
         "IoDetachDevice"},
        {"IRQL too high for the routine", [&] { AtIrql(APC_LEVEL, [&] { IoSetDeviceInterfaceState(&link, TRUE); }); },
         "IoSetDeviceInterfaceState"},
        {"IRQL too high for the routine",
         [&] { AtIrql(APC_LEVEL, [&] { IoCreateSymbolicLink(&link, &target); }), IoDeleteSymbolicLink(&link); },
         "IoCreateSymbolicLink"},
        {"IRQL too high for the routine",
         [&] { IoCreateSymbolicLink(&link, &target), AtIrql(APC_LEVEL, [&] { IoDeleteSymbolicLink(&link); }); },
         "IoDeleteSymbolicLink"},
        {"IRQL too high for the routine",
         [&] { AtIrql(DISPATCH_LEVEL, [&] { KeSetEvent(&event, IO_NO_INCREMENT, TRUE); }); }, "KeSetEvent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.routine ? c.routine : c.rule);
        stack.emplace(2);
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        const auto seen = ExpectFinding(c.rule, c.provoke);
        ASSERT_EQ(seen.size(), 1u);
        if (c.routine != nullptr) {
            EXPECT_EQ(seen[0].routine, c.routine);
        }
        stack.reset();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

// SignalEventInCompletion: a request kept with STATUS_MORE_PROCESSING_REQUIRED
// that nobody ends is reported by name once the bound has passed, or when
// its driver unloads before that.
TEST_F(WdmRules, KeptRequestNeverEndedIsReported)
{
    const auto bound = SetKeptRequestLimit(std::chrono::milliseconds(50));
    for (const bool unload : {false, true}) {
        std::optional<TestStack> stack(2);
        KEVENT kept;
        KeInitializeEvent(&kept, NotificationEvent, FALSE);
        CompletionProbe creator = FreeingProbe();  // outlives the stack
        PIRP irp = stack->AllocateIrp(IRP_MJ_READ);
        stack->OnDispatch(1,
                          [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWith(*stack, irp, SignalAndKeep, &kept); });
        IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);
        SetKeptRequestLimit(std::chrono::milliseconds(unload ? 60000 : 50));
        const auto seen = ExpectFinding("request kept with STATUS_MORE_PROCESSING_REQUIRED and never ended", [&] {
            const size_t before = verifier::FindingCount();
            IoCallDriver(stack->Top(), irp);
            if (unload) {
                stack.reset();
            }
            for (int waited = 0; verifier::FindingCount() == before && waited < 2000; ++waited) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].routine, unload ? "DriverUnload" : "IofCompleteRequest");
        char address[32];
        snprintf(address, sizeof address, "IRP %p", static_cast<void*>(irp));
        EXPECT_NE(seen[0].detail.find(address), std::string::npos);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        EXPECT_EQ(creator.calls, 1);
    }
    SetKeptRequestLimit(bound);
}

// The unload report names every leaking tag, one with a single block too.
TEST_F(WdmRules, UnloadReportsEveryLeakingTag)
{
    const auto entry = [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
        ExAllocatePoolWithTag(NonPagedPoolNx, 24, TagA), ExAllocatePoolWithTag(NonPagedPoolNx, 8, TagA);
        return ExAllocatePoolWithTag(NonPagedPoolNx, 5, TagB), STATUS_SUCCESS;
    };
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(LoadDriver(u"leaks", entry, u"\\Registry\\leaks", &driver), STATUS_SUCCESS);
    std::set<std::string> details;
    for (const auto& finding : ExpectFinding("pool leaked at unload", [&] { UnloadDriver(driver); })) {
        details.insert(finding.detail);
    }
    EXPECT_EQ(details, (std::set<std::string>{"tag 'TeaA': 2 blocks, 32 bytes", "tag 'TeaB': 1 blocks, 5 bytes"}));
}

}  // namespace
}  // namespace emu::test
