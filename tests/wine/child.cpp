// The child PDO: its identity, its PnP and power requests, and the verbs of
// the control device that change its life (plug, removal, sleep, wake).
#include "tests/wine/test_bus.h"

namespace testbus {
namespace {

// Multi-strings end with an empty string.
const WCHAR kDeviceId[] = L"USB\\VID_1209&PID_0001";
const WCHAR kHardwareIds[] = L"USB\\VID_1209&PID_0001&REV_0100\0USB\\VID_1209&PID_0001\0";
const WCHAR kCompatibleIds[] = L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF\0USB\\COMPOSITE\0";
const WCHAR kInstanceId[] = L"1";
const WCHAR kDescription[] = L"pondrel test device";

// A copy of `text` (`bytes` long) from paged pool, which the PnP manager
// frees, as the answer to a query. PASSIVE_LEVEL.
NTSTATUS AnswerString(PIRP irp, const WCHAR* text, SIZE_T bytes)
{
    auto* copy = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, kTag));
    if (copy == nullptr)
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    RtlCopyMemory(copy, text, bytes);
    return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
}

// The child's identity: what the INF's model line and Wine's setup API
// match. PASSIVE_LEVEL.
NTSTATUS QueryId(PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: return AnswerString(irp, kDeviceId, sizeof kDeviceId);
    case BusQueryHardwareIDs: return AnswerString(irp, kHardwareIds, sizeof kHardwareIds);
    case BusQueryCompatibleIDs: return AnswerString(irp, kCompatibleIds, sizeof kCompatibleIds);
    case BusQueryInstanceID: return AnswerString(irp, kInstanceId, sizeof kInstanceId);
    default: return KeepStatus(irp);
    }
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
    caps->DeviceD2 = TRUE;
    caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = TRUE;
    caps->Removable = TRUE;
    caps->Address = caps->UINumber = 1;
    return CompleteIrp(irp, STATUS_SUCCESS);
}

// The stack above has let go: what it left in flight ends; once the bus no
// longer reports the device, its PDO goes. PASSIVE_LEVEL.
NTSTATUS Removed(PDEVICE_OBJECT device, PIRP irp)
{
    EndTransfers(nullptr, USBD_STATUS_DEVICE_GONE);
    ++g_bus.childRemoves;
    ChildChanged();
    bool reported = g_bus.present;
    CompleteIrp(irp, STATUS_SUCCESS);
    if (!reported) {
        g_bus.child = nullptr;
        IoDeleteDevice(device);
    }
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

// The child's PDO; its device is reset to how it comes out of the box.
// PASSIVE_LEVEL.
NTSTATUS CreateChild(PDRIVER_OBJECT driver)
{
    NTSTATUS status = NewDevice(driver, nullptr, nullptr, FILE_DEVICE_USB, Kind::Child, DO_POWER_PAGABLE, &g_bus.child);
    if (!NT_SUCCESS(status))
        return status;
    ResetDevice();
    g_bus.present = g_bus.connected = true;
    return STATUS_SUCCESS;
}

// The child arrives: reported, installed and started by Wine's PnP manager,
// then queried as Windows' would. Done once the start has settled.
// PASSIVE_LEVEL, as every verb below.
NTSTATUS Plug(PDRIVER_OBJECT driver)
{
    if (g_bus.present || g_bus.child != nullptr)
        return STATUS_DEVICE_ALREADY_ATTACHED;  // the earlier one's stack has not let go yet
    NTSTATUS status = CreateChild(driver);
    if (!NT_SUCCESS(status))
        return status;
    g_bus.childSurprised = 0;
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
    ULONG surprised = g_bus.childSurprised + g_bus.childRemoves;
    g_bus.connected = g_bus.present = false;
    EndTransfers(nullptr, USBD_STATUS_DEVICE_GONE);
    IoInvalidateDeviceRelations(g_bus.lowerPdo, BusRelations);
    bool heard = WaitUntil([&] { return g_bus.childSurprised + g_bus.childRemoves != surprised; });
    return heard && PnpSettled() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// An orderly removal as the PnP manager runs it (Wine offers none): query,
// then remove or cancel; then the bus stops reporting the device. After a
// surprise removal the PnP manager sends only the removal, once the handles
// are closed; Wine sends it at once, and the answer is whether it came.
NTSTATUS Remove()
{
    if (!g_bus.present && g_bus.childSurprised != 0)
        return WaitUntil([] { return g_bus.child == nullptr; }) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    if (!g_bus.present || g_bus.child == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = SendAndWait(g_bus.child, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendAndWait(g_bus.child, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    status = SendAndWait(g_bus.child, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    g_bus.present = g_bus.connected = false;
    return PnpSettled() ? status : STATUS_UNSUCCESSFUL;
}

// To S<state> (query and set; a refused query is followed by a set to the
// working state), or back to the working state from state 0.
NTSTATUS SetSystemPower(ULONG state)
{
    if (g_bus.child == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    auto system = static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + state);
    POWER_ACTION action = state == 0 ? PowerActionNone : state == 4 ? PowerActionHibernate : PowerActionSleep;
    NTSTATUS status =
        state == 0 ? STATUS_SUCCESS : SendAndWait(g_bus.child, IRP_MJ_POWER, IRP_MN_QUERY_POWER, system, action);
    if (!NT_SUCCESS(status)) {
        SendAndWait(g_bus.child, IRP_MJ_POWER, IRP_MN_SET_POWER, PowerSystemWorking);
        return status;
    }
    return SendAndWait(g_bus.child, IRP_MJ_POWER, IRP_MN_SET_POWER, system, action);
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
    if (inD0)
        return STATUS_SUCCESS;
    bool back = WaitUntil([] { return g_bus.devicePowerState == PowerDeviceD0 && g_bus.waitWake != nullptr; });
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
// the device cannot wake the system from that state or one is held already.
// PASSIVE_LEVEL under Wine (DISPATCH_LEVEL at most on Windows).
NTSTATUS WaitWake(PIRP irp)
{
    SYSTEM_POWER_STATE from = IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState;
    NTSTATUS status = STATUS_PENDING;
    {
        Locked locked;
        if (!g_bus.connected)
            status = STATUS_NO_SUCH_DEVICE;
        else if (from > PowerSystemSleeping3 || g_bus.devicePowerState > PowerDeviceD2)
            status = STATUS_INVALID_DEVICE_STATE;
        else if (g_bus.waitWake != nullptr)
            status = STATUS_DEVICE_BUSY;
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
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        ++g_bus.childStarts;
        ChildChanged();
        return CompleteIrp(irp, g_bus.connected ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        EndTransfers(nullptr, USBD_STATUS_DEVICE_GONE);
        ++g_bus.childSurprised;
        ChildChanged();
        return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: return Removed(device, irp);
    case IRP_MN_QUERY_ID: return QueryId(irp);
    case IRP_MN_QUERY_DEVICE_TEXT: return AnswerString(irp, kDescription, sizeof kDescription);
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
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState) {
            g_bus.devicePowerState = stack->Parameters.Power.State.DeviceState;
            ChildChanged();
        }
        return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER: return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE: return WaitWake(irp);
    default: return CompleteIrp(irp, irp->IoStatus.Status);
    }
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
    case TestBusFault: return g_bus.present ? SetFault(command.endpoint, command.argument) : STATUS_NO_SUCH_DEVICE;
    case TestBusNameNextOpen:
    case TestBusLastOpenStatus: return OpenVerb(command);
    default: return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace testbus
