// The per-device record: it lives in the device object's extension, is
// created zeroed by IoCreateDevice and reached from every routine of the
// driver through the device object or a context pointer.
#pragma once

#include "platform/usb.h"

// Pool tag of every allocation the driver makes ("Bulk" read little-endian).
constexpr ULONG PondrelPoolTag = 0x6B6C7542;

// Fixed limits of the data path.
constexpr ULONG MaximumPipeIndex = 5;
constexpr ULONG MaximumTransferLength = 65536;
constexpr ULONG WriteChunkLength = 768;
constexpr ULONG BusReadLength = 2048;
constexpr ULONG ReceiveBufferLength = 16384;

// The Plug and Play state of the device. Only the transition helper of the
// PnP code writes it, under StateLock.
enum DEVICE_PNP_STATE : LONG {
    DeviceNew = 0,              // created by AddDevice, not yet started
    DeviceStopped = 1,          // stopped for a resource rebalance; may start again
    DeviceRunning = 2,          // started and configured; I/O is accepted
    DeviceStopPending = 3,      // a stop was queried and agreed; I/O is refused
    DeviceRemovePending = 4,    // a removal was queried and agreed; I/O is refused
    DeviceSurpriseRemoved = 5,  // the device is gone from the bus
    DeviceRemoved = 6,          // removal has begun; only cleanup and close are served
};

struct SystemPowerContext;
struct PowerDrainContext;

struct DeviceContext {
    PDEVICE_OBJECT LowerDevice;       // target of every request passed on and every URB
    PDEVICE_OBJECT PhysicalDevice;    // the bus driver's PDO given to AddDevice
    UNICODE_STRING InterfaceLinkName; // device interface symbolic link
    DEVICE_CAPABILITIES Capabilities; // snapshot taken at IRP_MN_QUERY_CAPABILITIES

    // Configuration in force; owned here, allocated and freed by usb/.
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    PUCHAR PipeOpenFlags;

    DEVICE_PNP_STATE PnpState;
    DEVICE_PNP_STATE PreviousPnpState;
    KSPIN_LOCK StateLock;             // guards PnpState, PreviousPnpState and the PipeOpenFlags bytes

    SYSTEM_POWER_STATE CurrentSystemPower;
    DEVICE_POWER_STATE CurrentDevicePower;

    KEVENT FinalReleaseEvent;         // signalled when IoRefCount reaches 0
    KEVENT QuiesceEvent;              // notification: signalled while no request is in flight (count 1)
    LONG IoRefCount;                  // the device's own reference plus one per request in flight
    KSPIN_LOCK IoRefLock;             // guards IoRefCount together with its two events

    // Wait-wake bookkeeping (power/wait_wake.cpp); changed by interlocked
    // operations only. While DisarmWaitWake is cancelling the request,
    // WakeIrp holds its address with the lowest bit set: still the driver's
    // own request, no longer armed. While ArmWaitWake waits for the new
    // request's address, it holds an arming mark with the second bit set.
    PIRP WakeIrp;
    LONG WakeCancelFlag;
    LONG WakeOutstanding;
    LONG RemoteWakeCapable;

    KSPIN_LOCK ReceiveLock;           // guards ReceiveBuffer and ReceiveCount
    UCHAR ReceiveBuffer[ReceiveBufferLength];
    LONG ReceiveCount;

    // ---- Beyond the fields above, in sections owned by one folder each. ----

    // io/: the read that owns the receive buffer (the only one that takes
    // bytes from it or has a bus read filling it), the pipe of its bus read
    // once it has sent one, the reads waiting for it, in arrival order, and
    // 1 from the start of a drain until the device is back (no bus read
    // starts meanwhile). Guarded by ReadQueueLock, never held together with
    // another of the driver's locks.
    PIRP ActiveRead;
    USBD_PIPE_HANDLE BusReadPipe;
    LIST_ENTRY ReadQueue;
    KSPIN_LOCK ReadQueueLock;
    LONG BusReadsHeld;

    // power/ (wait-wake): the armed wait-wake request and the power request
    // that follows a wake may still run after the device has left
    // DeviceRunning; stop and removal wait for them here before the
    // configuration is released or the device object deleted. The count
    // holds one bias reference of its own, given back only while a waiter
    // drains it; WakeFollowUpIdleEvent (synchronization) is set by whoever
    // takes the count to 0.
    LONG WakeFollowUpCount;
    KEVENT WakeFollowUpIdleEvent;

    // power/ (drain): power drains queued and not yet finished (the work
    // item has passed its request down). Stop and removal wait for them, so
    // that no drain waits, aborts pipes or takes references again on a
    // device that is being torn down. Same bias scheme as the wake
    // follow-ups; PowerDrainIdleEvent (synchronization) is set by whoever
    // takes the count to 0.
    LONG PowerDrainCount;
    KEVENT PowerDrainIdleEvent;

    // power/: system power requests waiting for the device request asked
    // for on their behalf (one at a time in practice); a drain gives back
    // their references too. Changed by interlocked operations only.
    LONG SystemPowerWaiting;

    // power/ (reserve): what a set request needs, set aside by AddDevice,
    // since a set may not fail for want of pool (one system request and its
    // device request are in hand at once). Each is taken and given back by
    // an interlocked exchange of its pointer; null while in use.
    SystemPowerContext* ReservedSystemPower;
    PowerDrainContext* ReservedDrain;  // with its own work item

    // power/ (wake arming): set and query requests the driver is handling
    // (from DispatchPower until its part in them ends), whether wait-wake
    // is to be armed once none is (WakeArmState), and the work item that
    // arms it at PASSIVE_LEVEL. Interlocked only.
    LONG PowerRequestsInHand;
    LONG WakeArmState;
    PIO_WORKITEM WakeArmWorkItem;
    // power/ (wake arming): set while a wait-wake request is being sent;
    // a device request for a system request that comes meanwhile waits in
    // DeferredDevicePower and the arming sends it. Interlocked only.
    LONG WakeArmingActive;
    SystemPowerContext* DeferredDevicePower;
};

// The context of a device object of this driver.
inline DeviceContext* ContextOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<DeviceContext*>(DeviceObject->DeviceExtension);
}

LONG AcquireIoReference(DeviceContext* Context);
LONG ReleaseIoReference(DeviceContext* Context);
// For a request that may run only on a started device: takes its I/O
// reference, then looks at the state; false (and the reference given back)
// when the device is not DeviceRunning.
bool AcquireIoReferenceIfRunning(DeviceContext* Context);

// One byte of PipeOpenFlags, read or written under StateLock: creates,
// closes and the abort at removal may reach the same byte at once. The
// flags must exist (a configuration in force, held there by the caller's
// I/O reference or by the PnP path). Any IRQL up to DISPATCH_LEVEL.
inline UCHAR ReadPipeOpenFlag(DeviceContext* Context, ULONG Index)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Context->StateLock, &OldIrql);
    const UCHAR Flag = Context->PipeOpenFlags[Index];
    KeReleaseSpinLock(&Context->StateLock, OldIrql);
    return Flag;
}

inline void WritePipeOpenFlag(DeviceContext* Context, ULONG Index, UCHAR Flag)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&Context->StateLock, &OldIrql);
    Context->PipeOpenFlags[Index] = Flag;
    KeReleaseSpinLock(&Context->StateLock, OldIrql);
}

// PnpState as another thread may be changing it: an interlocked read, so
// that the read is ordered with the transition that StateLock guards.
// Any IRQL.
inline DEVICE_PNP_STATE CurrentPnpState(DeviceContext* Context)
{
    return static_cast<DEVICE_PNP_STATE>(
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&Context->PnpState), 0, 0));
}
