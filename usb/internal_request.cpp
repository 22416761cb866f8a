#include "usb/internal_request.h"

// Runs when the bus driver completes the request, at up to DISPATCH_LEVEL.
// A request the waiter is cancelling is kept for the waiter to complete
// again; any other goes on to the I/O manager, which signals the event and
// frees it.
static NTSTATUS NTAPI InternalRequestReturned(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    auto* Wait = static_cast<InternalRequestWait*>(Context);
    if (InterlockedExchange(&Wait->Mark, RequestReturned) == RequestCancelStarted) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return STATUS_SUCCESS;
}

PIRP BuildInternalRequest(DeviceContext* Context, ULONG IoControlCode, PVOID Argument,
                          InternalRequestWait* Wait)
{
    KeInitializeEvent(&Wait->Event, NotificationEvent, FALSE);
    Wait->Mark = RequestCancellable;
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Context->LowerDevice, nullptr, 0, nullptr, 0,
                                             TRUE, &Wait->Event, &Wait->IoStatus);
    if (irp == nullptr) {
        return nullptr;
    }
    if (Argument != nullptr) {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument;
    }
    IoSetCompletionRoutine(irp, InternalRequestReturned, Wait, TRUE, TRUE, TRUE);
    return irp;
}

// Waits for the event in periods of BusAnswerBound: true when it came within
// the first. The request is the bus driver's until the event is signalled,
// however long that takes, so the wait goes on after the first period.
// PASSIVE_LEVEL.
static bool WaitWithinBound(InternalRequestWait* Wait)
{
    LARGE_INTEGER bound;
    bound.QuadPart = -BusAnswerBound;
    return KeWaitForSingleObject(&Wait->Event, Executive, KernelMode, FALSE, &bound) != STATUS_TIMEOUT;
}

// The bound has passed: the request is cancelled unless it returned
// meanwhile, completed again if it returned while being cancelled, and
// waited for. PASSIVE_LEVEL.
static void CancelAndWait(PIRP Irp, InternalRequestWait* Wait)
{
    if (InterlockedExchange(&Wait->Mark, RequestCancelStarted) == RequestCancellable) {
        IoCancelIrp(Irp);
        if (InterlockedExchange(&Wait->Mark, RequestCancelDone) == RequestReturned) {
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
        }
    }
    while (!WaitWithinBound(Wait)) {
    }
}

// The status block is read only after a pending request: a request failed at
// once does not write it.
NTSTATUS CallAndWait(DeviceContext* Context, PIRP Irp, InternalRequestWait* Wait)
{
    NTSTATUS status = IofCallDriver(Context->LowerDevice, Irp);
    if (status != STATUS_PENDING) {
        return status;
    }
    if (WaitWithinBound(Wait)) {
        return Wait->IoStatus.Status;
    }
    CancelAndWait(Irp, Wait);
    status = Wait->IoStatus.Status;
    return NT_SUCCESS(status) ? status : STATUS_IO_TIMEOUT;
}
