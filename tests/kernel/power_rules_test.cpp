// The rules of power requests and of a request skipped down, each provoked
// by a test driver that breaks it next to one that does not.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <atomic>
#include <thread>
#include <vector>

namespace emu::test {
namespace {

class PowerRules : public KernelTest {};

// Sends a set-power request of `type` to the top of a two-level stack whose
// bottom completes it with `bottom`, expecting `finding` (null: none).
void SendSet(TestStack& stack, POWER_STATE_TYPE type, ULONG state, NTSTATUS bottom, const char* finding)
{
    stack.OnDispatch(0, [=](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, bottom); });
    PIRP irp = stack.AllocateIrp(IRP_MJ_POWER);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_SET_POWER;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    IoSetCompletionRoutine(irp, ProbeCompletion, &stack.creator, TRUE, TRUE, TRUE);
    const auto send = [&] { IoCallDriver(stack.Top(), irp); };
    if (finding != nullptr) {
        EXPECT_EQ(ExpectFinding(finding, send).size(), 1u);
    } else {
        send();
    }
}

NTSTATUS NTAPI KeepIt(PDEVICE_OBJECT, PIRP irp, PVOID kept)
{
    *static_cast<PIRP*>(kept) = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI AllocateOnTheWayUp(PDEVICE_OBJECT, PIRP, PVOID)
{
    ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x74736554));
    return STATUS_CONTINUE_COMPLETION;
}

// What the function driver above the bottom does with a set request:
// marked pending, then skipped down (the lower driver's location already
// carries SL_PENDING_RETURNED); failed by itself, down (PowerDownFail) or
// up (PowerUpFail), where a failure from below passed on is not its own;
// a system set kept with STATUS_MORE_PROCESSING_REQUIRED without being
// marked pending in its dispatch routine (MarkPower); pool taken in its
// completion routine of a system set to a sleeping state (PowerDownAllocate);
// a PASSIVE_LEVEL-only routine called in its dispatch routine of any set
// request (PowerIrpDDIs).
TEST_F(PowerRules, WhatAFunctionDriverDoesWithASetRequest)
{
    enum class Does { MarkThenSkip, CopyWhenMarked, FailItself, PassFailureOn, KeepUnmarked, KeepMarked,
                      AllocateOnTheWayUp, Delay };
    const struct {
        Does does;
        POWER_STATE_TYPE type;
        ULONG state;
        NTSTATUS bottom;
        const char* finding;
    } cases[] = {
        {Does::MarkThenSkip, DevicePowerState, PowerDeviceD2, STATUS_SUCCESS, "pended request skipped down"},
        {Does::CopyWhenMarked, DevicePowerState, PowerDeviceD2, STATUS_SUCCESS, nullptr},
        {Does::FailItself, DevicePowerState, PowerDeviceD3, STATUS_SUCCESS, "to a lower power state (PowerDownFail)"},
        {Does::FailItself, SystemPowerState, PowerSystemWorking, STATUS_SUCCESS, "to full power (PowerUpFail)"},
        {Does::PassFailureOn, DevicePowerState, PowerDeviceD3, STATUS_UNSUCCESSFUL, nullptr},
        {Does::KeepUnmarked, SystemPowerState, PowerSystemSleeping3, STATUS_SUCCESS, "without being marked pending"},
        {Does::KeepMarked, SystemPowerState, PowerSystemSleeping3, STATUS_SUCCESS, nullptr},
        {Does::AllocateOnTheWayUp, SystemPowerState, PowerSystemHibernate, STATUS_SUCCESS, "(PowerDownAllocate)"},
        {Does::AllocateOnTheWayUp, SystemPowerState, PowerSystemWorking, STATUS_SUCCESS, nullptr},
        {Does::AllocateOnTheWayUp, DevicePowerState, PowerDeviceD3, STATUS_SUCCESS, nullptr},
        {Does::Delay, DevicePowerState, PowerDeviceD0, STATUS_SUCCESS, "(PowerIrpDDIs)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.does));
        TestStack stack(2);
        PIRP kept = nullptr;
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            if (c.does == Does::FailItself) {
                return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
            }
            LARGE_INTEGER tick{};
            tick.QuadPart = -1;
            if (c.does == Does::Delay) {
                KeDelayExecutionThread(KernelMode, FALSE, &tick);
            }
            const bool marks = c.does != Does::KeepUnmarked && c.does != Does::PassFailureOn;
            if (marks) {
                IoMarkIrpPending(irp);
            }
            if (c.does == Does::MarkThenSkip) {
                IoSkipCurrentIrpStackLocation(irp);
            } else {
                IoCopyCurrentIrpStackLocationToNext(irp);
                const bool up = c.does == Does::AllocateOnTheWayUp;
                IoSetCompletionRoutine(irp, up ? AllocateOnTheWayUp : KeepIt, &kept, TRUE, TRUE, TRUE);
            }
            const NTSTATUS lower = IoCallDriver(stack.Device(0), irp);
            return marks ? STATUS_PENDING : lower;
        });
        SendSet(stack, c.type, c.state, c.bottom, c.finding);
        if (kept != nullptr) {
            IoCompleteRequest(kept, IO_NO_INCREMENT);
        }
        EXPECT_EQ(stack.creator.calls, 1);
    }
}

void NTAPI IgnoreDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}

// What a driver may hand PoRequestPowerIrp: a request pointer only for a
// wait-wake request (RequestedPowerIrp), and a wait-wake request only at
// PASSIVE_LEVEL with no set or query it asked for still in the stack. The
// bottom device keeps each request until the test ends it.
TEST_F(PowerRules, WhatPoRequestPowerIrpAccepts)
{
    const char* const pointer = "PoRequestPowerIrp given a request pointer for a set or query request";
    const struct {
        const char* finding;  // null: accepted
        UCHAR minor;
        bool pointer;
        KIRQL irql;
        bool setInHand;
    } cases[] = {
        {pointer, IRP_MN_SET_POWER, true, PASSIVE_LEVEL, false},
        {pointer, IRP_MN_QUERY_POWER, true, PASSIVE_LEVEL, false},
        {"wait-wake request sent above PASSIVE_LEVEL", IRP_MN_WAIT_WAKE, true, DISPATCH_LEVEL, false},
        {"while another power request of the stack is being handled", IRP_MN_WAIT_WAKE, false, PASSIVE_LEVEL, true},
        {nullptr, IRP_MN_WAIT_WAKE, true, PASSIVE_LEVEL, false},
        {nullptr, IRP_MN_SET_POWER, false, DISPATCH_LEVEL, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.finding != nullptr ? c.finding : "accepted");
        TestStack stack(2);
        std::vector<PIRP> kept;
        std::atomic<size_t> arrived{0};
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            kept.push_back(irp);
            ++arrived;
            return STATUS_PENDING;
        });
        POWER_STATE state;
        state.DeviceState = PowerDeviceD2;
        if (c.setInHand) {
            PoRequestPowerIrp(stack.Device(0), IRP_MN_SET_POWER, state, IgnoreDone, nullptr, nullptr);
        }
        PIRP irp = nullptr;
        const auto request = [&] {
            const KIRQL old = KfRaiseIrql(c.irql);
            PoRequestPowerIrp(stack.Device(0), c.minor, state, IgnoreDone, nullptr, c.pointer ? &irp : nullptr);
            KeLowerIrql(old);
        };
        if (c.finding != nullptr) {
            EXPECT_EQ(ExpectFinding(c.finding, request).size(), 1u);
        } else {
            request();
        }
        while (arrived < (c.setInHand ? 2u : 1u)) {
            std::this_thread::yield();
        }
        for (PIRP held : kept) {
            CompleteWith(held, STATUS_SUCCESS);
        }
    }
}

}  // namespace
}  // namespace emu::test
