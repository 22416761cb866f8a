// The test bus's entry point and its own device on Wine's root PDO, which is
// also its control device.
#include "tests/wine/test_bus.h"

namespace testbus {

Bus g_bus;

namespace {

// Hands a request of the bus's own device to Wine's root PDO. PASSIVE_LEVEL.
NTSTATUS PassDown(PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(g_bus.lowerPdo, irp);
}

// BusRelations lists the child while the bus reports it. PASSIVE_LEVEL.
NTSTATUS AnswerBusRelations(PIRP irp)
{
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
    if (relations == nullptr)
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 0;
    if (g_bus.present) {
        ObReferenceObject(g_bus.child);
        relations->Objects[relations->Count++] = g_bus.child;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    ++g_bus.relationQueries;
    Changed();
    return PassDown(irp);
}

// IRP_MJ_PNP and IRP_MJ_POWER on the bus's own device. PASSIVE_LEVEL.
NTSTATUS BusRequest(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = stack->MinorFunction;
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        return PassDown(irp);
    }
    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS && stack->Parameters.QueryDeviceRelations.Type == ::BusRelations)
        return AnswerBusRelations(irp);
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_REMOVE_DEVICE)
        irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(irp);
    if (minor != IRP_MN_REMOVE_DEVICE)
        return status;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, PONDREL_TEST_BUS_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(g_bus.lowerPdo);
    IoDeleteDevice(device);
    return status;
}

// The control code: checked, then its verb run; the answer overwrites the
// command. The verbs wait for the child's stack to answer: PASSIVE_LEVEL,
// in the caller's thread as on Windows.
NTSTATUS ControlIoctl(PDEVICE_OBJECT device, PIRP irp)
{
    auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    auto* command = static_cast<PondrelTestBusCommand*>(irp->AssociatedIrp.SystemBuffer);
    if (parameters.IoControlCode != IOCTL_PONDREL_TEST_BUS_COMMAND ||
        parameters.InputBufferLength < sizeof(PondrelTestBusCommand) || parameters.OutputBufferLength < sizeof(LONG))
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    *static_cast<LONG*>(irp->AssociatedIrp.SystemBuffer) = RunCommand(device->DriverObject, *command);
    return CompleteIrp(irp, STATUS_SUCCESS, sizeof(LONG));
}

// Every request to the bus's two devices. The child takes its PnP, power,
// WMI and URB requests; the bus's own device its PnP and power requests, opens
// and its control code, and passes a handle that carries a name for the
// function driver there. What neither takes is not supported.
// PASSIVE_LEVEL under Wine.
NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    bool child = device == g_bus.child;
    if (major == IRP_MJ_PNP)
        return child ? ChildPnp(device, irp) : BusRequest(device, irp);
    if (major == IRP_MJ_POWER)
        return child ? ChildPower(irp) : BusRequest(device, irp);
    if (child && major == IRP_MJ_SYSTEM_CONTROL)
        return KeepStatus(irp);  // no WMI provider here: it ends as it came
    if (child)
        return major == IRP_MJ_INTERNAL_DEVICE_CONTROL ? ChildInternalIoctl(irp)
                                                        : CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (IsProxied(irp))
        return ProxyDispatch(device, irp);
    if (major == IRP_MJ_DEVICE_CONTROL)
        return ControlIoctl(device, irp);
    bool opening = major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
    return CompleteIrp(irp, opening ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

// Wine's root PDO for the bus: the bus's own device, named with a DOS link
// for pondrelctl, with buffered I/O for the control code and room for the
// function driver's stack that it passes requests to. PASSIVE_LEVEL.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, PONDREL_TEST_BUS_DEVICE_NAME);
    RtlInitUnicodeString(&link, PONDREL_TEST_BUS_LINK_NAME);
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (NT_SUCCESS(status))
        status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        if (fdo != nullptr)
            IoDeleteDevice(fdo);
        return status;
    }
    g_bus.lowerPdo = pdo;
    IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->StackSize = 8;
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace testbus

// Installs the missing kernel routines and sets up the simulated device.
// PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    using namespace testbus;
    NTSTATUS status = InstallPowerRequestShim();
    if (NT_SUCCESS(status))
        status = StartDevice();
    if (!NT_SUCCESS(status))
        return status;
    for (auto& dispatch : driver->MajorFunction)
        dispatch = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}
