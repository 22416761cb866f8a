// What Wine 8.0's kernel lacks and the power manager would do: a working
// PoRequestPowerIrp, patched over Wine's stub for every driver of this
// process, and the sending of power and PnP requests to the child's stack.
#include "tests/wine/test_bus.h"

namespace testbus {
namespace {

// ZwProtectVirtualMemory, which the DDK headers do not declare.
using ProtectRoutine = NTSTATUS(NTAPI*)(HANDLE, PVOID*, PSIZE_T, ULONG, PULONG);

struct PowerRequest {
    PDEVICE_OBJECT device;  // as the caller passed it
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE done;
    PVOID context;
};

// Runs after every driver of the stack has completed the request: the
// requester's callback, then the request is freed, as the power manager does.
// DISPATCH_LEVEL at most.
NTSTATUS PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* request = static_cast<PowerRequest*>(context);
    if (request->done != nullptr)
        request->done(request->device, request->minor, request->state, request->context, &irp->IoStatus);
    ExFreePoolWithTag(request, kTag);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a new request, filled by `fill`, to the top of `device`'s stack,
// with `done` as its last completion routine; stores its address first.
// False when there is no memory for it. DISPATCH_LEVEL at most.
template <typename Fill>
bool SendNew(PDEVICE_OBJECT device, Fill fill, PIO_COMPLETION_ROUTINE done, PVOID context, PIRP* out = nullptr)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp != nullptr) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        fill(IoGetNextIrpStackLocation(irp));
        IoSetCompletionRoutine(irp, done, context, TRUE, TRUE, TRUE);
        if (out != nullptr)
            *out = irp;
        IoCallDriver(top, irp);
    }
    ObDereferenceObject(top);
    return irp != nullptr;
}

// PoRequestPowerIrp as the platform documents it: a new request to the top
// of the device's stack, its address stored before it is sent, STATUS_PENDING
// returned whatever happens to it. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS NTAPI RequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                               PREQUEST_POWER_COMPLETE done, PVOID context, PIRP* out)
{
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    auto* request = static_cast<PowerRequest*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequest), kTag));
    if (request == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *request = {device, minor, state, done, context};
    auto fill = [&](PIO_STACK_LOCATION next) {
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = minor;
        if (minor == IRP_MN_WAIT_WAKE) {
            next->Parameters.WaitWake.PowerState = state.SystemState;
            return;
        }
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = state;
    };
    if (SendNew(device, fill, PowerRequestDone, request, out))
        return STATUS_PENDING;
    ExFreePoolWithTag(request, kTag);
    return STATUS_INSUFFICIENT_RESOURCES;
}

// What a request the bus waits for leaves: its status, and room for the
// capabilities a query fills.
struct Waiter {
    KEVENT done;
    NTSTATUS status;
    DEVICE_CAPABILITIES caps;
};

// The end of a request the bus sent and waits for. DISPATCH_LEVEL at most.
NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* waiter = static_cast<Waiter*>(context);
    waiter->status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    KeSetEvent(&waiter->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request built by `fill` to the top of the PDO's stack and waits
// for its end. The wait is bounded: a stack that never answers leaves the
// request (and the waiter) behind rather than hanging the test.
// PASSIVE_LEVEL.
template <typename Fill>
NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, Fill fill)
{
    auto* waiter = static_cast<Waiter*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Waiter), kTag));
    if (waiter == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(&waiter->done, NotificationEvent, FALSE);
    RtlZeroMemory(&waiter->caps, sizeof waiter->caps);
    waiter->caps.Size = sizeof waiter->caps;
    waiter->caps.Version = 1;
    waiter->caps.Address = waiter->caps.UINumber = 0xFFFFFFFF;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (SendNew(pdo, [&](PIO_STACK_LOCATION next) { fill(next, &waiter->caps); }, SignalDone, waiter)) {
        if (WaitEvent(&waiter->done, 2 * kWaitMs) == STATUS_TIMEOUT)
            return STATUS_IO_TIMEOUT;
        status = waiter->status;
    }
    ExFreePoolWithTag(waiter, kTag);
    return status;
}

}  // namespace

// Waits for `event` at most `milliseconds`. PASSIVE_LEVEL.
NTSTATUS WaitEvent(PKEVENT event, LONG milliseconds)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = milliseconds * kMillisecond;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
}

// A system power request, as the power manager sends it. PASSIVE_LEVEL.
NTSTATUS SendPowerAndWait(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    return SendAndWait(pdo, [&](PIO_STACK_LOCATION next, PDEVICE_CAPABILITIES) {
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = minor;
        next->Parameters.Power.Type = SystemPowerState;
        next->Parameters.Power.State.SystemState = state;
        next->Parameters.Power.ShutdownType = action;
    });
}

// The capabilities query the PnP manager sends after a start, top of the
// stack first, which Wine 8.0 does not send. PASSIVE_LEVEL.
NTSTATUS SendCapabilitiesQuery(PDEVICE_OBJECT pdo)
{
    return SendAndWait(pdo, [&](PIO_STACK_LOCATION next, PDEVICE_CAPABILITIES caps) {
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        next->Parameters.DeviceCapabilities.Capabilities = caps;
    });
}

// A PnP request with no parameters, as the PnP manager sends it. PASSIVE_LEVEL.
NTSTATUS SendPnpAndWait(PDEVICE_OBJECT pdo, UCHAR minor)
{
    return SendAndWait(pdo, [&](PIO_STACK_LOCATION next, PDEVICE_CAPABILITIES) {
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = minor;
    });
}

// Writes `movabs rax, RequestPowerIrp; jmp rax` over the first 12 bytes of
// ntoskrnl's PoRequestPowerIrp, a stub in Wine 8.0 that ends the process.
// Every driver in this process (they all share one ntoskrnl) then reaches
// the routine above; no driver file is changed. PASSIVE_LEVEL.
NTSTATUS InstallPowerRequestShim()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"PoRequestPowerIrp");
    auto* target = static_cast<UCHAR*>(MmGetSystemRoutineAddress(&name));
    RtlInitUnicodeString(&name, L"ZwProtectVirtualMemory");
    auto protect = reinterpret_cast<ProtectRoutine>(MmGetSystemRoutineAddress(&name));
    if (target == nullptr || protect == nullptr)
        return STATUS_PROCEDURE_NOT_FOUND;
    PVOID base = target;
    SIZE_T size = 12;
    ULONG old = 0;
    NTSTATUS status = protect(NtCurrentProcess(), &base, &size, PAGE_EXECUTE_READWRITE, &old);
    if (!NT_SUCCESS(status))
        return status;
    auto address = reinterpret_cast<ULONG_PTR>(&RequestPowerIrp);
    target[0] = 0x48;
    target[1] = 0xB8;
    RtlCopyMemory(target + 2, &address, sizeof address);
    target[10] = 0xFF;
    target[11] = 0xE0;
    base = target;
    size = 12;
    return protect(NtCurrentProcess(), &base, &size, old, &old);
}

}  // namespace testbus
