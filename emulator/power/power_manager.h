// The power manager inside one emulated machine: the four Po* routines a
// driver calls (declared in wdm.h), the delivery rules for power requests
// and the machine's own system power requests. The harness starts and stops
// it around each machine; tests reach it through emu::Power.
#pragma once

#include "emulator/kernel/system.h"

#include <chrono>
#include <cstdint>

namespace emu::power {

void Startup();
// Reports requests that never completed or are still held for delivery.
void Shutdown();

// Legacy (Windows 2000/XP) delivery: PoCallDriver holds a request while the
// device object is busy with one of the same kind, PoStartNextPowerIrp
// releases it and is counted. Modern: both are plain. Default: modern.
void SetLegacySerialization(bool legacy);
bool LegacySerialization();

// Where PoRequestPowerIrp stores the new request's address: before sending
// it (what Windows does today), or only once the send has returned, by
// which time the request may have completed and been freed (all that the
// platform promises: the address is stored "on return"). Default: before.
void SetIrpAddressStoredOnReturn(bool onReturn);

uint64_t RequestsStarted();        // SET and QUERY requests the power manager sent
uint64_t StartNextPowerIrpCalls();

// Sends one power request to the top of `pdo`'s stack from the calling
// thread (PASSIVE_LEVEL) and waits for it; returns its final status, or
// STATUS_IO_TIMEOUT (with a verifier finding) if it never completes.
NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                     POWER_ACTION action, std::chrono::milliseconds timeout);

// Waits until every power request created so far has been freed (the
// requesters' callbacks have returned); false on timeout.
bool WaitForRequests(std::chrono::milliseconds timeout);

// What the device's driver last told PoSetPowerState (D0 if never).
DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device);
// Drops what is remembered about a device object that is gone.
void ForgetDevice(PDEVICE_OBJECT device);

}  // namespace emu::power
