// The test bus: a root-enumerated bus driver for running the shipped
// pondrel.sys under Wine. It reports one USB child (the built-in device of
// pondrel-sim), answers the child's PnP and power requests, serves its URBs
// from a simulated device, and takes orders from a control device. Test
// code only; never packaged.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include "tests/wine/test_bus_control.h"

namespace testbus {

constexpr ULONG kTag = 0x54737442;  // 'Btst' in a pool dump
constexpr int kEndpointCount = 5;
constexpr LONG kWaitMs = 10000;  // longest wait for the stack above to answer

// One endpoint of the simulated device. Bulk IN endpoints keep the packets
// the device will send: their bytes, and their sizes, oldest first.
struct Endpoint {
    UCHAR address;
    USHORT maxPacket;
    int peer;         // an OUT endpoint's loopback partner's index, or -1
    bool halted;      // stalled: transfers fail until a pipe reset
    bool stallNext;   // the next submitted transfer stalls
    bool silent;      // NAKs every transfer: they wait
    LIST_ENTRY queue; // pending transfer IRPs (Tail.Overlay.ListEntry)
    UCHAR* ring;      // IN loopback only
    ULONG ringBytes;
    USHORT* sizes;
    ULONG sizeCount;
};

// Everything the bus knows; there is one bus and at most one child.
struct Bus {
    PDEVICE_OBJECT lowerPdo;   // Wine's root PDO, under the bus's own device
    PDEVICE_OBJECT child;      // the child's PDO, while it exists
    bool present;              // reported in BusRelations and on the wire
    bool surprised;            // the child has had its surprise removal
    ULONG childStarts;
    ULONG relationQueries;     // BusRelations queries answered
    bool configured;
    Endpoint endpoints[kEndpointCount];
    int devicePowerState;      // last D-state set on the PDO
    LIST_ENTRY waitWake;       // the held wait-wake request, if any
    KSPIN_LOCK lock;           // guards everything above from `configured` on
    KEVENT work;               // wakes the bus thread
    KEVENT changed;            // any PnP or power event on the child
};

extern Bus g_bus;

// Holds g_bus.lock for a scope.
class Locked {
public:
    Locked() { KeAcquireSpinLock(&g_bus.lock, &irql_); }
    ~Locked() { KeReleaseSpinLock(&g_bus.lock, irql_); }

private:
    KIRQL irql_;
};

// power_shim.cpp
NTSTATUS InstallPowerRequestShim();
NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, SYSTEM_POWER_STATE state = PowerSystemUnspecified);
NTSTATUS WaitEvent(PKEVENT event, LONG milliseconds);

// child.cpp
void Changed();
NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ChildPower(PIRP irp);
NTSTATUS RunCommand(PDRIVER_OBJECT driver, const PondrelTestBusCommand& command);

// open_proxy.cpp
NTSTATUS OpenVerb(const PondrelTestBusCommand& command);
bool IsProxied(PIRP irp);
NTSTATUS ProxyDispatch(PDEVICE_OBJECT device, PIRP irp);

// device.cpp
NTSTATUS StartDevice();
void ResetDevice();
NTSTATUS ChildInternalIoctl(PIRP irp);
void EndTransfers(Endpoint* only, USBD_STATUS forced);
NTSTATUS SetFault(ULONG verb, ULONG address);
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
NTSTATUS KeepStatus(PIRP irp);
bool Hold(PIRP irp, LIST_ENTRY* queue);

}  // namespace testbus
