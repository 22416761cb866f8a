// IRP_MJ_POWER at the emulated device's PDO: the bus records the device
// state it is told, answers queries, and holds a WAIT_WAKE until the
// device signals wake or the request is cancelled.
#include "emulator/usb/emulated_device.h"

#include "emulator/kernel/system.h"
#include "emulator/usb/complete_request.h"

#include <cstdint>
#include <cstring>

namespace emu::usb {
// A WAIT_WAKE waits at the bus for the wake signal. Refused at once when
// the device cannot wake the system from the state asked for, when it is
// already deeper than it can wake from, or when one is already waiting.
NTSTATUS EmulatedDevice::WaitWake(PIRP irp)
{
    const SYSTEM_POWER_STATE from = IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState;
    bool cancelled = false;
    NTSTATUS status = STATUS_PENDING;
    {
        Lock lock(mutex_);
        if (!connected_) {
            status = STATUS_NO_SUCH_DEVICE;
        } else if (!model_.RemoteWakeCapable() || from > model_.power.systemWake ||
                   devicePowerState_ > model_.power.deviceWake) {
            status = STATUS_INVALID_DEVICE_STATE;
        } else if (waitWakeIrp_ != nullptr) {
            status = STATUS_DEVICE_BUSY;
        } else {
            IoMarkIrpPending(irp);
            waitWakeIrp_ = irp;
            IoSetCancelRoutine(irp, &EmulatedDevice::CancelWaitWakeRoutine);
            if (CancelRequested(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                waitWakeIrp_ = nullptr;
                cancelled = true;
            }
            powerChanged_.notify_all();
        }
    }
    if (status != STATUS_PENDING) {
        return CompleteRequest(irp, status);
    }
    if (cancelled) {
        CompleteRequest(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

// Entered from IoCancelIrp with the cancel spin lock held.
void EmulatedDevice::CancelWaitWakeRoutine(PDEVICE_OBJECT pdo, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    EmulatedDevice* device = FromPdo(pdo);
    if (device != nullptr) {
        std::lock_guard lock(device->mutex_);
        if (device->waitWakeIrp_ == irp) {
            device->waitWakeIrp_ = nullptr;
            device->powerChanged_.notify_all();
        }
    }
    CompleteRequest(irp, STATUS_CANCELLED);
}

// Once a driver has passed IRP_MN_REMOVE_DEVICE down it has left the
// stack: a device set or query that a driver above still passes down to the
// PDO before the next start comes from a driver that went on using a stack
// it had removed. (One sent to the bare PDO, with no driver above, is not.)
void EmulatedDevice::CheckNotRemoved(PIRP irp, PIO_STACK_LOCATION stack)
{
    const bool fromDriverAbove = irp->CurrentLocation < irp->StackCount && (stack + 1)->DeviceObject != nullptr;
    if (!fromDriverAbove) {
        return;
    }
    const UCHAR minor = stack->MinorFunction;
    int32_t type = 0;
    std::memcpy(&type, &stack->Parameters.Power.Type, sizeof(type));
    if ((minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) || type != ::DevicePowerState) {
        return;
    }
    bool removed = false;
    {
        std::lock_guard lock(mutex_);
        removed = removed_;
    }
    if (removed) {
        emu::verifier::Report("device power request reached the PDO after IRP_MN_REMOVE_DEVICE", "IRP_MJ_POWER",
                              minor == IRP_MN_SET_POWER ? "IRP_MN_SET_POWER" : "IRP_MN_QUERY_POWER");
    }
}

// Records the device state the hub is told and completes the request. In
// the bus-thread mode a power-down completes from the bus thread at
// DISPATCH_LEVEL, as a hub that ends it from its DPC would, so that the
// drivers above meet their completion routines there; a power-up, and every
// request in the other modes, completes at once.
NTSTATUS EmulatedDevice::SetDevicePower(PIRP irp, int state)
{
    auto apply = [self = shared_from_this(), irp, state] {
        {
            std::lock_guard lock(self->mutex_);
            self->devicePowerState_ = state;
            self->powerChanged_.notify_all();
        }
        PoStartNextPowerIrp(irp);
        CompleteRequest(irp, STATUS_SUCCESS);
    };
    bool defer = false;
    {
        std::lock_guard lock(mutex_);
        defer = mode_ == CompletionMode::BusThread && state > PowerDeviceD0;
    }
    if (!defer) {
        apply();
        return STATUS_SUCCESS;
    }
    IoMarkIrpPending(irp);
    busThread_.Post(std::move(apply));
    return STATUS_PENDING;
}

// PASSIVE_LEVEL or DISPATCH_LEVEL. A bus driver calls PoStartNextPowerIrp
// for every SET_POWER and QUERY_POWER before completing it.
NTSTATUS EmulatedDevice::DispatchPower(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    CheckNotRemoved(irp, stack);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER: {
        // The type is whatever 32-bit value the sender put there.
        int32_t type = 0;
        std::memcpy(&type, &stack->Parameters.Power.Type, sizeof(type));
        if (type != ::DevicePowerState) {
            PoStartNextPowerIrp(irp);
            return CompleteRequest(irp, STATUS_SUCCESS);
        }
        return SetDevicePower(irp, stack->Parameters.Power.State.DeviceState);
    }
    case IRP_MN_QUERY_POWER:
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
        return WaitWake(irp);
    default:
        return CompleteRequest(irp, irp->IoStatus.Status);
    }
}

}  // namespace emu::usb
