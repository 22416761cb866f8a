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

// IRP_MJ_PNP on the bus's own device. PASSIVE_LEVEL.
NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = stack->MinorFunction;
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

// The control code of the control device: checked, then run in a work
// item. PASSIVE_LEVEL.
NTSTATUS ControlIoctl(PDEVICE_OBJECT device, PIRP irp)
{
    auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    if (parameters.IoControlCode != IOCTL_PONDREL_TEST_BUS_COMMAND ||
        parameters.InputBufferLength < sizeof(PondrelTestBusCommand) ||
        parameters.OutputBufferLength < sizeof(LONG))
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    if (item == nullptr)
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    irp->Tail.Overlay.DriverContext[0] = item;
    IoMarkIrpPending(irp);
    IoQueueWorkItem(item, RunCommandWork, DelayedWorkQueue, irp);
    return STATUS_PENDING;
}

// Every request to every device of the bus: the open device passes all on;
// the control device takes opens and its control code; the child its PnP,
// power and URB requests; the bus's own device its PnP and power requests.
// PASSIVE_LEVEL under Wine.
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    Kind kind = *static_cast<Kind*>(device->DeviceExtension);
    if (kind == Kind::Proxy)
        return ProxyDispatch(device, irp);
    if (major == IRP_MJ_PNP && kind != Kind::Control)
        return kind == Kind::BusFdo ? BusPnp(device, irp) : ChildPnp(device, irp);
    if (major == IRP_MJ_POWER && kind == Kind::Child)
        return ChildPower(device, irp);
    if (major == IRP_MJ_POWER && kind == Kind::BusFdo) {
        PoStartNextPowerIrp(irp);
        return PassDown(irp);
    }
    if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL && kind == Kind::Child)
        return ChildInternalIoctl(irp);
    if (kind != Kind::Control)
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (major == IRP_MJ_DEVICE_CONTROL)
        return ControlIoctl(device, irp);
    bool opening = major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
    return CompleteIrp(irp, opening ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

// Wine's root PDO for the bus. PASSIVE_LEVEL.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        NewDevice(driver, nullptr, nullptr, FILE_DEVICE_BUS_EXTENDER, Kind::BusFdo, DO_POWER_PAGABLE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    g_bus.lowerPdo = pdo;
    IoAttachDeviceToDeviceStack(fdo, pdo);
    return STATUS_SUCCESS;
}

}  // namespace

// A device of the bus, of `kind`, with `flags`, ready for requests; named,
// with a DOS link, when the names are given. PASSIVE_LEVEL.
NTSTATUS NewDevice(PDRIVER_OBJECT driver, const WCHAR* name, const WCHAR* linkName, DEVICE_TYPE type, Kind kind,
                   ULONG flags, PDEVICE_OBJECT* created)
{
    UNICODE_STRING string;
    UNICODE_STRING link;
    RtlInitUnicodeString(&string, name);
    RtlInitUnicodeString(&link, linkName);
    PUNICODE_STRING named = name != nullptr ? &string : nullptr;
    ULONG characteristics = kind == Kind::Child ? FILE_AUTOGENERATED_DEVICE_NAME : 0;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Kind), named, type, characteristics, FALSE, created);
    if (!NT_SUCCESS(status))
        return status;
    *static_cast<Kind*>((*created)->DeviceExtension) = kind;
    (*created)->Flags |= flags;
    (*created)->Flags &= ~DO_DEVICE_INITIALIZING;
    return linkName != nullptr ? IoCreateSymbolicLink(&link, &string) : STATUS_SUCCESS;
}

}  // namespace testbus

// Installs the missing kernel routines, then sets up the bus, its control
// device and its open device. PASSIVE_LEVEL.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    using namespace testbus;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = InstallPowerRequestShim();
    if (NT_SUCCESS(status))
        status = StartDevice();
    if (NT_SUCCESS(status))
        status = NewDevice(driver, PONDREL_TEST_BUS_DEVICE_NAME, PONDREL_TEST_BUS_LINK_NAME, FILE_DEVICE_UNKNOWN,
                           Kind::Control, DO_BUFFERED_IO, &device);
    if (NT_SUCCESS(status))
        status = NewDevice(driver, PONDREL_TEST_BUS_OPEN_DEVICE_NAME, PONDREL_TEST_BUS_OPEN_LINK_NAME,
                           FILE_DEVICE_UNKNOWN, Kind::Proxy, DO_BUFFERED_IO, &device);
    if (!NT_SUCCESS(status)) {
        DbgPrint("pondrel test bus: setup failed %08lx\n", status);
        return status;
    }
    device->StackSize = 8;  // the open device passes requests to the function driver's stack
    for (auto& dispatch : driver->MajorFunction)
        dispatch = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}
