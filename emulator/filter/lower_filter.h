// A lower filter: a device object of its own driver attached to a PDO
// before the function driver's AddDevice, so that the function driver's
// lower device is this filter. It records every request the driver above
// sends down and answers those its rules match: completed with a chosen
// status (at once or from another thread), held until its owner lets them
// go, or failed on their way back up. Wait-wake requests may be kept as a
// bus driver keeps them, and capabilities edited on their way back up.
// Everything else goes on to the PDO unchanged. The driver's tests use it to
// check what their driver sends below; pondrel-sim puts one under the
// driver with --lower-filter.
#pragma once

#include "emulator/filter/seen_request.h"
#include "emulator/filter/verdict.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace emu::filter {

// Fills in what an observer knows of the driver above (its own state and
// counts) when a request arrives; runs under the filter's lock.
using DescribeAbove = std::function<void(PDEVICE_OBJECT above, SeenRequest& seen)>;

class LowerFilter {
    // Runs `action` under the filter's lock (defined first: the accessors
    // below deduce their results from it).
    template <typename Action>
    auto Locked(Action action)
    {
        std::lock_guard lock(mutex_);
        return action();
    }
    template <typename Condition>
    bool WaitFor(Condition condition, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, condition);
    }

public:
    // Attaches the filter above `pdo`.
    explicit LowerFilter(PDEVICE_OBJECT pdo);
    // Detaches (unless it left the stack) and deletes the filter; the
    // driver's device must be gone.
    ~LowerFilter();
    LowerFilter(const LowerFilter&) = delete;
    LowerFilter& operator=(const LowerFilter&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    // The driver's device object, once AddDevice attached it above the
    // filter; `describe`, if given, adds what only the driver's own
    // developers know of it to each request recorded.
    void Watch(PDEVICE_OBJECT functionDevice, DescribeAbove describe = {})
    {
        Locked([&] {
            watched_ = functionDevice;
            describeAbove_ = std::move(describe);
        });
    }
    // From now on the filter detaches from the PDO once IRP_MN_REMOVE_DEVICE
    // has gone past it, as a PnP filter driver does, so that the bus may
    // delete the PDO; by default it stays attached until destroyed.
    void LeaveWithTheStack() { Locked([&] { leaveAtRemoval_ = true; }); }

    std::vector<SeenRequest> Seen() { return Locked([&] { return seen_; }); }
    std::vector<SeenRequest> SeenPnp();
    std::vector<SeenRequest> SeenPower();
    // Power sets or queries of one power type.
    std::vector<SeenRequest> SeenPower(UCHAR minor, ULONG type);
    std::vector<SeenRequest> SeenUrbs(USHORT urbFunction);
    // The last request of this kind, if any.
    std::optional<SeenRequest> Last(UCHAR major, UCHAR minor);
    size_t Count(UCHAR major, UCHAR minor);
    size_t CountUrbs(USHORT urbFunction) { return SeenUrbs(urbFunction).size(); }
    void ForgetSeen() { Locked([&] { seen_.clear(); }); }

    // Rules are consulted in the order added; the first with a verdict decides.
    void AddRule(Rule rule) { Locked([&] { rules_.push_back(std::move(rule)); }); }
    void FailPnp(UCHAR minor, NTSTATUS status);
    // Passes PnP requests of `minor` on, and fails them on their way back up.
    void FailPnpOnTheWayUp(UCHAR minor, NTSTATUS status)
    {
        Locked([&] { failOnTheWayUp_[minor] = status; });
    }
    void AnswerInternal(ULONG ioControlCode, Verdict answer);
    void FailUrb(USHORT urbFunction, NTSTATUS status);
    void HoldUrbs(USHORT urbFunction);
    // Device set-power requests to D0.
    void HoldPowerUp();
    void ForgetAnswers()
    {
        Locked([&] {
            rules_.clear();
            failOnTheWayUp_.clear();
        });
    }

    bool WaitForHeld(size_t count, std::chrono::milliseconds timeout)
    {
        return WaitFor([&] { return held_.size() >= count; }, timeout);
    }
    std::vector<PIRP> Held() { return Locked([&] { return held_; }); }
    // Lets a held request go as `verdict` says (from the owner's thread).
    void Release(PIRP irp, Verdict verdict);
    // Passes every held request on (or, once the filter has left the
    // stack, fails it); the rules stay. Returns how many.
    size_t ReleaseHeld();
    // PoStartNextPowerIrp calls the filter itself made.
    uint64_t StartNextCalls() { return Locked([&] { return startNextCalls_; }); }

    // Wait-wake requests are kept here instead of going to the PDO.
    void KeepWaitWake(WaitWakeCancel onCancel, NTSTATUS cancelStatus = STATUS_CANCELLED)
    {
        Locked([&] {
            keepWaitWake_ = onCancel;
            cancelStatus_ = cancelStatus;
        });
    }
    bool WaitForKeptWaitWake(size_t count, std::chrono::milliseconds timeout)
    {
        return WaitFor([&] { return keptWaitWake_.size() >= count; }, timeout);
    }
    std::vector<PIRP> KeptWaitWake() { return Locked([&] { return keptWaitWake_; }); }
    // Completes a kept wait-wake request with `status`, as the bus would.
    void FinishWaitWake(PIRP irp, NTSTATUS status);
    size_t WaitWakeCancels() { return Locked([&] { return waitWakeCancels_; }); }

    // Capabilities requests get `edit` applied on their way back up.
    void EditCapabilities(std::function<void(PDEVICE_CAPABILITIES)> edit)
    {
        Locked([&] { editCapabilities_ = std::move(edit); });
    }
    void EditCapabilitiesOnTheWayUp(PDEVICE_CAPABILITIES capabilities);
    // URBs the bus completed with success get `edit` applied on their way
    // back up, as a bus driver that answers wrongly would leave them.
    void EditUrbs(std::function<void(PURB)> edit)
    {
        Locked([&] { editUrbs_ = std::move(edit); });
    }
    void EditUrbOnTheWayUp(PURB urb);
    // Reports new resource requirements, as a driver of the stack may:
    // IoInvalidateDeviceState for the PDO, and
    // PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED added to the next
    // IRP_MN_QUERY_PNP_DEVICE_STATE on its way back up. PASSIVE_LEVEL.
    void ReportResourceRequirementsChange();

    // The failure FailPnpOnTheWayUp set for `minor`, if any.
    std::optional<NTSTATUS> FailureOnTheWayUp(UCHAR minor);

    // ---- called from the filter's dispatch and cancel routines ----
    NTSTATUS Dispatch(PIRP irp);
    void CancelWaitWake(PIRP irp);

private:
    std::vector<SeenRequest> SeenIf(const std::function<bool(const SeenRequest&)>& wanted);
    size_t Record(SeenRequest seen);
    void NoteFate(size_t index, SeenRequest::Fate fate, NTSTATUS answer);
    Verdict Decide(const SeenRequest& seen);
    NTSTATUS Apply(PIRP irp, const Verdict& verdict);
    NTSTATUS PassOn(PIRP irp);
    NTSTATUS PassPnp(PIRP irp);
    NTSTATUS Keep(PIRP irp);
    void Leave();

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT watched_ = nullptr;
    DescribeAbove describeAbove_;
    bool leaveAtRemoval_ = false;
    bool left_ = false;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SeenRequest> seen_;
    std::vector<Rule> rules_;
    std::vector<PIRP> held_;
    uint64_t startNextCalls_ = 0;
    std::optional<WaitWakeCancel> keepWaitWake_;
    NTSTATUS cancelStatus_ = STATUS_CANCELLED;
    std::vector<PIRP> keptWaitWake_;
    size_t waitWakeCancels_ = 0;
    std::function<void(PDEVICE_CAPABILITIES)> editCapabilities_;
    std::function<void(PURB)> editUrbs_;
    std::map<UCHAR, NTSTATUS> failOnTheWayUp_;
    bool requirementsChanged_ = false;  // for the next IRP_MN_QUERY_PNP_DEVICE_STATE
    std::vector<std::thread> completers_;
};

}  // namespace emu::filter
