// A filter device object placed between the driver and the bus's physical
// device object, for the power tests: it records every power request that
// the driver passes down, with the driver's I/O reference count at that
// moment, and passes it on, completes it with a chosen status, or holds it
// until the test lets it go. Everything else goes through untouched.
#pragma once

#include "driver/device_context.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace power_test {

struct SeenRequest {
    UCHAR minor = 0;
    ULONG type = 0;      // Parameters.Power.Type of a set or query
    LONG state = 0;      // the target state, or the wait-wake request's system state
    LONG driverRefs = 0; // the driver's IoRefCount when the request arrived
    PIRP irp = nullptr;
};

struct Verdict {
    enum class Action { PassDown, Complete, Hold };
    Action action = Action::PassDown;
    NTSTATUS status = STATUS_SUCCESS;  // for Complete
    ULONG_PTR information = 0;         // for Complete

    static Verdict Pass() { return {}; }
    static Verdict CompleteWith(NTSTATUS status, ULONG_PTR information = 0)
    {
        return {Action::Complete, status, information};
    }
    static Verdict HoldIt() { return {Action::Hold, STATUS_SUCCESS, 0}; }
};

using Rule = std::function<Verdict(const SeenRequest&)>;

class LowerProbe {
public:
    // Attaches on top of `pdo`; the driver's AddDevice then attaches above it.
    explicit LowerProbe(PDEVICE_OBJECT pdo);
    ~LowerProbe();
    LowerProbe(const LowerProbe&) = delete;
    LowerProbe& operator=(const LowerProbe&) = delete;

    // The driver's context, once AddDevice has run, for the reference counts.
    void Watch(DeviceContext* context);
    // Decides what happens to each power request from now on (default: passed down).
    void SetRule(Rule rule);

    std::vector<SeenRequest> Seen();
    // Set and query requests of one type, in arrival order.
    std::vector<SeenRequest> Seen(UCHAR minor, ULONG type);
    size_t SeenCount();
    // PoStartNextPowerIrp calls the probe itself made.
    uint64_t StartNextCalls();

    bool WaitForHeld(size_t count, std::chrono::milliseconds timeout);
    std::vector<PIRP> Held();
    // Lets a held request go as `verdict` says (from the test's thread).
    void Release(PIRP irp, Verdict verdict);

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS DispatchPowerRequest(PIRP irp);
    NTSTATUS DispatchPnpRequest(PIRP irp);
    NTSTATUS Apply(PIRP irp, Verdict verdict);
    void Detach();

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;

    std::mutex mutex_;
    std::condition_variable changed_;
    DeviceContext* context_ = nullptr;
    Rule rule_;
    std::vector<SeenRequest> seen_;
    std::vector<PIRP> held_;
    uint64_t startNextCalls_ = 0;
};

}  // namespace power_test
