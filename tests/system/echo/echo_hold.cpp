// Requests the echo devices keep until a test completes or cancels them.
#include "tests/system/echo/echo_driver.h"

extern "C" {

// Cancel routine of a held request. DISPATCH_LEVEL with the cancel lock
// held on entry; the request is completed here.
static void EchoCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    EchoDevice* echo = EchoOf(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&echo->HeldLock, &irql);
    for (ULONG i = 0; i < EchoMaxHeld; ++i) {
        if (echo->Held[i] == Irp) {
            echo->Held[i] = nullptr;
        }
    }
    KeReleaseSpinLock(&echo->HeldLock, irql);
    EchoComplete(Irp, STATUS_CANCELLED, 0);
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
    NTSTATUS refusal = slot == EchoMaxHeld ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    if (NT_SUCCESS(refusal)) {
        (void)IoSetCancelRoutine(Irp, EchoCancel);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            refusal = STATUS_CANCELLED;
        } else {
            echo->Held[slot] = Irp;  // a cancel routine already running takes it out again
        }
    }
    KeReleaseSpinLock(&echo->HeldLock, irql);
    if (NT_SUCCESS(refusal)) {
        KeSetEvent(&echo->HeldEvent, IO_NO_INCREMENT, FALSE);
    } else {
        EchoComplete(Irp, refusal, 0);
    }
    return STATUS_PENDING;
}

// A held request whose cancel routine is already gone is being cancelled,
// and is left to its cancel routine.
BOOLEAN EchoCompleteHeld(ULONG Kind, NTSTATUS Status, ULONG_PTR Information)
{
    EchoDevice* echo = EchoDeviceOf(Kind);
    PIRP irp = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&echo->HeldLock, &irql);
    for (ULONG i = 0; i < EchoMaxHeld && irp == nullptr; ++i) {
        if (echo->Held[i] != nullptr && IoSetCancelRoutine(echo->Held[i], nullptr) != nullptr) {
            irp = echo->Held[i];
            echo->Held[i] = nullptr;
        }
    }
    KeReleaseSpinLock(&echo->HeldLock, irql);
    if (irp == nullptr) {
        return FALSE;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_READ) {
        ULONG length = stack->Parameters.Read.Length;
        EchoFill(EchoBufferOf(irp, Kind), Information < length ? static_cast<ULONG>(Information) : length);
    }
    EchoComplete(irp, Status, Information);
    return TRUE;
}

void EchoSetHoldReads(ULONG Kind, BOOLEAN Hold)
{
    InterlockedExchange(&EchoDeviceOf(Kind)->HoldReads, Hold);
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
