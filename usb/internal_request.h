// One internal device-control request to the bus driver, sent and waited
// for in the caller's thread. Shared by the synchronous bus requests.
#pragma once

#include "driver/device_context.h"

// How long the bus driver has to answer: a device must answer a standard
// request within 5 seconds (USB 2.0, 9.2.6.4), and every synchronous bus
// request is held to the same bound. In 100-ns units.
constexpr LONGLONG BusAnswerBound = 5LL * 10 * 1000 * 1000;

// Who finishes a request that outlived the bound: its completion routine
// and the waiter each exchange their mark into Returned; the one that finds
// the other's mark knows what is left to do.
enum RequestMark : LONG {
    RequestCancellable = 0,    // sent, neither side has acted
    RequestCancelStarted = 1,  // the waiter is cancelling it: the routine keeps it
    RequestCancelDone = 2,     // the waiter has cancelled it: the routine lets it go
    RequestReturned = 3,       // the completion routine has run
};

// The event and status block of one synchronous request, in the caller's
// frame. The event is the I/O manager's to signal.
struct InternalRequestWait {
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    LONG Mark;
};

// Builds an IRP_MJ_INTERNAL_DEVICE_CONTROL request for LowerDevice with no
// buffers, Argument placed in the next stack location's Argument1 (when not
// null), and Wait's event (initialised here) signalled on completion. Null
// when the I/O manager has no request to give. PASSIVE_LEVEL.
PIRP BuildInternalRequest(DeviceContext* Context, ULONG IoControlCode, PVOID Argument,
                          InternalRequestWait* Wait);

// Sends a request built above and returns its final status, waiting for the
// completion when the bus driver pends it. A request the bus driver has not
// answered within BusAnswerBound is cancelled, waited for until it comes
// back, and ends with STATUS_IO_TIMEOUT unless it succeeded meanwhile. The
// I/O manager frees the request. PASSIVE_LEVEL.
NTSTATUS CallAndWait(DeviceContext* Context, PIRP Irp, InternalRequestWait* Wait);
