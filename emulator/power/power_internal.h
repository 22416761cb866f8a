// What the power manager's own files share: its system thread, the
// delivery of a request to a device object, and the accounting of
// PoStartNextPowerIrp in the legacy model.
#pragma once

#include "emulator/kernel/system.h"
#include "emulator/system_worker.h"

#include <chrono>

namespace emu::power::detail {

SystemWorker& Worker();
bool Legacy();
bool IrpAddressStoredOnReturn();
void CountRequestStarted();
void CountStartNextCall();

// Hands `irp` to `device` the way PoCallDriver does (queued behind a busy
// request of the same kind in the legacy model, at PASSIVE_LEVEL for a
// pageable device).
NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp);

// True while the calling thread is handing a SET or QUERY request to a
// device object (inside that driver's dispatch routine).
bool DeliveringOnThisThread();

// The request has come back to the power manager: checks in the legacy
// model that every device object it reached called PoStartNextPowerIrp and
// was reached through PoCallDriver, and forgets it.
void RequestFinished(PIRP irp);

// Requests created and not yet freed, and forgetting them at shutdown.
uint64_t OutstandingRequests();
bool WaitForRequests(std::chrono::milliseconds timeout);
void ResetRequests();

// Returns STATUS_PENDING for a request PoCallDriver hands on later, after
// passing it through the relay device (see power_relay.cpp). At the
// caller's IRQL.
NTSTATUS PendThroughRelay(PIRP irp);
void CreateRelay();  // machine start, at PASSIVE_LEVEL
void DeleteRelay();  // machine shutdown
void ForgetRelay();  // machine start: one from an earlier kernel went with it

// Forgets queued deliveries and slots (machine shutdown); returns how many
// requests were still waiting for delivery.
size_t ResetDelivery();

}  // namespace emu::power::detail
