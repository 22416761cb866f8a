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

constexpr ULONG RuleTag = 0x656C7552;  // 'Rule'

template <typename Call>
void AtIrql(KIRQL irql, Call call)
{
    const KIRQL old = KfRaiseIrql(irql);
    call();
    KeLowerIrql(old);
}

UNICODE_STRING Name(const char16_t* text)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    return name;
}

// Routines whose page asks for PASSIVE_LEVEL (KeSetEvent with Wait TRUE:
// APC_LEVEL), accepted at the limit and refused one level above it.
TEST_F(WdmRules, PassiveRoutinesRefusedAboveTheirLimit)
{
    TestStack stack(1);
    UNICODE_STRING link = Name(u"\\DosDevices\\rules");
    UNICODE_STRING target = Name(u"\\Device\\rules");
    UNICODE_STRING missing = Name(u"\\??\\no#such#interface");
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const struct {
        const char* routine;
        KIRQL maximum;
        std::function<void(KIRQL)> call;
    } cases[] = {
        {"IoDetachDevice", PASSIVE_LEVEL,
         [&](KIRQL at) {
             PDEVICE_OBJECT upper = nullptr;
             IoCreateDevice(stack.Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
             IoAttachDeviceToDeviceStack(upper, stack.Top());
             AtIrql(at, [&] { IoDetachDevice(stack.Top()); });
             IoDeleteDevice(upper);
         }},
        {"IoSetDeviceInterfaceState", PASSIVE_LEVEL,
         [&](KIRQL at) { AtIrql(at, [&] { IoSetDeviceInterfaceState(&missing, TRUE); }); }},
        {"IoCreateSymbolicLink", PASSIVE_LEVEL,
         [&](KIRQL at) { AtIrql(at, [&] { IoCreateSymbolicLink(&link, &target); }), IoDeleteSymbolicLink(&link); }},
        {"IoDeleteSymbolicLink", PASSIVE_LEVEL,
         [&](KIRQL at) { IoCreateSymbolicLink(&link, &target), AtIrql(at, [&] { IoDeleteSymbolicLink(&link); }); }},
        {"KeSetEvent", APC_LEVEL, [&](KIRQL at) { AtIrql(at, [&] { KeSetEvent(&event, IO_NO_INCREMENT, TRUE); }); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.routine);
        c.call(c.maximum);
        const auto seen = ExpectFinding("IRQL too high for the routine", [&] { c.call(c.maximum + 1); });
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].routine, c.routine);
    }
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
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Keep(PDEVICE_OBJECT, PIRP, PVOID kept)
{
    return *static_cast<bool*>(kept) = true, STATUS_MORE_PROCESSING_REQUIRED;
}

// Copies the location down with `routine` and `context` and calls the
// device below `device`; returns what the call returned.
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

// Each row breaks one rule in the upper driver of a fresh two-level stack
// (the bottom completes with STATUS_SUCCESS unless the row holds it), and
// ends with every request back with its creator.
TEST_F(WdmRules, EachRuleIsReported)
{
    std::optional<TestStack> stack;
    PIRP held = nullptr;
    const struct {
        const char* rule;
        std::function<void()> provoke;
    } cases[] = {
        // LowerDriverReturn: passed down and not pended, the routine returns the lower status.
        {"dispatch routine returned a status other than the lower driver's",
         [&] {
             stack->OnDispatch(0, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_UNSUCCESSFUL); });
             stack->OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
                 IoSkipCurrentIrpStackLocation(irp);
                 return IoCallDriver(stack->Device(0), irp), STATUS_SUCCESS;
             });
             stack->Send();
         }},
        // CompleteRequestStatusCheck: the failure from below turned into success.
        {"IRP completed with success after the lower driver failed it",
         [&] {
             stack->OnDispatch(0, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_UNSUCCESSFUL); });
             stack->OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
                 KEVENT done;
                 KeInitializeEvent(&done, NotificationEvent, FALSE);
                 ForwardWith(*stack, irp, SignalAndKeep, &done);
                 KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
                 return CompleteWith(irp, STATUS_SUCCESS);
             });
             stack->Send();
         }},
        // CompletionRoutineRegistered: a routine set, then completed without a call down.
        {"IRP completed with a completion routine set for a call down never made",
         [&] {
             stack->OnDispatch(1, [](PDEVICE_OBJECT, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 IoSetCompletionRoutine(irp, SignalAndContinue, nullptr, TRUE, TRUE, TRUE);
                 return CompleteWith(irp, STATUS_UNSUCCESSFUL);
             });
             stack->Send();
         }},
        // ForwardedAtBadIrql: only power, read, write and device-control requests go down at DISPATCH_LEVEL.
        {"request sent at DISPATCH_LEVEL that must be sent below it",
         [&] {
             stack->OnDispatch(1, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
             AtIrql(DISPATCH_LEVEL, [&] { stack->Send(IRP_MJ_READ), stack->Send(IRP_MJ_FLUSH_BUFFERS); });
         }},
        // IrpCancelField: cancelled before it arrived, queued with a cancel routine all the same.
        {"cancel routine set on a cancelled IRP left queued",
         [&] {
             stack->OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
                 IoMarkIrpPending(irp);
                 IoSetCancelRoutine(irp, UnusedCancel);
                 return held = irp, STATUS_PENDING;
             });
             PIRP irp = stack->AllocateIrp(IRP_MJ_READ);
             IoSetCompletionRoutine(irp, ProbeCompletion, &stack->creator, TRUE, TRUE, TRUE);
             IoCancelIrp(irp);
             IoCallDriver(stack->Top(), irp);
             IoSetCancelRoutine(held, nullptr);
             CompleteWith(held, STATUS_CANCELLED);
         }},
        // PendedCompletedRequest2 / IoBuildDeviceControlWait: the event on the stack is
        // signalled after the routine that waits on it returned without waiting.
        {"event signalled after the driver routine whose stack holds it returned",
         [&] {
             stack->OnDispatch(0, HoldPending(&held));
             stack->OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
                 KEVENT done;
                 KeInitializeEvent(&done, NotificationEvent, FALSE);
                 return ForwardWith(*stack, irp, SignalAndContinue, &done);
             });
             ASSERT_EQ(stack->Send(), STATUS_PENDING);
             CompleteWith(held, STATUS_SUCCESS);
         }},
        {"IoFreeIrp of an IRP the I/O manager frees",
         [&] {
             KEVENT event;
             KeInitializeEvent(&event, NotificationEvent, FALSE);
             IO_STATUS_BLOCK iosb;
             PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack->Top(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
             IoFreeIrp(irp);
             IoCallDriver(stack->Top(), irp);
         }},
        {"IoAttachDeviceToDeviceStack with an invalid device object",
         [&] {
             DEVICE_OBJECT fake{};
             PDEVICE_OBJECT upper = nullptr;
             IoCreateDevice(stack->Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
             EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, &fake), nullptr);
             IoDeleteDevice(upper);
         }},
        {"spin lock acquired recursively",  // the cancel spin lock, taken twice
         [] {
             KIRQL first, second;
             IoAcquireCancelSpinLock(&first), IoAcquireCancelSpinLock(&second);
             IoReleaseCancelSpinLock(second), IoReleaseCancelSpinLock(first);
         }},
        {"spin lock released but not held",  // the cancel spin lock
         [] { AtIrql(DISPATCH_LEVEL, [] { IoReleaseCancelSpinLock(DISPATCH_LEVEL); }); }},
        {"executable pool allocated by a driver",
         [&] {
             DriverScope scope(stack->Driver());
             ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, RuleTag));
             ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, RuleTag));
         }},
        {"MDL mapped executable by a driver",
         [&] {
             UCHAR buffer[16];
             for (const ULONG priority : {ULONG(NormalPagePriority | MdlMappingNoExecute), ULONG(NormalPagePriority)}) {
                 PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
                 MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
                 {
                     DriverScope scope(stack->Driver());
                     EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, priority), nullptr);
                 }
                 MmUnlockPages(mdl);
                 IoFreeMdl(mdl);
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        stack.emplace(2);
        const auto seen = ExpectFinding(c.rule, c.provoke);
        EXPECT_EQ(seen.size(), 1u);
        stack.reset();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

// Waits until the verifier has reported `count` findings, up to 10 s.
void WaitForFindings(size_t count)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (verifier::FindingCount() < count && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// SignalEventInCompletion: a request kept with STATUS_MORE_PROCESSING_REQUIRED
// that nobody ends is reported by name once the bound has passed, and again
// (if still kept) when its driver unloads.
TEST_F(WdmRules, KeptRequestNeverEndedIsReported)
{
    const auto bound = SetKeptRequestLimit(std::chrono::milliseconds(50));
    for (const bool unload : {false, true}) {
        SCOPED_TRACE(unload ? "at unload" : "past the bound");
        std::optional<TestStack> stack(2);
        bool kept = false;
        CompletionProbe creator = FreeingProbe();  // outlives the stack
        PIRP irp = stack->AllocateIrp(IRP_MJ_READ);
        stack->OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWith(*stack, irp, Keep, &kept); });
        IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);
        SetKeptRequestLimit(unload ? std::chrono::milliseconds(60000) : std::chrono::milliseconds(50));
        const auto seen = ExpectFinding("request kept with STATUS_MORE_PROCESSING_REQUIRED and never ended", [&] {
            const size_t before = verifier::FindingCount();
            IoCallDriver(stack->Top(), irp);
            if (unload) {
                stack.reset();
            }
            WaitForFindings(before + 1);
        });
        ASSERT_TRUE(kept);
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

// The unload report names every leaking tag, the one with a single block
// among them.
TEST_F(WdmRules, UnloadReportsEveryLeakingTag)
{
    const auto entry = [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
        ExAllocatePoolWithTag(NonPagedPoolNx, 24, 0x41616554);  // 'TeaA'
        ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x41616554);
        ExAllocatePoolWithTag(NonPagedPoolNx, 5, 0x42616554);  // 'TeaB'
        return STATUS_SUCCESS;
    };
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(LoadDriver(u"leaks", entry, u"\\Registry\\leaks", &driver), STATUS_SUCCESS);
    const auto seen = ExpectFinding("pool leaked at unload", [&] { UnloadDriver(driver); });
    std::set<std::string> details;
    for (const auto& finding : seen) {
        details.insert(finding.detail);
    }
    EXPECT_EQ(details, (std::set<std::string>{"tag 'TeaA': 2 blocks, 32 bytes", "tag 'TeaB': 1 blocks, 5 bytes"}));
}

}  // namespace
}  // namespace emu::test
