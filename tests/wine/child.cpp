// The child PDO: its identity, its PnP and power requests, and the verbs of
// the control device that change its life (plug, removal, sleep, wake).
#include "tests/wine/test_bus.h"

namespace testbus {
namespace {

// What the INF's model line and Wine's setup API match, by BUS_QUERY_ID_TYPE
// (device, hardware, compatible and instance IDs), then the device text.
// Multi-strings end with an empty string.
const WCHAR kDeviceId[] = L"USB\\VID_1209&PID_0001";
const WCHAR kHardwareIds[] = L"USB\\VID_1209&PID_0001&REV_0100\0USB\\VID_1209&PID_0001\0";
const WCHAR kCompatibleIds[] = L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF\0USB\\COMPOSITE\0";
const WCHAR kInstanceId[] = L"1";
const WCHAR kDescription[] = L"pondrel test device";
const struct {
    const WCHAR* text;
    SIZE_T bytes;
} kIdentity[] = {{kDeviceId, sizeof kDeviceId},       {kHardwareIds, sizeof kHardwareIds},
                 {kCompatibleIds, sizeof kCompatibleIds}, {kInstanceId, sizeof kInstanceId},
                 {kDescription, sizeof kDescription}};

// A copy of identity `index` from paged pool, which the PnP manager frees,
// as the answer to a query; any other index is not answered here.
// PASSIVE_LEVEL.
NTSTATUS AnswerIdentity(PIRP irp, ULONG index)
{
    if (index >= ARRAYSIZE(kIdentity))
        return KeepStatus(irp);
    auto* copy = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, kIdentity[index].bytes, kTag));
    if (copy == nullptr)
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    RtlCopyMemory(copy, kIdentity[index].text, kIdentity[index].bytes);
    return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
}

// As a hub reports a remote-wake device: D2 in S1..S3, the state it wakes
// the system from; D3 in hibernate and shutdown. PASSIVE_LEVEL.
NTSTATUS QueryCapabilities(PIRP irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    const DEVICE_POWER_STATE states[PowerSystemMaximum] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2,
                                                           PowerDeviceD2, PowerDeviceD2, PowerDeviceD3, PowerDeviceD3};
    RtlCopyMemory(caps->DeviceState, states, sizeof states);
    caps->SystemWake = PowerSystemSleeping3;
    caps->DeviceWake = PowerDeviceD2;
    caps->DeviceD2 = caps->WakeFromD0 = caps->WakeFromD2 = caps->Removable = TRUE;
    return CompleteIrp(irp, STATUS_SUCCESS);
}

// The stack above has let go: what it left in flight ends; once the bus no
// longer reports the device, its PDO goes. PASSIVE_LEVEL.
NTSTATUS Removed(PDEVICE_OBJECT device, PIRP irp)
{
    EndTransfers(nullptr, USBD_STATUS_DEVICE_GONE);
    bool reported = g_bus.present;
    CompleteIrp(irp, STATUS_SUCCESS);
    if (!reported) {
        g_bus.child = nullptr;
        IoDeleteDevice(device);
    }
    ChildChanged();
    return STATUS_SUCCESS;
}

// Waits, bounded, until `done` holds; rechecked at each change of the
// child (and every 50 ms, since a change may come between check and wait).
// PASSIVE_LEVEL.
template <typename Done>
bool WaitUntil(Done done)
{
    for (LONG left = kWaitMs; !done(); left -= 50) {
        if (left <= 0)
            return false;
        WaitEvent(&g_bus.changed, 50);
    }
    return true;
}

// Tells Wine's PnP manager that the bus's children changed and waits until
// it has finished with that: it handles one relations change after the
// other on its own thread, so once it asks again, it has finished what the
// last change started (the start of a new device, the removal of a gone
// one). PASSIVE_LEVEL.
bool PnpSettled()
{
    ULONG queries = g_bus.relationQueries;
    IoInvalidateDeviceRelations(g_bus.lowerPdo, BusRelations);
    return WaitUntil([&] { return g_bus.relationQueries != queries; });
}

// The child arrives, out of the box: reported, installed and started by
// Wine's PnP manager, then queried as Windows' would. Done once the start
// has settled. PASSIVE_LEVEL, as every verb below.
NTSTATUS Plug(PDRIVER_OBJECT driver)
{
    if (g_bus.present || g_bus.child != nullptr)
        return STATUS_DEVICE_ALREADY_ATTACHED;  // the earlier one's stack has not let go yet
    NTSTATUS status = NewDevice(driver, Kind::Child, &g_bus.child);
    if (!NT_SUCCESS(status))
        return status;
    ResetDevice();
    g_bus.present = true;
    g_bus.surprised = false;
    ULONG starts = g_bus.childStarts;
    IoInvalidateDeviceRelations(g_bus.lowerPdo, BusRelations);
    if (!WaitUntil([&] { return g_bus.childStarts != starts; }) || !PnpSettled())
        return STATUS_UNSUCCESSFUL;
    // What the PnP manager sends after a first start and Wine does not.
    SendAndWait(g_bus.child, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
    SendAndWait(g_bus.child, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE);
    return STATUS_SUCCESS;
}

// The device leaves the wire: its transfers fail, and the PnP manager hears
// that it is gone.
NTSTATUS SurpriseRemove()
{
    if (!g_bus.present)
        return STATUS_NO_SUCH_DEVICE;
    g_bus.present = false;
    EndTransfers(nullptr, USBD_STATUS_DEVICE_GONE);
    IoInvalidateDeviceRelations(g_bus.lowerPdo, BusRelations);
    bool heard = WaitUntil([] { return g_bus.surprised || g_bus.child == nullptr; });
    return heard && PnpSettled() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// An orderly removal as the PnP manager runs it (Wine offers none): query,
// then remove or cancel; then the bus stops reporting the device. After a
// surprise removal the PnP manager sends only the removal, once the handles
// are closed; Wine sends it at once, and the answer is whether it came.
NTSTATUS Remove()
{
    if (!g_bus.present && g_bus.surprised)
        return WaitUntil([] { return g_bus.child == nullptr; }) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    if (!g_bus.present)
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = SendAndWait(g_bus.child, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendAndWait(g_bus.child, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    status = SendAndWait(g_bus.child, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    g_bus.present = false;
    return PnpSettled() ? status : STATUS_UNSUCCESSFUL;
}

// To S<state> (query and set; a refused query is followed by a set to the
// working state), or back to the working state from state 0.
NTSTATUS SetSystemPower(ULONG state)
{
    if (g_bus.child == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    auto system = static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + state);
    NTSTATUS status = state == 0 ? STATUS_SUCCESS : SendAndWait(g_bus.child, IRP_MJ_POWER, IRP_MN_QUERY_POWER, system);
    if (!NT_SUCCESS(status))
        system = PowerSystemWorking;
    NTSTATUS set = SendAndWait(g_bus.child, IRP_MJ_POWER, IRP_MN_SET_POWER, system);
    return NT_SUCCESS(status) ? set : status;
}

// The device signals remote wake: the armed wait-wake completes. From a
// low-power state the answer waits for the driver to bring the device back
// to D0 with a wait-wake armed again.
NTSTATUS Wake()
{
    PIRP irp = nullptr;
    bool inD0 = false;
    {
        Locked locked;
        irp = g_bus.waitWake;
        g_bus.waitWake = nullptr;
        if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr)
            irp = nullptr;  // being cancelled: its cancel routine ends it
        inD0 = g_bus.devicePowerState <= PowerDeviceD0;
    }
    if (irp == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    CompleteIrp(irp, STATUS_SUCCESS);
    bool back = inD0 || WaitUntil([] { return g_bus.devicePowerState == PowerDeviceD0 && g_bus.waitWake != nullptr; });
    return back ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// The wait-wake's sender cancels it. DISPATCH_LEVEL, cancel spin lock held.
void CancelWaitWake(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        Locked locked;
        if (g_bus.waitWake == irp)
            g_bus.waitWake = nullptr;
    }
    CompleteIrp(irp, STATUS_CANCELLED);
    ChildChanged();
}

// Held until the device signals wake or its sender cancels it; refused when
// the device is gone or one is held already (the emulator's bus also
// refuses states it cannot wake from, which the function driver never asks
// for). PASSIVE_LEVEL under Wine (DISPATCH_LEVEL at most on Windows).
NTSTATUS WaitWake(PIRP irp)
{
    NTSTATUS status = STATUS_PENDING;
    {
        Locked locked;
        if (!g_bus.present || g_bus.waitWake != nullptr)
            status = g_bus.present ? STATUS_DEVICE_BUSY : STATUS_NO_SUCH_DEVICE;
        else if (Hold(irp, CancelWaitWake))
            g_bus.waitWake = irp;
        else
            status = STATUS_CANCELLED;
    }
    ChildChanged();
    if (status == STATUS_PENDING)
        return STATUS_PENDING;
    CompleteIrp(irp, status);
    return status == STATUS_CANCELLED ? STATUS_PENDING : status;
}

}  // namespace

// IRP_MJ_PNP on the child. PASSIVE_LEVEL.
NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        ++g_bus.childStarts;
        ChildChanged();
        return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        EndTransfers(nullptr, USBD_STATUS_DEVICE_GONE);
        g_bus.surprised = true;
        ChildChanged();
        return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: return Removed(device, irp);
    case IRP_MN_QUERY_ID: return AnswerIdentity(irp, stack->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_DEVICE_TEXT: return AnswerIdentity(irp, ARRAYSIZE(kIdentity) - 1);
    case IRP_MN_QUERY_CAPABILITIES: return QueryCapabilities(irp);
    default: return KeepStatus(irp);
    }
}

// IRP_MJ_POWER on the child: D-states are recorded, queries granted, a
// wait-wake held. PASSIVE_LEVEL under Wine.
NTSTATUS ChildPower(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE)
        return WaitWake(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        g_bus.devicePowerState = stack->Parameters.Power.State.DeviceState;
        ChildChanged();
    }
    bool granted = stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER;
    return granted ? CompleteIrp(irp, STATUS_SUCCESS) : KeepStatus(irp);
}

// Wakes whoever waits for a change of the child's life or power. Any IRQL
// up to DISPATCH_LEVEL.
void ChildChanged()
{
    KeSetEvent(&g_bus.changed, IO_NO_INCREMENT, FALSE);
}

// One verb of the control device. PASSIVE_LEVEL, in a work item.
NTSTATUS RunCommand(PDRIVER_OBJECT driver, const PondrelTestBusCommand& command)
{
    switch (command.verb) {
    case TestBusPlug: return Plug(driver);
    case TestBusSurpriseRemove: return SurpriseRemove();
    case TestBusRemove: return Remove();
    case TestBusSleep: return command.argument - 1 < 4 ? SetSystemPower(command.argument) : STATUS_INVALID_PARAMETER;
    case TestBusResume: return SetSystemPower(0);
    case TestBusWake: return Wake();
    case TestBusStall: return g_bus.present ? StallNext(command.endpoint) : STATUS_NO_SUCH_DEVICE;
    case TestBusNameNextOpen:
    case TestBusLastOpenStatus: return OpenVerb(command);
    default: return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace testbus
