// The DDK's inline helpers and macros: stack-location steps, interlocked
// operations, MDL accessors. The pointer arithmetic is the DDK's, bit for
// bit; each helper also tells the emulator's verifier what it did, so that
// misuse (a completion routine set after a skip, a pending mark with no
// location of one's own) is reported instead of silently corrupting an IRP.
// Part of wdm.h.
#pragma once

#include "emulator/kernel/wdm_routines.h"

// ---- Interlocked operations (each one passes the scheduling hook) ----
inline LONG InterlockedIncrement(LONG volatile* Addend)
{
    EmuSchedInterlocked(Addend);
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

inline LONG InterlockedDecrement(LONG volatile* Addend)
{
    EmuSchedInterlocked(Addend);
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

inline LONG InterlockedExchange(LONG volatile* Target, LONG Value)
{
    EmuSchedInterlocked(Target);
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    EmuSchedInterlocked(Addend);
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
{
    EmuSchedInterlocked(Destination);
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

inline LONG InterlockedOr(LONG volatile* Destination, LONG Value)
{
    EmuSchedInterlocked(Destination);
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}

inline LONG InterlockedAnd(LONG volatile* Destination, LONG Value)
{
    EmuSchedInterlocked(Destination);
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}

inline LONG64 InterlockedIncrement64(LONG64 volatile* Addend)
{
    EmuSchedInterlocked(Addend);
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

inline LONG64 InterlockedDecrement64(LONG64 volatile* Addend)
{
    EmuSchedInterlocked(Addend);
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    EmuSchedInterlocked(Target);
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand)
{
    EmuSchedInterlocked(Destination);
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

// ---- Stack locations ----
#define IoSizeOfIrp(_StackSize) ((USHORT)(sizeof(IRP) + ((_StackSize) * (sizeof(IO_STACK_LOCATION)))))

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    return Irp->Tail.Overlay.CurrentStackLocation;
}

inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp)
{
    EmuVerifyNextLocation(Irp);
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

inline void IoSetNextIrpStackLocation(PIRP Irp)
{
    EmuVerifySetNextLocation(Irp);
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

inline void IoSkipCurrentIrpStackLocation(PIRP Irp)
{
    EmuVerifySkip(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

inline void IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    EmuVerifyCopyToNext(Irp);
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION nextIrpSp = Irp->Tail.Overlay.CurrentStackLocation - 1;
    RtlCopyMemory(nextIrpSp, irpSp, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    nextIrpSp->Control = 0;
}

inline void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    UCHAR control = 0;
    if (InvokeOnSuccess) {
        control = SL_INVOKE_ON_SUCCESS;
    }
    if (InvokeOnError) {
        control |= SL_INVOKE_ON_ERROR;
    }
    if (InvokeOnCancel) {
        control |= SL_INVOKE_ON_CANCEL;
    }
    EmuVerifyCompletionRoutine(Irp, CompletionRoutine, control);
    PIO_STACK_LOCATION irpSp = Irp->Tail.Overlay.CurrentStackLocation - 1;
    irpSp->CompletionRoutine = CompletionRoutine;
    irpSp->Context = Context;
    irpSp->Control = control;
}

inline void IoMarkIrpPending(PIRP Irp)
{
    EmuVerifyMarkPending(Irp);
    // An atomic OR: the kernel's verifier reads the flag when the dispatch
    // routine returns, possibly while a completion routine sets it.
    __atomic_fetch_or(&IoGetCurrentIrpStackLocation(Irp)->Control, SL_PENDING_RETURNED, __ATOMIC_RELAXED);
}

inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    return (PDRIVER_CANCEL)(ULONG_PTR)InterlockedExchangePointer((PVOID volatile*)&Irp->CancelRoutine,
                                                                 (PVOID)(ULONG_PTR)CancelRoutine);
}

// ---- MDLs ----
#define MmGetMdlVirtualAddress(_Mdl) ((PVOID)((PCHAR)((_Mdl)->StartVa) + (_Mdl)->ByteOffset))
#define MmGetMdlByteCount(_Mdl) ((_Mdl)->ByteCount)
#define MmGetMdlByteOffset(_Mdl) ((_Mdl)->ByteOffset)
#define MmGetMdlPfnArray(_Mdl) ((PPFN_NUMBER)((_Mdl) + 1))

inline PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority)
{
    if (Mdl == NULL) {
        EmuVerifyMdlArgument(Mdl, "MmGetSystemAddressForMdlSafe");
        return NULL;
    }
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return Mdl->MappedSystemVa;
    }
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, Priority);
}
