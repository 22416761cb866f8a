// A minimal WDM function driver for the emulated USB device, the client of
// the PnP manager's tests: it logs each PnP request, passes everything down
// to the bus driver, and refuses query-stop and query-remove when told to.
// Written against the platform headers only, like any real driver.
#pragma once

#include "platform/kernel.h"

// What the driver saw, for the tests to read once a request has finished.
struct PassthroughObservations {
    volatile LONG PnpLogCount;
    UCHAR PnpLog[64];               // minor codes of IRP_MJ_PNP in arrival order
    volatile LONG PnpOddArrivals;   // PnP requests not at PASSIVE_LEVEL or not STATUS_NOT_SUPPORTED/0
    volatile LONG UnloadCalls;
    volatile LONG RefuseQueries;    // set by a test: query-stop and query-remove get STATUS_DEVICE_BUSY
};

extern "C" {
extern PassthroughObservations PassthroughSeen;

NTSTATUS PassthroughDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
}
