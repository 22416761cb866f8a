// One internal device-control request to the bus driver, sent and waited
// for in the caller's thread. Shared by the synchronous bus requests.
#pragma once

#include "driver/device_context.h"

// The event and status block of one synchronous request, in the caller's frame.
struct InternalRequestWait {
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
};

// Builds an IRP_MJ_INTERNAL_DEVICE_CONTROL request for LowerDevice with no
// buffers, Argument placed in the next stack location's Argument1 (when not
// null), and Wait's event (initialised here) signalled on completion. Null
// when the I/O manager has no request to give. PASSIVE_LEVEL.
PIRP BuildInternalRequest(DeviceContext* Context, ULONG IoControlCode, PVOID Argument,
                          InternalRequestWait* Wait);

// Sends a request built above and returns its final status, waiting for the
// completion when the bus driver pends it. The I/O manager frees the request.
// PASSIVE_LEVEL.
NTSTATUS CallAndWait(DeviceContext* Context, PIRP Irp, InternalRequestWait* Wait);
