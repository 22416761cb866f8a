// The test bus's entry point, its own device on Wine's root PDO, and its
// control device.
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
    if (g_bus.present && g_bus.child != nullptr) {
        ObReferenceObject(g_bus.child);
        relations->Objects[relations->Count++] = g_bus.child;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    ++g_bus.relationQueries;
    ChildChanged();
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
    IoDetachDevice(g_bus.lowerPdo);
    IoDeleteDevice(device);
    return status;
}

// Runs one control verb off the I/O thread, since verbs wait for the
// child's stack to answer; the work item rides in the request. PASSIVE_LEVEL.
void RunCommandWork(PDEVICE_OBJECT device, PVOID context)
{
    auto* irp = static_cast<PIRP>(context);
    // The answer overwrites the command, once the verb has run.
    auto* command = static_cast<PondrelTestBusCommand*>(irp->AssociatedIrp.SystemBuffer);
    *static_cast<LONG*>(irp->AssociatedIrp.SystemBuffer) = RunCommand(device->DriverObject, *command);
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(irp->Tail.Overlay.DriverContext[0]));
    CompleteIrp(irp, STATUS_SUCCESS, sizeof(LONG));
}

// The control device: opens and closes of its own, and its control code,
// checked, then run in a work item; a handle that carries a name for the
// function driver goes there instead. PASSIVE_LEVEL.
NTSTATUS ControlRequest(PDEVICE_OBJECT device, PIRP irp)
{
    if (IsProxied(irp))
        return ProxyDispatch(device, irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto& parameters = stack->Parameters.DeviceIoControl;
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        UCHAR major = stack->MajorFunction;
        bool opening = major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
        return CompleteIrp(irp, opening ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
    }
    if (parameters.IoControlCode != IOCTL_PONDREL_TEST_BUS_COMMAND ||
        parameters.InputBufferLength < sizeof(PondrelTestBusCommand) || parameters.OutputBufferLength < sizeof(LONG))
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    if (item == nullptr)
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    irp->Tail.Overlay.DriverContext[0] = item;
    IoMarkIrpPending(irp);
    IoQueueWorkItem(item, RunCommandWork, DelayedWorkQueue, irp);
    return STATUS_PENDING;
}

// Every request to every device of the bus, by the device's kind; what a
// kind does not take is not supported. PASSIVE_LEVEL under Wine.
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    Kind kind = *static_cast<Kind*>(device->DeviceExtension);
    if (kind == Kind::Control)
        return ControlRequest(device, irp);
    if (kind == Kind::BusFdo && (major == IRP_MJ_PNP || major == IRP_MJ_POWER))
        return BusRequest(device, irp);
    if (major == IRP_MJ_PNP)
        return ChildPnp(device, irp);
    if (major == IRP_MJ_POWER)
        return ChildPower(device, irp);
    if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL && kind == Kind::Child)
        return ChildInternalIoctl(irp);
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

// Wine's root PDO for the bus. PASSIVE_LEVEL.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = NewDevice(driver, Kind::BusFdo, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    g_bus.lowerPdo = pdo;
    IoAttachDeviceToDeviceStack(fdo, pdo);
    return STATUS_SUCCESS;
}

}  // namespace

// A device of the bus, of `kind`, ready for requests: the control device is
// named, with a DOS link, takes buffered I/O and has room for the function
// driver's stack it passes requests to; a child's PDO gets a name from the
// I/O manager. PASSIVE_LEVEL.
NTSTATUS NewDevice(PDRIVER_OBJECT driver, Kind kind, PDEVICE_OBJECT* created)
{
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, PONDREL_TEST_BUS_DEVICE_NAME);
    RtlInitUnicodeString(&link, PONDREL_TEST_BUS_LINK_NAME);
    bool control = kind == Kind::Control;
    DEVICE_TYPE type = control ? FILE_DEVICE_UNKNOWN : kind == Kind::Child ? FILE_DEVICE_USB : FILE_DEVICE_BUS_EXTENDER;
    ULONG characteristics = kind == Kind::Child ? FILE_AUTOGENERATED_DEVICE_NAME : 0;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Kind), control ? &name : nullptr, type, characteristics, FALSE, created);
    if (!NT_SUCCESS(status))
        return status;
    *static_cast<Kind*>((*created)->DeviceExtension) = kind;
    (*created)->Flags |= control ? DO_BUFFERED_IO : DO_POWER_PAGABLE;
    (*created)->Flags &= ~DO_DEVICE_INITIALIZING;
    if (!control)
        return STATUS_SUCCESS;
    (*created)->StackSize = 8;
    return IoCreateSymbolicLink(&link, &name);
}

}  // namespace testbus

// Installs the missing kernel routines, then sets up the simulated device
// and the control device. PASSIVE_LEVEL.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    using namespace testbus;
    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status = InstallPowerRequestShim();
    if (NT_SUCCESS(status))
        status = StartDevice();
    if (NT_SUCCESS(status))
        status = NewDevice(driver, Kind::Control, &control);
    if (!NT_SUCCESS(status))
        return status;
    for (auto& dispatch : driver->MajorFunction)
        dispatch = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}
