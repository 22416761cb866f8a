// When wait-wake is armed: at PASSIVE_LEVEL, from a work item set aside by
// AddDevice, and never while the driver handles a set or query request of
// its device (the IRP_MN_WAIT_WAKE page asks for both).
#pragma once

#include "driver/device_context.h"

// A set or query request has reached DispatchPower, or the driver's part
// in one has ended (after it completed, or as its completion goes on
// upward). The end that leaves none in hand queues an arming that is
// wanted. Up to DISPATCH_LEVEL.
void PowerRequestArrived(DeviceContext* Context);
void PowerRequestEnded(DeviceContext* Context);

// For the PnP handlers (start, capabilities), which no system request can
// overlap: arms wait-wake at once unless a set or query is in hand, and
// then once it has ended. PASSIVE_LEVEL.
void ArmWaitWakeWhenIdle(DeviceContext* Context);

// Wait-wake is to be armed once no set or query is in hand: queued now if
// none is. Up to DISPATCH_LEVEL. Nothing is armed unless the device is
// running and can wake (ArmWaitWake decides when the work item runs).
void RequestWakeArming(DeviceContext* Context);

// A wait-wake request is being sent (BeginArming) or has been (EndArming,
// which sends a device request held back meanwhile). PASSIVE_LEVEL.
void BeginArming(DeviceContext* Context);
void EndArming(DeviceContext* Context);

// For the system-power path, whose system request is already counted in
// hand: true when an arming is under way and will send the device request
// for `Record` when it ends; false when the caller sends it itself. Up to
// DISPATCH_LEVEL.
bool DeferWhileArming(DeviceContext* Context, SystemPowerContext* Record);
