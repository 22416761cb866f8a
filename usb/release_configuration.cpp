#include "io/read_queue.h"
#include "usb/bus_requests.h"
#include "usb/configuration.h"
#include "usb/pipe_request.h"

namespace {

void FreeAndForget(PVOID* Block)
{
    if (*Block != nullptr) {
        ExFreePool(*Block);
        *Block = nullptr;
    }
}

}  // namespace

// Frees the configuration blocks the context owns and forgets them;
// RemoteWakeCapable stays. PASSIVE_LEVEL, at stop, at removal once I/O has
// drained, and before a start. Calling it again changes nothing.
NTSTATUS FreeConfiguration(PDEVICE_OBJECT DeviceObject)
{
    DeviceContext* context = ContextOf(DeviceObject);
    FreeAndForget(reinterpret_cast<PVOID*>(&context->ConfigDescriptor));
    FreeAndForget(reinterpret_cast<PVOID*>(&context->InterfaceInfo));
    FreeAndForget(reinterpret_cast<PVOID*>(&context->PipeOpenFlags));
    return STATUS_SUCCESS;
}

// Aborts, in pipe order, every pipe on which a handle was opened, and clears
// the open flag of each abort that succeeded. PASSIVE_LEVEL, at surprise
// removal and removal. Stops at the first pipe for which no abort request
// can be allocated (STATUS_INSUFFICIENT_RESOURCES); a failed abort only
// leaves its flag set.
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject)
{
    DeviceContext* context = ContextOf(DeviceObject);
    if (context->InterfaceInfo == nullptr || context->PipeOpenFlags == nullptr) {
        return STATUS_SUCCESS;
    }

    for (ULONG pipe = 0; pipe < context->InterfaceInfo->NumberOfPipes; ++pipe) {
        if (ReadPipeOpenFlag(context, pipe) == 0) {
            continue;
        }
        _URB_PIPE_REQUEST* urb = AllocatePipeRequest();
        if (urb == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        PUSBD_PIPE_INFORMATION entry = &context->InterfaceInfo->Pipes[pipe];
        NTSTATUS status = SubmitUrbSync(DeviceObject, FillPipeRequest(urb, URB_FUNCTION_ABORT_PIPE, entry));
        ExFreePool(urb);
        if (NT_SUCCESS(status)) {
            WritePipeOpenFlag(context, pipe, 0);
        }
    }
    return STATUS_SUCCESS;
}

// Aborts every pipe of the selected interface, open flags untouched: the
// driver does not track which pipe carries each transfer, and aborting a
// pipe with nothing pending changes nothing. PASSIVE_LEVEL, when a stop or
// removal query has waited long enough for transfers in flight. Stops when
// no abort request can be allocated (STATUS_INSUFFICIENT_RESOURCES).
NTSTATUS AbortAllPipes(PDEVICE_OBJECT DeviceObject)
{
    DeviceContext* context = ContextOf(DeviceObject);
    if (context->InterfaceInfo == nullptr) {
        return STATUS_SUCCESS;
    }

    for (ULONG pipe = 0; pipe < context->InterfaceInfo->NumberOfPipes; ++pipe) {
        _URB_PIPE_REQUEST* urb = AllocatePipeRequest();
        if (urb == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        PUSBD_PIPE_INFORMATION entry = &context->InterfaceInfo->Pipes[pipe];
        SubmitUrbSync(DeviceObject, FillPipeRequest(urb, URB_FUNCTION_ABORT_PIPE, entry));
        ExFreePool(urb);
    }
    return STATUS_SUCCESS;
}

// Aborts the one pipe whose handle is Pipe (nothing for a null handle).
// PASSIVE_LEVEL, with the configuration held in force by the caller.
static void AbortPipeOfHandle(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe)
{
    DeviceContext* context = ContextOf(DeviceObject);
    if (Pipe == nullptr || context->InterfaceInfo == nullptr) {
        return;
    }
    for (ULONG pipe = 0; pipe < context->InterfaceInfo->NumberOfPipes; ++pipe) {
        PUSBD_PIPE_INFORMATION entry = &context->InterfaceInfo->Pipes[pipe];
        if (entry->PipeHandle != Pipe) {
            continue;
        }
        _URB_PIPE_REQUEST* urb = AllocatePipeRequest();
        if (urb != nullptr) {
            SubmitUrbSync(DeviceObject, FillPipeRequest(urb, URB_FUNCTION_ABORT_PIPE, entry));
            ExFreePool(urb);
        }
        return;
    }
}

// From its start no bus read begins, and the bus read of the read that
// owns the receive buffer is aborted at once: reads wait for the device to
// come back without holding the drain up, however quiet the pipe. Any
// other request that outlasts the grace period is most likely a transfer
// the device does not answer; the pipes are aborted so that it ends, and
// the wait goes on (aborting again after each further period, in case a
// transfer was being sent again at the moment of the abort, as a bus read
// that passed its check just before the hold may be). PASSIVE_LEVEL, in the
// PnP manager's thread for a query, in a system worker thread before a
// power-down.
void DrainRequestsInFlight(PDEVICE_OBJECT DeviceObject)
{
    DeviceContext* context = ContextOf(DeviceObject);
    AbortPipeOfHandle(DeviceObject, HoldBusReads(context));
    LARGE_INTEGER gracePeriod;
    gracePeriod.QuadPart = -StuckTransferGracePeriod;
    while (KeWaitForSingleObject(&context->QuiesceEvent, Executive, KernelMode, FALSE, &gracePeriod) ==
           STATUS_TIMEOUT) {
        AbortAllPipes(DeviceObject);
    }
}
