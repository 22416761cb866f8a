// Requests the echo devices keep until a test releases or cancels them.
#include "tests/system/echo/echo_driver.h"

extern "C" {

static EchoDevice* EchoOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<EchoDevice*>(DeviceObject->DeviceExtension);
}

static BOOLEAN RemoveHeld(EchoDevice* Echo, PIRP Irp)
{
    for (ULONG i = 0; i < EchoMaxHeld; ++i) {
        if (Echo->Held[i] == Irp) {
            Echo->Held[i] = nullptr;
            return TRUE;
        }
    }
    return FALSE;
}

// Cancel routine of a held request. DISPATCH_LEVEL with the cancel lock
// held on entry; the request is completed here.
static void EchoCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    EchoDevice* echo = EchoOf(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&echo->HeldLock, &irql);
    RemoveHeld(echo, Irp);
    KeReleaseSpinLock(&echo->HeldLock, irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Keeps the request; it ends by EchoCompleteHeld or by cancellation.
// Called from dispatch at PASSIVE_LEVEL; always returns STATUS_PENDING.
NTSTATUS EchoHold(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    EchoDevice* echo = EchoOf(DeviceObject);
    IoMarkIrpPending(Irp);
    KIRQL irql;
    KeAcquireSpinLock(&echo->HeldLock, &irql);
    ULONG slot = 0;
    while (slot < EchoMaxHeld && echo->Held[slot] != nullptr) {
        ++slot;
    }
    if (slot == EchoMaxHeld) {
        KeReleaseSpinLock(&echo->HeldLock, irql);
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    (void)IoSetCancelRoutine(Irp, EchoCancel);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&echo->HeldLock, irql);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    echo->Held[slot] = Irp;
    KeReleaseSpinLock(&echo->HeldLock, irql);
    KeSetEvent(&echo->HeldEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

// Takes the oldest held request that is not being cancelled.
static PIRP TakeOldest(EchoDevice* Echo)
{
    KIRQL irql;
    KeAcquireSpinLock(&Echo->HeldLock, &irql);
    PIRP taken = nullptr;
    for (ULONG i = 0; i < EchoMaxHeld && taken == nullptr; ++i) {
        PIRP irp = Echo->Held[i];
        if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Echo->Held[i] = nullptr;
            taken = irp;
        }
    }
    KeReleaseSpinLock(&Echo->HeldLock, irql);
    return taken;
}

static PUCHAR ReadBufferOf(PIRP Irp, ULONG Kind)
{
    if (Kind == EchoDirect) {
        return Irp->MdlAddress == nullptr
                   ? nullptr
                   : static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    }
    if (Kind == EchoNeither) {
        return static_cast<PUCHAR>(Irp->UserBuffer);
    }
    return static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
}

BOOLEAN EchoCompleteHeld(ULONG Kind, NTSTATUS Status, ULONG_PTR Information)
{
    EchoDevice* echo = EchoDeviceOf(Kind);
    PIRP irp = TakeOldest(echo);
    if (irp == nullptr) {
        return FALSE;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PUCHAR buffer = stack->MajorFunction == IRP_MJ_READ ? ReadBufferOf(irp, Kind) : nullptr;
    for (ULONG i = 0; buffer != nullptr && i < Information && i < stack->Parameters.Read.Length; ++i) {
        buffer[i] = EchoPattern(i);
    }
    irp->IoStatus.Status = Status;
    irp->IoStatus.Information = Information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return TRUE;
}

void EchoSetHoldReads(ULONG Kind, BOOLEAN Hold)
{
    EchoDevice* echo = EchoDeviceOf(Kind);
    KIRQL irql;
    KeAcquireSpinLock(&echo->HeldLock, &irql);
    echo->HoldReads = Hold;
    KeReleaseSpinLock(&echo->HeldLock, irql);
}

BOOLEAN EchoHoldsReads(EchoDevice* Echo)
{
    KIRQL irql;
    KeAcquireSpinLock(&Echo->HeldLock, &irql);
    BOOLEAN hold = Echo->HoldReads;
    KeReleaseSpinLock(&Echo->HeldLock, irql);
    return hold;
}

ULONG EchoHeldCount(ULONG Kind)
{
    EchoDevice* echo = EchoDeviceOf(Kind);
    KIRQL irql;
    KeAcquireSpinLock(&echo->HeldLock, &irql);
    ULONG count = 0;
    for (ULONG i = 0; i < EchoMaxHeld; ++i) {
        count += echo->Held[i] != nullptr ? 1 : 0;
    }
    KeReleaseSpinLock(&echo->HeldLock, irql);
    return count;
}

BOOLEAN EchoWaitHeld(ULONG Kind, ULONG Count, ULONG TimeoutMs)
{
    EchoDevice* echo = EchoDeviceOf(Kind);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * TimeoutMs;
    while (EchoHeldCount(Kind) < Count) {
        if (KeWaitForSingleObject(&echo->HeldEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            return EchoHeldCount(Kind) >= Count;
        }
    }
    return TRUE;
}

}  // extern "C"
