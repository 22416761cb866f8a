// A minimal WDM function driver for the emulated USB device, used as the
// client of the system tests: it forwards what it does not handle to the
// bus driver below, turns reads and writes on its pipe handles into bulk
// URBs, and owns its stack's power policy in the simplest correct way.
// Written against the platform headers only, like any real driver.
#pragma once

#include "platform/kernel.h"
#include "platform/usb.h"

// "PsTh" read little-endian.
constexpr ULONG PassthroughPoolTag = 0x68547350;

// Life of the device as this driver sees it.
enum PASSTHROUGH_STATE : LONG {
    PassthroughAdded = 0,            // attached, not started
    PassthroughStarted = 1,          // configured; I/O accepted
    PassthroughStopPending = 2,      // stop or removal agreed; I/O refused
    PassthroughStopped = 3,          // deconfigured for a rebalance
    PassthroughSurpriseRemoved = 4,  // gone from the bus
    PassthroughRemoved = 5,          // removal under way; only cleanup and close
};

struct PassthroughDevice {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;           // target of everything passed on
    PDEVICE_OBJECT Pdo;             // target of this driver's own power requests
    UNICODE_STRING InterfaceName;   // from IoRegisterDeviceInterface
    volatile LONG State;            // PASSTHROUGH_STATE, written by PnP dispatch only
    LONG StateBeforeQuery;          // restored by a cancel of stop or removal
    volatile LONG InterfaceEnabled; // so that removal disables it once
    volatile LONG IoCount;          // 1 for the device itself + 1 per transfer in flight
    KEVENT IdleEvent;               // signalled when IoCount reaches 0
    PUSB_CONFIGURATION_DESCRIPTOR Config;  // from the bus, freed at stop and removal
    PUSBD_INTERFACE_INFORMATION Interface; // copy of the selected interface
    DEVICE_CAPABILITIES Capabilities;      // as the bus reported them
    volatile LONG DevicePower;             // DEVICE_POWER_STATE in force
};

// What the driver saw, for the tests to read once a request has finished.
struct PassthroughObservations {
    volatile LONG PnpLogCount;
    UCHAR PnpLog[64];               // minor codes of IRP_MJ_PNP in arrival order
    volatile LONG PnpOddArrivals;   // PnP requests not at PASSIVE_LEVEL or not STATUS_NOT_SUPPORTED/0
    volatile LONG SystemPowerRequests;
    volatile LONG DevicePowerRequests;
    volatile LONG WrongPowerIrql;   // power requests dispatched above PASSIVE_LEVEL
    volatile LONG DeviceRequestsFailed;
    volatile LONG UnloadCalls;
};

extern "C" {
extern PassthroughObservations PassthroughSeen;

NTSTATUS PassthroughDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Shared by the pieces of the driver.
LONG PassthroughAcquireIo(PassthroughDevice* Device);
void PassthroughReleaseIo(PassthroughDevice* Device);
NTSTATUS PassthroughSubmitUrb(PassthroughDevice* Device, PURB Urb);
NTSTATUS PassthroughConfigure(PassthroughDevice* Device);
void PassthroughDeconfigure(PassthroughDevice* Device, BOOLEAN TellDevice);
void PassthroughDisableInterface(PassthroughDevice* Device);

NTSTATUS PassthroughDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PassthroughDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PassthroughDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PassthroughDispatchCleanupClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PassthroughDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PassthroughDispatchForward(PDEVICE_OBJECT DeviceObject, PIRP Irp);
}

inline PassthroughDevice* PassthroughOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PassthroughDevice*>(DeviceObject->DeviceExtension);
}

inline NTSTATUS PassthroughComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The interface class the driver registers: {2F0C6B9E-4D1A-4C77-9E3B-7A51D0C8E612}.
constexpr GUID PassthroughInterfaceClass = {0x2F0C6B9E, 0x4D1A, 0x4C77, {0x9E, 0x3B, 0x7A, 0x51, 0xD0, 0xC8, 0xE6, 0x12}};
