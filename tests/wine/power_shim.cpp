// What Wine 8.0's kernel lacks and the power manager would do: a working
// PoRequestPowerIrp, patched over Wine's stub for every driver of this
// process, and the sending of power and PnP requests to the child's stack.
#include "tests/wine/test_bus.h"

namespace testbus {
namespace {

// ZwProtectVirtualMemory, which the DDK headers do not declare.
using ProtectRoutine = NTSTATUS(NTAPI*)(HANDLE, PVOID*, PSIZE_T, ULONG, PULONG);

// A request the bus sends: for PoRequestPowerIrp, the requester's callback;
// for the bus's own requests, the event, status and capabilities it waits for.
struct Sent {
    PDEVICE_OBJECT device;  // as the caller passed it
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE done;
    PVOID context;
    bool waited;  // by the bus, which frees the record
    KEVENT finished;
    NTSTATUS status;
    DEVICE_CAPABILITIES caps;
    UCHAR wmiBuffer[256];  // a WMI request's output buffer
};

// The data block a WMI request asks for: no provider's.
const GUID kQueriedBlock = {0x5f1c2d3e, 0x4a5b, 0x4c6d, {0x8e, 0x9f, 0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5}};

// Runs after every driver of the stack has completed the request: the
// requester's callback and the record freed, as the power manager does, or
// the waiting bus woken. DISPATCH_LEVEL at most.
NTSTATUS SentDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* sent = static_cast<Sent*>(context);
    IO_STATUS_BLOCK result = irp->IoStatus;
    IoFreeIrp(irp);
    sent->status = result.Status;
    if (sent->waited) {
        KeSetEvent(&sent->finished, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (sent->done != nullptr)
        sent->done(sent->device, sent->minor, sent->state, sent->context, &result);
    ExFreePoolWithTag(sent, kTag);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a new request, described by `what`, to the top of its device's
// stack, with SentDone as its last completion routine; stores its address
// first. The record it sends, or null when there is no memory for it (a
// record that is not waited for may be gone already). DISPATCH_LEVEL at most.
Sent* Send(UCHAR major, const Sent& what, PIRP* out)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(what.device);
    auto* sent = static_cast<Sent*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Sent), kTag));
    PIRP irp = sent != nullptr ? IoAllocateIrp(top->StackSize, FALSE) : nullptr;
    if (irp == nullptr) {
        if (sent != nullptr)
            ExFreePoolWithTag(sent, kTag);
        ObDereferenceObject(top);
        return nullptr;
    }
    *sent = what;
    KeInitializeEvent(&sent->finished, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = sent->minor;
    if (major == IRP_MJ_PNP) {
        next->Parameters.DeviceCapabilities.Capabilities = &sent->caps;  // read by the capabilities query alone
    } else if (major == IRP_MJ_SYSTEM_CONTROL) {
        next->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(g_bus.lowerPdo);  // not in the child's stack
        next->Parameters.WMI.DataPath = const_cast<GUID*>(&kQueriedBlock);
        next->Parameters.WMI.BufferSize = sizeof sent->wmiBuffer;
        next->Parameters.WMI.Buffer = sent->wmiBuffer;
    } else if (sent->minor == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = sent->state.SystemState;
    } else {
        next->Parameters.Power.Type = sent->waited ? SystemPowerState : DevicePowerState;
        next->Parameters.Power.State = sent->state;
    }
    IoSetCompletionRoutine(irp, SentDone, sent, TRUE, TRUE, TRUE);
    if (out != nullptr)
        *out = irp;
    IoCallDriver(top, irp);
    ObDereferenceObject(top);
    return sent;
}

// PoRequestPowerIrp as the platform documents it: a new request to the top
// of the device's stack, its address stored before it is sent, STATUS_PENDING
// returned whatever happens to it. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS NTAPI RequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                               PREQUEST_POWER_COMPLETE done, PVOID context, PIRP* out)
{
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    Sent what{device, minor, state, done, context, false, {}, STATUS_PENDING, {}, {}};
    return Send(IRP_MJ_POWER, what, out) != nullptr ? STATUS_PENDING : STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

// Waits for `event` at most `milliseconds`. PASSIVE_LEVEL.
NTSTATUS WaitEvent(PKEVENT event, LONG milliseconds)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = milliseconds * -10000LL;  // relative, in 100 ns units
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
}

// A request as the PnP, power manager or WMI sends it (a power one is a
// system power request), to the top of the PDO's stack; waits for its end. The
// wait is bounded: a stack that never answers leaves the request (and its
// record) behind rather than hanging the test. PASSIVE_LEVEL.
NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, SYSTEM_POWER_STATE state)
{
    Sent what{pdo, minor, {}, nullptr, nullptr, true, {}, STATUS_PENDING, {}, {}};
    what.state.SystemState = state;
    what.caps.Size = sizeof what.caps;
    what.caps.Version = 1;
    what.caps.Address = what.caps.UINumber = 0xFFFFFFFF;
    Sent* sent = Send(major, what, nullptr);
    if (sent == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (WaitEvent(&sent->finished, 2 * kWaitMs) == STATUS_TIMEOUT)
        return STATUS_IO_TIMEOUT;
    NTSTATUS status = sent->status;
    ExFreePoolWithTag(sent, kTag);
    return status;
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
    UCHAR jump[12] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};
    auto address = reinterpret_cast<ULONG_PTR>(&RequestPowerIrp);
    RtlCopyMemory(jump + 2, &address, sizeof address);
    PVOID base = target;
    SIZE_T size = sizeof jump;
    ULONG old = 0;
    NTSTATUS status = protect(NtCurrentProcess(), &base, &size, PAGE_EXECUTE_READWRITE, &old);
    if (!NT_SUCCESS(status))
        return status;
    RtlCopyMemory(target, jump, sizeof jump);
    return protect(NtCurrentProcess(), &base, &size, old, &old);
}

}  // namespace testbus
