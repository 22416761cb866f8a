// A non-PnP test driver with three named devices, one per buffering method
// (buffered, direct, neither). It records what each request looked like
// when it arrived, can hold reads until a test completes or cancels them,
// and logs the order of creates, cleanups and closes. It exists to check
// the application side of the I/O manager.
#pragma once

#include "platform/kernel.h"

constexpr ULONG EchoMaxHeld = 8;
constexpr ULONG EchoMaxData = 512;

enum ECHO_KIND : ULONG { EchoBuffered = 0, EchoDirect = 1, EchoNeither = 2, EchoLate = 3 };

constexpr ULONG IOCTL_ECHO_BUFFERED = CTL_CODE(0x8000, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_OVERREPORT = CTL_CODE(0x8000, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_FAIL = CTL_CODE(0x8000, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_WARNING = CTL_CODE(0x8000, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_IN_DIRECT = CTL_CODE(0x8000, 0x805, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_OUT_DIRECT = CTL_CODE(0x8000, 0x806, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_NEITHER = CTL_CODE(0x8000, 0x807, METHOD_NEITHER, FILE_ANY_ACCESS);

// How the last read, write or device-control request arrived.
struct EchoRequestView {
    KIRQL Irql;
    UCHAR RequestorMode;
    BOOLEAN HadMdl;
    BOOLEAN HadSystemBuffer;
    PVOID UserBuffer;
    PVOID Type3InputBuffer;
    PVOID MdlVirtualAddress;   // MmGetMdlVirtualAddress
    PVOID MdlSystemAddress;    // MmGetSystemAddressForMdlSafe
    ULONG MdlByteCount;
    ULONG Length;              // Read/Write length, or OutputBufferLength
    ULONG InputLength;
    ULONG IrpFlags;
    ULONG DataLength;          // bytes of Data: what a write or an input buffer carried
    UCHAR Data[EchoMaxData];
};

struct EchoDevice {
    ULONG Kind;
    EchoRequestView Last;
    USHORT CreateNameLength;       // bytes of the FileName of the last create
};

// Creates, cleanups and closes in the order they arrived.
struct EchoLog {
    volatile LONG Count;
    struct {
        UCHAR Major;
        PFILE_OBJECT File;
    } Entries[128];
};

extern "C" {
extern EchoLog EchoEvents;
extern volatile LONG EchoHoldReads;  // set by a test: reads are held, not answered

NTSTATUS EchoDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

extern PDEVICE_OBJECT EchoDevices[4];  // by ECHO_KIND; null once deleted

// For the tests, at PASSIVE_LEVEL.
ULONG EchoHeldCount();
// Waits until at least Count reads are held; FALSE after TimeoutMs.
BOOLEAN EchoWaitHeld(ULONG Count, ULONG TimeoutMs);
// Completes the oldest held read with Information bytes of the echo pattern.
BOOLEAN EchoCompleteHeld(NTSTATUS Status, ULONG_PTR Information);
// A device left initializing, as if created outside DriverEntry and AddDevice.
NTSTATUS EchoCreateLateDevice();
}

inline EchoDevice* EchoOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<EchoDevice*>(DeviceObject->DeviceExtension);
}

// The byte a read delivers at offset i.
inline UCHAR EchoPattern(ULONG i)
{
    return static_cast<UCHAR>((i * 7 + 3) & 0xFF);
}
