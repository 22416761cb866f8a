// IRP_MJ_SYSTEM_CONTROL requests as the WMI kernel component sends them to a
// device stack: to the top, at PASSIVE_LEVEL, naming the device object of
// the provider that should answer in Parameters.WMI.ProviderId. Every driver
// that is not that provider passes the request down; the bus driver at the
// bottom completes it.
#pragma once

#include "emulator/kernel/system.h"

// The WMI minor codes (wdm.h).
#ifndef IRP_MN_QUERY_ALL_DATA
#define IRP_MN_QUERY_ALL_DATA 0x00
#define IRP_MN_QUERY_SINGLE_INSTANCE 0x01
#define IRP_MN_CHANGE_SINGLE_INSTANCE 0x02
#define IRP_MN_CHANGE_SINGLE_ITEM 0x03
#define IRP_MN_ENABLE_EVENTS 0x04
#define IRP_MN_DISABLE_EVENTS 0x05
#define IRP_MN_ENABLE_COLLECTION 0x06
#define IRP_MN_DISABLE_COLLECTION 0x07
#define IRP_MN_REGINFO 0x08
#define IRP_MN_EXECUTE_METHOD 0x09
#define IRP_MN_REGINFO_EX 0x0B
#endif

namespace emu::pnp {

// A provider ID that names no device object of the emulated stacks: the
// provider of the data block lives elsewhere.
constexpr ULONG_PTR ElsewhereProvider = 0x574D4900;

// Sends one WMI request to the top of `pdo`'s stack and waits for it;
// returns its final status. The request carries a GUID and a buffer that
// stay valid until it is back.
NTSTATUS SendSystemControl(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR providerId);

// "IRP_MN_QUERY_ALL_DATA" for 0x00, for findings.
const char* WmiMinorName(UCHAR minor);

}  // namespace emu::pnp
