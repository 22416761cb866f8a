// A filter device the tests put between the driver and the emulated USB
// device's PDO before AddDevice, so that the driver's LowerDevice is this
// spy. It records every request the driver sends down, with the driver's
// state at that moment, and answers those its rules match: completed with a
// chosen status (at once or from another thread), or held until the test
// lets them go. Wait-wake requests may be kept as a bus driver keeps them,
// and capabilities edited on their way back up. Everything else goes on to
// the PDO unchanged.
#pragma once

#include "driver/device_context.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace pondrel::test {

struct SeenRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    NTSTATUS statusOnArrival = 0;   // IoStatus.Status as the driver passed it down
    ULONG ioControlCode = 0;        // internal device control
    USHORT urbFunction = 0xFFFF;    // IOCTL_INTERNAL_USB_SUBMIT_URB
    USBD_PIPE_HANDLE pipeHandle = nullptr;      // abort and reset requests
    std::vector<UCHAR> selectedInterfaces;      // select-configuration: interface numbers, in order
    std::vector<ULONG> firstInterfaceMaxTransfer;  // select-configuration: first interface's pipes
    bool deconfigure = false;       // select-configuration without a configuration
    // Power: copied as sent, since tests send values outside the enumerations.
    ULONG powerType = 0;            // set and query
    LONG powerState = 0;            // the target state, or a wait-wake request's system state
    DEVICE_PNP_STATE driverState = DeviceNew;  // the driver's PnpState when the request arrived
    LONG ioRefCount = 0;                       // the driver's IoRefCount when the request arrived
    bool driverAttached = false;               // the driver's device object still sits above the spy
    bool driverDeletePending = false;          // IoDeleteDevice was already called on it
    NTSTATUS lowerReturned = STATUS_PENDING;   // what the PDO returned for a PnP request passed on
};

// What the spy does with a request a rule matched.
struct Verdict {
    enum class Action { Pass, Complete, Hold };
    Action action = Action::Pass;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool pend = false;                // return STATUS_PENDING, complete from another thread
    std::optional<ULONG> portStatus;  // written for IOCTL_INTERNAL_USB_GET_PORT_STATUS

    static Verdict Pass() { return {}; }
    static Verdict CompleteWith(NTSTATUS status, ULONG_PTR information = 0)
    {
        return {Action::Complete, status, information};
    }
    static Verdict Pended(NTSTATUS status, std::optional<ULONG> portStatus = std::nullopt)
    {
        return {Action::Complete, status, 0, true, portStatus};
    }
    static Verdict HoldIt() { return {Action::Hold}; }
};

// A verdict for the requests it matches, nothing for the others.
using Rule = std::function<std::optional<Verdict>(const SeenRequest&)>;
// The rule that answers every request `matches` accepts with `verdict`.
Rule When(std::function<bool(const SeenRequest&)> matches, Verdict verdict);

// What the spy does when the driver cancels a wait-wake request it keeps.
enum class WaitWakeCancel {
    CompleteAtOnce,  // the cancel routine completes it (inside IoCancelIrp)
    Later,           // the cancel is noted; the test completes the request
};

class LowerSpy {
    // Runs `action` under the spy's lock (defined first: the accessors below
    // deduce their results from it).
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
    // Attaches the spy above `pdo`. One spy at a time.
    explicit LowerSpy(PDEVICE_OBJECT pdo);
    // Detaches and deletes the spy; the driver's device must be gone.
    ~LowerSpy();
    LowerSpy(const LowerSpy&) = delete;
    LowerSpy& operator=(const LowerSpy&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    // The driver's device object, once AddDevice attached it above the spy.
    void Watch(PDEVICE_OBJECT functionDevice) { Locked([&] { watched_ = functionDevice; }); }

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
    // Lets a held request go as `verdict` says (from the test's thread).
    void Release(PIRP irp, Verdict verdict);
    // Passes every held request on; the rules stay.
    void ReleaseHeld();
    // PoStartNextPowerIrp calls the spy itself made.
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
    // The failure FailPnpOnTheWayUp set for `minor`, if any.
    std::optional<NTSTATUS> FailureOnTheWayUp(UCHAR minor);

    // ---- called from the spy's dispatch and cancel routines ----
    NTSTATUS Dispatch(PIRP irp);
    void CancelWaitWake(PIRP irp);

private:
    std::vector<SeenRequest> SeenIf(const std::function<bool(const SeenRequest&)>& wanted);
    SeenRequest Record(PIRP irp, size_t* index);
    Verdict Decide(const SeenRequest& seen);
    NTSTATUS Apply(PIRP irp, const Verdict& verdict);
    NTSTATUS PassOn(PIRP irp);
    NTSTATUS PassPnp(PIRP irp);
    NTSTATUS Keep(PIRP irp);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT watched_ = nullptr;

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
    std::map<UCHAR, NTSTATUS> failOnTheWayUp_;
    std::vector<std::thread> completers_;
};

}  // namespace pondrel::test
