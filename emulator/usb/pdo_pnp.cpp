// IRP_MN_* PnP and WMI requests at the emulated device's PDO. As a bus
// driver, the PDO completes every PnP request: those it handles with success
// (or the outcome of the capabilities query), the others with the status
// already in the request.
#include "emulator/usb/emulated_device.h"

#include "emulator/kernel/removal_windows.h"
#include "emulator/kernel/system.h"
#include "emulator/usb/complete_request.h"

#include <algorithm>

namespace emu::usb {
namespace {

bool UsesDeviceState(const PowerCapabilities& power, int state)
{
    return std::find(std::begin(power.deviceState), std::end(power.deviceState), state) != std::end(power.deviceState) ||
           power.deviceWake == state;
}

}  // namespace

// The bus fills the capabilities from the device model: power mapping,
// wake states (only when the device can wake remotely), D1/D2 support,
// surprise-removal tolerance and the port as address.
NTSTATUS EmulatedDevice::QueryCapabilities(PIRP irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        emu::verifier::Report("IRP_MN_QUERY_CAPABILITIES without a DEVICE_CAPABILITIES of Size 64 and Version 1",
                              "IRP_MN_QUERY_CAPABILITIES");
        return STATUS_UNSUCCESSFUL;
    }
    const PowerCapabilities& power = model_.power;
    const bool wake = model_.RemoteWakeCapable();
    for (int s = 0; s < PowerSystemMaximum; ++s) {
        caps->DeviceState[s] = static_cast<DEVICE_POWER_STATE>(power.deviceState[s]);
    }
    caps->SystemWake = wake ? static_cast<SYSTEM_POWER_STATE>(power.systemWake) : PowerSystemUnspecified;
    caps->DeviceWake = wake ? static_cast<DEVICE_POWER_STATE>(power.deviceWake) : PowerDeviceUnspecified;
    caps->DeviceD1 = UsesDeviceState(power, PowerDeviceD1);
    caps->DeviceD2 = UsesDeviceState(power, PowerDeviceD2);
    caps->WakeFromD0 = wake && power.deviceWake >= PowerDeviceD0;
    caps->WakeFromD1 = wake && power.deviceWake >= PowerDeviceD1;
    caps->WakeFromD2 = wake && power.deviceWake >= PowerDeviceD2;
    caps->WakeFromD3 = wake && power.deviceWake >= PowerDeviceD3;
    caps->SurpriseRemovalOK = power.surpriseRemovalOK;
    caps->Removable = TRUE;
    caps->Address = port_;
    caps->UINumber = port_;
    return STATUS_SUCCESS;
}

// The stack above has let go of the device: the function driver should
// have ended its transfers and its wait-wake first; whatever it left is
// reported and failed. The device is unconfigured, as after a reset.
void EmulatedDevice::ForgetAtRemoval()
{
    TransferList left;
    PIRP wake = nullptr;
    {
        Lock lock(mutex_);
        removed_ = true;
        if (!pending_.empty()) {
            emu::verifier::Report("transfers still pending at the PDO when IRP_MN_REMOVE_DEVICE arrived",
                                  "IRP_MN_REMOVE_DEVICE", std::to_string(pending_.size()) + " pending");
        }
        FailAllTransfers(USBD_STATUS_DEVICE_GONE, left);
        if (waitWakeIrp_ != nullptr) {
            emu::verifier::Report("IRP_MN_WAIT_WAKE still pending at the PDO when IRP_MN_REMOVE_DEVICE arrived",
                                  "IRP_MN_REMOVE_DEVICE");
            if (IoSetCancelRoutine(waitWakeIrp_, nullptr) != nullptr) {
                wake = waitWakeIrp_;
            }
            waitWakeIrp_ = nullptr;
            powerChanged_.notify_all();
        }
        TransferList cancelled;
        Unconfigure(cancelled);
    }
    FinishAll(left);
    if (wake != nullptr) {
        CompleteRequest(wake, STATUS_NO_SUCH_DEVICE);
    }
}

// The outcome of a START_DEVICE: success unless a test asked this one to fail.
NTSTATUS EmulatedDevice::TakeStartStatus()
{
    std::lock_guard lock(mutex_);
    const NTSTATUS status = failingStart_;
    failingStart_ = STATUS_SUCCESS;
    removed_ = false;
    return status;
}

// WMI requests, at PASSIVE_LEVEL: the PDO is no WMI provider for any
// provider ID, so it records the request and completes it as it came, as a
// bus driver that is not the request's provider does.
NTSTATUS EmulatedDevice::DispatchSystemControl(PIRP irp)
{
    {
        std::lock_guard lock(mutex_);
        systemControlSeen_.push_back(IoGetCurrentIrpStackLocation(irp)->MinorFunction);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::vector<UCHAR> EmulatedDevice::SystemControlSeen()
{
    std::lock_guard lock(mutex_);
    return systemControlSeen_;
}

// PASSIVE_LEVEL, in the PnP manager's thread. Completes the request.
NTSTATUS EmulatedDevice::DispatchPnp(PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = TakeStartStatus();
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        CloseRemovalWindow(RemovalWindow::RemoveNotYetBelow, IoGetCurrentIrpStackLocation(irp)->DeviceObject);
        ForgetAtRemoval();
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = QueryCapabilities(irp);
        break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        status = STATUS_SUCCESS;  // nothing of its own to add to what the drivers above reported
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace emu::usb
