// The published WDM rules the verifier judges at the kernel's boundary,
// and the stack-location rules judged from the request's fields alone: each
// row provokes one and sees it reported.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

namespace emu::test {
namespace {

class WdmRules : public KernelTest {};

NTSTATUS NTAPI SignalAndContinue(PDEVICE_OBJECT, PIRP irp, PVOID event)
{
    irp->PendingReturned ? IoMarkIrpPending(irp) : void();
    return KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE), STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID event)
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

// Waits up to 10 s for the verifier's next finding.
void WaitForFinding()
{
    const size_t before = verifier::FindingCount();
    for (int waited = 0; verifier::FindingCount() == before && waited < 2000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Each row breaks one rule, mostly in the upper driver of a fresh two-level
// stack whose bottom completes with STATUS_SUCCESS, and leaves every request
// back with its creator.
TEST_F(WdmRules, EachRuleIsReported)
{
    std::optional<TestStack> stack;
    PIRP held = nullptr;
    KEVENT event;
    const auto upper = [&](Handler handler) { stack->OnDispatch(1, std::move(handler)); };
    const auto failBelow = [&] { stack->OnDispatch(0, [](auto, PIRP irp) { return CompleteWith(irp, 0xC0000001); }); };
    // Sends a request the upper driver keeps, runs `then` and ends the request;
    // meanwhile one kept longer than `bound` is reported.
    const auto keepUntil = [&](std::chrono::milliseconds bound, const std::function<void()>& then) {
        bound = SetKeptRequestLimit(bound);
        CompletionProbe creator = FreeingProbe();  // outlives the stack
        PIRP irp = stack->AllocateIrp(IRP_MJ_READ);
        upper([&](auto, PIRP irp) { return ForwardWith(*stack, irp, SignalAndKeep, &event); });
        IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);
        IoCallDriver(stack->Top(), irp), then(), IoCompleteRequest(irp, IO_NO_INCREMENT);
        SetKeptRequestLimit(bound);
        EXPECT_EQ(creator.calls, 1);
    };
    IO_STATUS_BLOCK iosb;
    // Sends a built control request the bottom driver keeps pending in `held`.
    const auto sendBuilt = [&] {
        stack->OnDispatch(0, HoldPending(&held));
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack->Top(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        ASSERT_EQ(IoCallDriver(stack->Top(), irp), STATUS_PENDING);
    };
    // The upper driver pends a PnP request without marking it.
    const auto pendUnmarked = [&](UCHAR minor) {
        upper([&](auto, PIRP irp) { return held = irp, STATUS_PENDING; });
        stack->Send(IRP_MJ_PNP, minor), IoSkipCurrentIrpStackLocation(held), IoCallDriver(stack->Device(0), held);
    };
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"dispatch routine returned a status other than the lower driver's",  // LowerDriverReturn
         [&] {
             failBelow(), upper([&](auto, PIRP irp) {
                 return IoSkipCurrentIrpStackLocation(irp), IoCallDriver(stack->Device(0), irp), 0;
             });
             stack->Send();
         }},
        {"IRP completed with success after the lower driver failed it",  // CompleteRequestStatusCheck
         [&] {
             failBelow(), upper([&](auto, PIRP irp) {
                 ForwardWith(*stack, irp, SignalAndKeep, &event);
                 return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), CompleteWith(irp, 0);
             });
             stack->Send();
         }},
        {"IRP completed with a completion routine set for a call down never made",  // CompletionRoutineRegistered
         [&] {
             upper([](auto, PIRP irp) {
                 IoSetCompletionRoutine(irp, SignalAndContinue, nullptr, TRUE, TRUE, TRUE);
                 return CompleteWith(irp, STATUS_UNSUCCESSFUL);
             }), stack->Send();
         }},
        {"request sent at DISPATCH_LEVEL that must be sent below it",  // ForwardedAtBadIrql (a read may be)
         [&] {
             upper([](auto, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
             KfRaiseIrql(DISPATCH_LEVEL), stack->Send(IRP_MJ_READ), stack->Send(IRP_MJ_FLUSH_BUFFERS);
             KeLowerIrql(PASSIVE_LEVEL);
         }},
        {"cancel routine set on a cancelled IRP left queued",  // IrpCancelField: cancelled before it came
         [&] {
             upper([&](auto, PIRP irp) {
                 const auto never = [](PDEVICE_OBJECT, PIRP) NTAPI {};
                 return IoMarkIrpPending(irp), IoSetCancelRoutine(irp, never), held = irp, STATUS_PENDING;
             });
             PIRP irp = stack->AllocateIrp(IRP_MJ_READ);
             IoSetCompletionRoutine(irp, ProbeCompletion, &stack->creator, TRUE, TRUE, TRUE);
             IoCancelIrp(irp), IoCallDriver(stack->Top(), irp);
             IoSetCancelRoutine(held, nullptr), CompleteWith(held, STATUS_CANCELLED);
         }},
        {"event signalled after the driver routine whose stack holds it returned",  // PendedCompletedRequest2
         [&] {
             stack->OnDispatch(0, HoldPending(&held));
             upper([&](auto, PIRP irp) {
                 KEVENT done;  // a wait that never happens
                 KeInitializeEvent(&done, NotificationEvent, FALSE);
                 return ForwardWith(*stack, irp, SignalAndContinue, &done);
             });
             stack->Send(), CompleteWith(held, STATUS_SUCCESS);
         }},
        {"event signalled after the driver routine whose stack holds it returned",  // IoBuildDeviceControlWait
         [&] {
             stack->OnDispatch(0, HoldPending(&held));
             upper([&](auto, PIRP irp) {
                 KEVENT done;  // its built request pends below; no wait follows
                 KeInitializeEvent(&done, NotificationEvent, FALSE);
                 IoCallDriver(stack->Device(0), IoBuildDeviceIoControlRequest(0x220003, stack->Device(0), 0, 0, 0, 0, TRUE, &done, &iosb));
                 return CompleteWith(irp, STATUS_SUCCESS);
             });
             stack->Send(), CompleteWith(held, STATUS_SUCCESS);
         }},
        {"dispatch routine returned STATUS_SUCCESS for a request neither completed nor passed down",  // IrpProcessingComplete
         [&] { upper([&](auto, PIRP irp) { return held = irp, 0; }), stack->Send(), CompleteWith(held, 0); }},
        {"STATUS_PENDING returned without IoMarkIrpPending",  // MarkStartDevice
         [&] { pendUnmarked(IRP_MN_START_DEVICE); }},
        {"STATUS_PENDING returned without IoMarkIrpPending",  // MarkQueryRelations
         [&] { pendUnmarked(IRP_MN_QUERY_DEVICE_RELATIONS); }},
        {"IoFreeIrp of an IRP the I/O manager frees",
         [&] {
             PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack->Top(), 0, 0, 0, 0, TRUE, &event, &iosb);
             IoFreeIrp(irp), IoCallDriver(stack->Top(), irp);
         }},
        {"IoAttachDeviceToDeviceStack with an invalid device object",  // the target
         [&, fake = DEVICE_OBJECT{}]() mutable { IoAttachDeviceToDeviceStack(stack->Top(), &fake); }},
        {"IoAttachDeviceToDeviceStack with an invalid device object",  // AddDevice: the source
         [&, fake = DEVICE_OBJECT{}]() mutable { IoAttachDeviceToDeviceStack(&fake, stack->Top()); }},
        {"spin lock acquired recursively",  // the cancel spin lock
         [first = KIRQL{}, second = KIRQL{}]() mutable {
             IoAcquireCancelSpinLock(&first), IoAcquireCancelSpinLock(&second);
             IoReleaseCancelSpinLock(second), IoReleaseCancelSpinLock(first);
         }},
        {"spin lock released but not held",  // the cancel spin lock
         [] { KfRaiseIrql(DISPATCH_LEVEL), IoReleaseCancelSpinLock(PASSIVE_LEVEL); }},
        {"executable pool allocated by a driver",
         [&] { DriverScope scope(stack->Driver()); ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 0x656C7552)); }},
        {"MDL mapped executable by a driver",
         [&] {
             UCHAR buffer[16];
             PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
             MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
             std::optional<DriverScope> scope(stack->Driver());
             MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), scope.reset(), MmUnlockPages(mdl), IoFreeMdl(mdl);
         }},
        {"request kept with STATUS_MORE_PROCESSING_REQUIRED and never ended",  // SignalEventInCompletion
         [&] { keepUntil(std::chrono::milliseconds(50), WaitForFinding); }},
        {"request kept with STATUS_MORE_PROCESSING_REQUIRED and never ended",  // its driver unloaded first
         [&] { keepUntil(std::chrono::minutes(1), [&] { stack.reset(); }); }},
        // The event given to IoBuildDeviceIoControlRequest is the I/O manager's while the request is out.
        {"KeSetEvent on the event of a request built by IoBuildDeviceIoControlRequest",
         [&] { sendBuilt(), KeSetEvent(&event, IO_NO_INCREMENT, FALSE), CompleteWith(held, STATUS_SUCCESS); }},
        {"wait without a timeout on the event of a request built by IoBuildDeviceIoControlRequest",
         [&] {
             sendBuilt();
             std::thread completer([&] { std::this_thread::sleep_for(std::chrono::milliseconds(20)), CompleteWith(held, 0); });
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), completer.join();
         }},
    };
    for (const auto& [rule, provoke] : cases) {
        SCOPED_TRACE(rule);
        stack.emplace(2), KeInitializeEvent(&event, NotificationEvent, FALSE);
        EXPECT_EQ(ExpectFinding(rule, provoke).size(), 1u);
        stack.reset();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

// The stack-location rules seen from the request's fields alone: the test
// drivers below step, mark and set routines the way compiled DDK inline code
// does, touching only the IRP, so no emulator helper hears of it.
class FieldRules : public KernelTest {};

void MarkPending(PIRP irp)
{
    irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
}

void SetRoutine(PIRP irp, PVOID context, PIO_COMPLETION_ROUTINE routine = ProbeCompletion)
{
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
}

// A row's handlers, top to bottom; a null one passes the request down with
// an inline skip, or at the bottom completes it.
struct Case {
    const char* rule;  // null: the legal neighbour, no finding
    Handler top, middle, bottom;
    const char* alsoRule = nullptr;  // a second rule the same driver breaks
};

// The top returns success while the call down returned STATUS_PENDING.
constexpr const char* kLowerDriverReturn = "dispatch routine returned a status other than the lower driver's";

TEST_F(FieldRules, EachRuleFiresFromFieldsAlone)
{
    PIRP held = nullptr;
    CompletionProbe replacement = FreeingProbe();
    auto hold = [&held](NTSTATUS status) {
        return [&held, status](PDEVICE_OBJECT, PIRP irp) { return MarkPending(irp), held = irp, status; };
    };
    auto markAndComplete = [](NTSTATUS status) {
        return [status](PDEVICE_OBJECT, PIRP irp) { return MarkPending(irp), CompleteWith(irp, 0), status; };
    };
    // Copies down with no routine of its own and returns `status`.
    auto copyDown = [](TestStack* stack, int lower, std::optional<NTSTATUS> status) {
        return [stack, lower, status](PDEVICE_OBJECT, PIRP irp) {
            CopyDown(irp);
            const NTSTATUS returned = IoCallDriver(stack->Device(lower), irp);
            return status.value_or(returned);
        };
    };
    auto skipAndMark = [](TestStack* stack, std::optional<NTSTATUS> status) {
        return [stack, status](PDEVICE_OBJECT, PIRP irp) {
            Skip(irp);
            MarkPending(irp);
            const NTSTATUS returned = IoCallDriver(stack->Device(0), irp);
            return status.value_or(returned);
        };
    };
    TestStack* s = nullptr;  // the row's stack, made before its handlers run
    const struct {
        int depth;
        std::function<Case()> make;
    } cases[] = {
        {1, [&] { return Case{nullptr, {}, {}, hold(STATUS_PENDING)}; }},  // a mark in the field is enough
        {1, [&] { return Case{"IoMarkIrpPending without returning STATUS_PENDING", {}, {}, markAndComplete(0)}; }},
        {1, [&] {  // kept, so not finished either
            return Case{"IoMarkIrpPending without returning STATUS_PENDING", {}, {}, hold(0),
                        "dispatch routine returned STATUS_SUCCESS for a request neither completed nor passed down"};
        }},
        // Skipped down, the lower driver's mark is in the caller's location.
        {2, [&] {
            return Case{"IoMarkIrpPending without returning STATUS_PENDING",
                        [&](PDEVICE_OBJECT, PIRP irp) { return Skip(irp), IoCallDriver(s->Device(0), irp), 0; }, {},
                        hold(STATUS_PENDING), kLowerDriverReturn};
        }},
        // Copied down without a routine: the walk moves the mark up.
        {2, [&] { return Case{nullptr, copyDown(s, 0, {}), {}, markAndComplete(STATUS_PENDING)}; }},
        {2, [&] {
            return Case{"IoMarkIrpPending without returning STATUS_PENDING", copyDown(s, 0, 0), {},
                        markAndComplete(STATUS_PENDING), kLowerDriverReturn};
        }},
        // Marked after a skip: the caller's location gets the mark, seen at
        // the return and, when the request completes at once, by the walk
        // (the top, finding its location marked, returns STATUS_PENDING).
        {3, [&] {
            return Case{"IoMarkIrpPending after IoSkipCurrentIrpStackLocation", copyDown(s, 1, {}),
                        skipAndMark(s, {}), hold(STATUS_PENDING)};
        }},
        {3, [&] {
            return Case{"IoMarkIrpPending after IoSkipCurrentIrpStackLocation",
                        copyDown(s, 1, STATUS_PENDING), skipAndMark(s, 0),
                        [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, 0); }};
        }},
        {3, [&] {  // marked before the call down: the caller's location was marked at entry
            auto markFirst = [&](PDEVICE_OBJECT d, PIRP irp) { return MarkPending(irp), copyDown(s, 1, STATUS_PENDING)(d, irp); };
            return Case{nullptr, markFirst, {}, hold(STATUS_PENDING)};
        }},
        {2, [&] {
            return Case{"IoSetCompletionRoutine after IoSkipCurrentIrpStackLocation",
                        [&](PDEVICE_OBJECT, PIRP irp) {
                            Skip(irp);
                            SetRoutine(irp, &replacement);
                            return IoCallDriver(s->Device(0), irp);
                        },
                        {}, {}};
        }},
        {2, [&] {
            return Case{"completion flags set without a completion routine",
                        [&](PDEVICE_OBJECT, PIRP irp) {
                            CopyDown(irp);
                            SetRoutine(irp, nullptr, nullptr);
                            return IoCallDriver(s->Device(0), irp);
                        },
                        {}, {}};
        }},
    };
    for (size_t row = 0; row < std::size(cases); ++row) {
        SCOPED_TRACE(row);
        TestStack stack(cases[row].depth);
        s = &stack;
        const Case c = cases[row].make();
        const int top = cases[row].depth - 1;
        for (int level = 0; level <= top; ++level) {
            stack.OnDispatch(level, level == 0 ? c.bottom : level == top ? c.top : c.middle);
        }
        auto send = [&] {
            stack.Send();
            if (held != nullptr) {
                CompleteWith(std::exchange(held, nullptr), STATUS_SUCCESS);
            }
        };
        if (c.rule == nullptr) {
            send();
        } else if (c.alsoRule == nullptr) {
            EXPECT_FALSE(ExpectFinding(c.rule, send).empty());
        } else {
            EXPECT_FALSE(ExpectFinding(c.alsoRule, [&] { EXPECT_FALSE(ExpectFinding(c.rule, send).empty()); }).empty());
        }
        EXPECT_EQ(stack.creator.calls + replacement.calls, 1);
        replacement.calls = 0;
    }
}

}  // namespace
}  // namespace emu::test
