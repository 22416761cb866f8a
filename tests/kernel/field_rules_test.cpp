// The stack-location rules seen from the request's fields alone: the test
// drivers below step, mark and set routines the way compiled DDK inline code
// does, touching only the IRP, so no emulator helper hears of it.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <cstring>
#include <optional>
#include <string>

namespace emu::test {
namespace {

class FieldRules : public KernelTest {};

void MarkPending(PIRP irp)
{
    irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
}

void Skip(PIRP irp)
{
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}

void CopyDown(PIRP irp)
{
    PIO_STACK_LOCATION current = irp->Tail.Overlay.CurrentStackLocation;
    memcpy(current - 1, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    (current - 1)->Control = 0;
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
    const char* rule;
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
        {1, [&] { return Case{"IoMarkIrpPending without returning STATUS_PENDING", {}, {}, markAndComplete(0)}; }},
        {1, [&] { return Case{"IoMarkIrpPending without returning STATUS_PENDING", {}, {}, hold(0)}; }},
        // Skipped down, the lower driver's mark is in the caller's location.
        {2, [&] {
            return Case{"IoMarkIrpPending without returning STATUS_PENDING",
                        [&](PDEVICE_OBJECT, PIRP irp) { return Skip(irp), IoCallDriver(s->Device(0), irp), 0; }, {},
                        hold(STATUS_PENDING), kLowerDriverReturn};
        }},
        // Copied down without a routine: the walk moves the mark up.
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
        if (c.alsoRule == nullptr) {
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
