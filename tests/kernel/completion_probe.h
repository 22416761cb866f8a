// A completion routine that records what it saw, for completion-walk tests.
#pragma once

#include "tests/kernel/test_stack.h"

#include <functional>

namespace emu::test {

struct CompletionProbe {
    // What the routine does.
    NTSTATUS result = STATUS_CONTINUE_COMPLETION;
    std::function<void(PIRP)> action;  // runs last (it may free the IRP)

    // What it saw on its last call.
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS status = 0;
    IO_STACK_LOCATION lower{};  // the location below the routine's owner, as it was
    PIO_STACK_LOCATION current = nullptr;
};

// The routine for IoSetCompletionRoutine with a CompletionProbe as context.
// When it lets the walk go on with PendingReturned set and has a location,
// it marks the IRP pending, as every completion routine must.
NTSTATUS ProbeCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// The creator's routine for an IRP from IoAllocateIrp: records, frees the
// IRP and returns STATUS_MORE_PROCESSING_REQUIRED.
CompletionProbe FreeingProbe();

// Copies the current location down, sets ProbeCompletion with `probe` and
// the invoke flags, and calls `lower`; returns what it returned.
NTSTATUS ForwardWithProbe(PDEVICE_OBJECT lower, PIRP irp, CompletionProbe* probe, UCHAR invokeFlags);

// Sends an IRP from IoAllocateIrp to the top of `stack` with `creator` as
// its creator's routine (a FreeingProbe frees it); returns what
// IoCallDriver returned.
NTSTATUS SendFreeingIrp(TestStack& stack, CompletionProbe* creator, UCHAR major = IRP_MJ_READ);

}  // namespace emu::test
