// A function driver for the power manager's tests: it sits on the emulated
// device's PDO, records how each power request reaches it, and forwards it
// (or holds it, or breaks a power rule) as the test configures.
#pragma once

#include "emulator/kernel/system.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace system_test {

enum class StartNext { Once, Never, Twice };

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

// The probe's state is process-wide, as a driver's globals are; Reset()
// before each machine.
class PowerProbe {
public:
    static PowerProbe& Instance();
    static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

    void Reset(ProbeConfig config = {});
    PDEVICE_OBJECT Device() const { return device_; }

    void WatchOutPointer(PIRP* out);  // recorded into each arrival
    std::vector<ProbeArrival> Arrivals();
    bool WaitForArrivals(size_t count, std::chrono::milliseconds timeout);
    // Waits until the probe has passed `count` requests down (a wait-wake is
    // then pending in the bus).
    bool WaitForForwarded(size_t count, std::chrono::milliseconds timeout);
    void ReleaseHeld();  // forwards the oldest held request

    // For PoRequestPowerIrp: records the call into Callbacks().
    static void Callback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK ioStatus);
    std::vector<ProbeCallback> Callbacks();
    bool WaitForCallbacks(size_t count, std::chrono::milliseconds timeout);

private:
    friend struct ProbeDispatch;
    bool WaitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done);

    ProbeConfig config_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    std::mutex mutex_;  // guards all below
    std::condition_variable changed_;
    std::vector<ProbeArrival> arrivals_;
    size_t completions_ = 0;
    std::vector<ProbeCallback> callbacks_;
    std::deque<PIRP> held_;
    size_t forwarded_ = 0;
    PIRP* out_ = nullptr;
};

}  // namespace system_test
