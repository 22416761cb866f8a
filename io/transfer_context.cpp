#include "io/transfer_context.h"

#include "io/complete_request.h"

// The one place that decides what a bus status means for a transfer: go on,
// stop quietly, or stop and let the dispatch try a reset. Any IRQL.
BusOutcome ClassifyBusStatus(NTSTATUS Status)
{
    if (NT_SUCCESS(Status)) {
        return BusOutcome::Completed;
    }
    if (Status == STATUS_CANCELLED || Status == STATUS_DEVICE_NOT_CONNECTED) {
        return BusOutcome::Ended;
    }
    return BusOutcome::Failed;
}

// Any IRQL up to DISPATCH_LEVEL.
TransferContext* AllocateTransferContext(DeviceContext* Context, const TransferRequest* Request)
{
    auto* Transfer = static_cast<TransferContext*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TransferContext), PondrelPoolTag));
    if (!Transfer) {
        return nullptr;
    }
    RtlZeroMemory(Transfer, sizeof(TransferContext));
    Transfer->Remaining = static_cast<LONG>(Request->Length);
    Transfer->Device = Context;
    Transfer->Position = Request->Buffer;
    Transfer->PipeHandle = Request->Pipe->PipeHandle;
    Transfer->MaximumPacketSize = Request->Pipe->MaximumPacketSize;
    return Transfer;
}

// The URB is zeroed before it is filled: the bus driver wrote into it
// during the last bus request. Any IRQL up to DISPATCH_LEVEL.
void BuildBulkTransferUrb(TransferContext* Transfer, ULONG TransferFlags, PVOID Buffer, ULONG Length)
{
    _URB_BULK_OR_INTERRUPT_TRANSFER* Urb = &Transfer->Urb;
    RtlZeroMemory(Urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    Urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Urb->Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    Urb->PipeHandle = Transfer->PipeHandle;
    Urb->TransferFlags = TransferFlags;
    Urb->TransferBufferLength = Length;
    Urb->TransferBuffer = Buffer;
    Urb->TransferBufferMDL = nullptr;
    Urb->UrbLink = nullptr;
    Transfer->ChunkLength = static_cast<LONG>(Length);
}

// Any IRQL up to DISPATCH_LEVEL; the request is the bus driver's from the
// call on, until Routine runs.
NTSTATUS SendTransferUrb(PIRP Irp, TransferContext* Transfer, PIO_COMPLETION_ROUTINE Routine)
{
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Next->Parameters.Others.Argument1 = &Transfer->Urb;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(Irp, Routine, Transfer, TRUE, TRUE, TRUE);
    return IofCallDriver(Transfer->Device->LowerDevice, Irp);
}

// The exchange after the call pairs with the one in SenderTakesNextStep:
// only the second of the two sees 1 and goes on. Any IRQL up to
// DISPATCH_LEVEL.
bool SendAndKeepNextStep(PIRP Irp, TransferContext* Transfer, PIO_COMPLETION_ROUTINE Routine, NTSTATUS* Sent)
{
    InterlockedExchange(&Transfer->NextStepTaken, 0);
    *Sent = SendTransferUrb(Irp, Transfer, Routine);
    return InterlockedExchange(&Transfer->NextStepTaken, 1) != 0;
}

// Up to DISPATCH_LEVEL.
bool SenderTakesNextStep(TransferContext* Transfer)
{
    return InterlockedExchange(&Transfer->NextStepTaken, 1) == 0;
}

// Any IRQL up to DISPATCH_LEVEL, no spin lock held. Completing the request
// needs nothing of the device, so it may follow the reference.
void EndTransfer(PIRP Irp, TransferContext* Transfer, NTSTATUS Status, ULONG_PTR Information)
{
    DeviceContext* Device = Transfer->Device;
    ExFreePool(Transfer);
    ReleaseIoReference(Device);
    CompleteRequest(Irp, Status, Information);
}
