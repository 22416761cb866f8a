// The application side's test driver: not PnP, three named devices, one per
// buffering method (buffered, direct, neither), and one left initializing on
// request. It records how each request arrived, can hold reads until a test
// completes or cancels them, and logs creates, cleanups and closes in order.
#pragma once

#include "emulator/kernel/system.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace system_test {

enum EchoKind : ULONG { EchoBuffered = 0, EchoDirect = 1, EchoNeither = 2, EchoLate = 3 };

constexpr ULONG IOCTL_ECHO_BUFFERED = CTL_CODE(0x8000, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_OVERREPORT = CTL_CODE(0x8000, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_FAIL = CTL_CODE(0x8000, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_WARNING = CTL_CODE(0x8000, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_IN_DIRECT = CTL_CODE(0x8000, 0x805, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_OUT_DIRECT = CTL_CODE(0x8000, 0x806, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_ECHO_NEITHER = CTL_CODE(0x8000, 0x807, METHOD_NEITHER, FILE_ANY_ACCESS);

// How the last read, write or device-control request of a device arrived.
struct EchoRequestView {
    KIRQL irql;
    KPROCESSOR_MODE requestorMode;
    PMDL mdl;
    PVOID systemBuffer, mdlVirtualAddress, mdlSystemAddress, userBuffer, type3InputBuffer;
    ULONG mdlByteCount, length, inputLength, irpFlags;  // length: of the transfer, or of the output
    std::vector<uint8_t> data;  // what a write, an input buffer or an IN_DIRECT output carried
};

struct EchoEvent {
    UCHAR major;  // IRP_MJ_CREATE, _CLEANUP or _CLOSE
    PFILE_OBJECT file;
    bool operator==(const EchoEvent&) const = default;
};

// The byte a read delivers at offset i.
inline uint8_t EchoPattern(size_t i)
{
    return static_cast<uint8_t>(i * 7 + 3);
}

// Process-wide, as a driver's globals are; DriverEntry starts it afresh.
// Tests read it under `mutex`.
struct Echo {
    static Echo& Instance();
    static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
    // A device left initializing, as if created outside DriverEntry.
    NTSTATUS CreateLateDevice();
    size_t HeldCount();
    bool WaitHeld(size_t count, std::chrono::milliseconds timeout);
    // Completes the oldest held read with Information bytes of the pattern.
    bool CompleteHeld(NTSTATUS status, ULONG_PTR information);
    std::vector<EchoEvent> Events();
    EchoRequestView Last(ULONG kind);

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT devices[4] = {};
    volatile bool holdReads = false;
    std::mutex mutex;  // guards all below
    std::condition_variable changed;
    std::vector<EchoEvent> events;
    EchoRequestView last[4] = {};
    std::u16string createName[4];  // FileName of the device's last create
    std::deque<PIRP> held;
};

}  // namespace system_test
