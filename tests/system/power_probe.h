// The function driver of the PnP and power managers' tests: it sits on the
// emulated device's PDO under a name that can be opened, logs each PnP
// request, records how each power request reaches it, and forwards it (or
// holds it, or breaks a power rule, or refuses a query) as the test
// configures.
#pragma once

#include "emulator/kernel/system.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace system_test {

enum class StartNext { Never = 0, Once = 1, Twice = 2 };  // PoStartNextPowerIrp calls

struct ProbeConfig {
    StartNext startNext = StartNext::Once;  // PoStartNextPowerIrp calls per request it forwards
    bool forwardWithIoCallDriver = false;   // instead of PoCallDriver
    bool holdDeviceRequests = false;        // keep device SET/QUERY until ReleaseHeld()
    bool failSystemQuery = false;           // refuse system QUERY_POWER
    bool copyPagable = true;                // inherit DO_POWER_PAGABLE in AddDevice
};

struct ProbeArrival {
    UCHAR minor;
    POWER_STATE_TYPE type;
    POWER_STATE state;
    SYSTEM_POWER_STATE waitWakeState;
    POWER_ACTION action;
    KIRQL irql;
    CHAR stackCount;
    CHAR currentLocation;
    IO_STATUS_BLOCK initialStatus;
    PIRP irp;
    PIRP outPointer;  // what the requester's out-pointer held when the request arrived
};

// What the PoRequestPowerIrp callback was called with.
struct ProbeCallback {
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;
    NTSTATUS status;
    size_t completionsBefore;  // how many times the probe's completion routine had run by then
};

// What the probe saw; read as a copy through PowerProbe::Seen().
struct ProbeSeen {
    std::vector<ProbeArrival> arrivals;  // power requests
    std::vector<ProbeCallback> callbacks;
    size_t completions = 0;
    size_t forwarded = 0;                // power requests passed down
    std::vector<UCHAR> pnp;              // minor codes of IRP_MJ_PNP in arrival order
    int oddPnpArrivals = 0;              // not at PASSIVE_LEVEL or not STATUS_NOT_SUPPORTED/0
    int unloads = 0;
    std::vector<UCHAR> handleRequests;   // IRP_MJ_CREATE, _CLEANUP and _CLOSE in arrival order
};

// The probe's state is process-wide, as a driver's globals are; Reset()
// before each machine. The dispatch routines in power_probe.cpp reach all
// of it; the tests use the member functions.
class PowerProbe {
public:
    using Ms = std::chrono::milliseconds;
    static PowerProbe& Instance();
    static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
    static constexpr const char* kPath = "\\\\.\\probe";

    void Reset(ProbeConfig config = {});
    PDEVICE_OBJECT Device() const { return device; }
    // Query-stop and query-remove get STATUS_DEVICE_BUSY while set.
    void RefuseQueries(bool refuse) { refuseQueries = refuse; }
    void WatchOutPointer(PIRP* out);  // recorded into each arrival
    void ReleaseHeld();               // forwards the oldest held request

    ProbeSeen Seen();
    // False when `done` is still false after `timeout`.
    bool WaitUntil(const std::function<bool(const ProbeSeen&)>& done, Ms timeout);
    bool WaitForArrivals(size_t n, Ms t) { return WaitUntil([n](auto& s) { return s.arrivals.size() >= n; }, t); }
    bool WaitForCallbacks(size_t n, Ms t) { return WaitUntil([n](auto& s) { return s.callbacks.size() >= n; }, t); }
    // A wait-wake is pending in the bus once the probe has passed it down.
    bool WaitForForwarded(size_t n, Ms t) { return WaitUntil([n](auto& s) { return s.forwarded >= n; }, t); }

    // For PoRequestPowerIrp: records the call into Seen().callbacks.
    static void NTAPI Callback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID, PIO_STATUS_BLOCK ioStatus);
    // Applies `change` to what the probe saw and wakes the waiters.
    void Record(const std::function<void(ProbeSeen&)>& change);

    ProbeConfig config;
    volatile bool refuseQueries = false;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    std::mutex mutex;  // guards all below
    std::condition_variable changed;
    ProbeSeen seen;
    std::deque<PIRP> held;
    PIRP* out = nullptr;
};

}  // namespace system_test
