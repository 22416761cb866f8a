// Ending a request that the driver finishes itself.
#pragma once

#include "platform/kernel.h"

// The priority boost of every create, close, cleanup, read, write and
// device-control request that the driver completes.
constexpr CCHAR RequestPriorityBoost = 2;

// Sets the request's status block and completes it. Any IRQL up to
// DISPATCH_LEVEL, with no spin lock held. The request belongs to the I/O
// manager afterwards; the caller must not touch it again. Returns Status so
// that a dispatch routine can return what it completed with.
inline NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, RequestPriorityBoost);
    return Status;
}
