// The power manager's rules and the pending rule of a request skipped
// down, each provoked by a driver that breaks it.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <atomic>
#include <thread>
#include <vector>

namespace emu::test {
namespace {

class PowerRules : public KernelTest {};

// A driver that marks a request pending and then skips its location hands
// the lower driver a location already marked: flagged when it calls down.
// Copying the location instead is fine.
TEST_F(PowerRules, PendedRequestSkippedDown)
{
    for (const bool skip : {true, false}) {
        SCOPED_TRACE(skip ? "skipped" : "copied");
        TestStack stack(2);
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            if (skip) {
                IoSkipCurrentIrpStackLocation(irp);
            } else {
                IoCopyCurrentIrpStackLocationToNext(irp);
            }
            IoCallDriver(stack.Device(0), irp);
            return STATUS_PENDING;
        });
        const auto send = [&] { EXPECT_EQ(stack.Send(), STATUS_PENDING); };
        if (skip) {
            EXPECT_EQ(ExpectFinding("pended request skipped down", send).size(), 1u);
        } else {
            send();
        }
        EXPECT_EQ(stack.creator.calls, 1);
    }
}

// A function driver (a device object with one below it) never fails
// IRP_MN_SET_POWER, down (PowerDownFail) or up (PowerUpFail); a failure
// the driver below gave and the function driver passes on is not its own.
TEST_F(PowerRules, FunctionDriverFailingASetPowerRequest)
{
    const struct {
        const char* finding;  // null: accepted
        DEVICE_POWER_STATE target;
        bool passedDown;      // else the function driver completes it itself
        NTSTATUS status;      // the bottom's, or the function driver's own
    } cases[] = {
        {"set-power request to a lower power state (PowerDownFail)", PowerDeviceD3, false, STATUS_UNSUCCESSFUL},
        {"set-power request to full power (PowerUpFail)", PowerDeviceD0, false, STATUS_INSUFFICIENT_RESOURCES},
        {nullptr, PowerDeviceD3, true, STATUS_UNSUCCESSFUL},
        {nullptr, PowerDeviceD0, false, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.finding != nullptr ? c.finding : "accepted");
        TestStack stack(2);
        CompletionProbe passOn;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, c.status); });
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            return c.passedDown ? ForwardWithProbe(stack.Device(0), irp, &passOn, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR)
                                : CompleteWith(irp, c.status);
        });
        PIRP irp = stack.AllocateIrp(IRP_MJ_POWER);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = IRP_MN_SET_POWER;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State.DeviceState = c.target;
        IoSetCompletionRoutine(irp, ProbeCompletion, &stack.creator, TRUE, TRUE, TRUE);
        const auto send = [&] { IoCallDriver(stack.Top(), irp); };
        if (c.finding != nullptr) {
            EXPECT_EQ(ExpectFinding(c.finding, send).size(), 1u);
        } else {
            send();
        }
        EXPECT_EQ(stack.creator.calls, 1);
    }
}

// A function driver that keeps a system set-power request once the drivers
// below have finished it must have marked it pending in its dispatch
// routine (MarkPower, MarkPowerDown, MarkDevicePower).
TEST_F(PowerRules, SystemSetHeldWithoutBeingMarkedPending)
{
    for (const bool marked : {false, true}) {
        SCOPED_TRACE(marked ? "marked" : "not marked");
        TestStack stack(2);
        PIRP held = nullptr;
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            if (marked) {
                IoMarkIrpPending(irp);
            }
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP irp, PVOID keep) {
                *static_cast<PIRP*>(keep) = irp;
                return STATUS_MORE_PROCESSING_REQUIRED;
            }, &held, TRUE, TRUE, TRUE);
            const NTSTATUS lower = IoCallDriver(stack.Device(0), irp);
            return marked ? STATUS_PENDING : lower;
        });
        PIRP irp = stack.AllocateIrp(IRP_MJ_POWER);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = IRP_MN_SET_POWER;
        next->Parameters.Power.Type = SystemPowerState;
        next->Parameters.Power.State.SystemState = PowerSystemSleeping3;
        IoSetCompletionRoutine(irp, ProbeCompletion, &stack.creator, TRUE, TRUE, TRUE);
        const auto send = [&] { IoCallDriver(stack.Top(), irp); };
        if (!marked) {
            EXPECT_EQ(ExpectFinding("held with STATUS_MORE_PROCESSING_REQUIRED without being marked pending", send).size(),
                      1u);
        } else {
            send();
        }
        ASSERT_NE(held, nullptr);
        CompleteWith(held, STATUS_SUCCESS);
        EXPECT_EQ(stack.creator.calls, 1);
    }
}

void IgnoreDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}

// What a driver may hand PoRequestPowerIrp: a request pointer only for a
// wait-wake request (RequestedPowerIrp), and a wait-wake request only at
// PASSIVE_LEVEL with no set or query of the stack in hand. The bottom
// device keeps each request until the test ends it.
TEST_F(PowerRules, WhatPoRequestPowerIrpAccepts)
{
    const struct {
        const char* finding;  // null: accepted
        UCHAR minor;
        bool pointer;
        KIRQL irql;
        bool setInHand;
    } cases[] = {
        {"PoRequestPowerIrp given a request pointer for a set or query request", IRP_MN_SET_POWER, true, PASSIVE_LEVEL, false},
        {"PoRequestPowerIrp given a request pointer for a set or query request", IRP_MN_QUERY_POWER, true, PASSIVE_LEVEL, false},
        {"wait-wake request sent above PASSIVE_LEVEL", IRP_MN_WAIT_WAKE, true, DISPATCH_LEVEL, false},
        {"wait-wake request sent while another power request of the stack is being handled", IRP_MN_WAIT_WAKE, false,
         PASSIVE_LEVEL, true},
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
        const size_t sent = c.setInHand ? 2 : 1;
        while (arrived < sent) {
            std::this_thread::yield();
        }
        for (PIRP held : kept) {
            CompleteWith(held, STATUS_SUCCESS);
        }
    }
}

}  // namespace
}  // namespace emu::test
