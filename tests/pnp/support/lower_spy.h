// A filter device the tests put between the driver and the emulated USB
// device's PDO before AddDevice, so that the driver's LowerDevice is this
// spy. It records every request the driver sends down, with the driver's
// state at that moment, and on request answers some of them itself: a PnP
// minor code failed, internal requests answered or pended, wait-wake
// requests kept as a bus driver keeps them, a power-up held back.
// Everything it does not answer goes on to the PDO unchanged.
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
    UCHAR descriptorType = 0;       // URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE
    USBD_PIPE_HANDLE pipeHandle = nullptr;      // abort and reset requests
    std::vector<UCHAR> selectedInterfaces;      // select-configuration: interface numbers, in order
    std::vector<ULONG> firstInterfaceMaxTransfer;  // select-configuration: first interface's pipes
    bool deconfigure = false;       // select-configuration without a configuration
    POWER_STATE_TYPE powerType = SystemPowerState;
    POWER_STATE powerState = {};
    DEVICE_PNP_STATE driverState = DeviceNew;  // the driver's PnpState when the request arrived
    LONG ioRefCount = 0;                       // the driver's IoRefCount when the request arrived
    bool driverAttached = false;               // the driver's device object still sits above the spy
    bool driverDeletePending = false;          // IoDeleteDevice was already called on it
    NTSTATUS lowerReturned = STATUS_PENDING;   // what the PDO returned for a request passed on
};

// How the spy answers an internal device-control request instead of
// passing it on.
struct InternalAnswer {
    NTSTATUS status = STATUS_SUCCESS;
    bool pend = false;                   // return STATUS_PENDING, complete from another thread
    std::optional<ULONG> portStatus;     // for IOCTL_INTERNAL_USB_GET_PORT_STATUS
};

// What the spy does when the driver cancels a wait-wake request it keeps.
enum class WaitWakeCancel {
    CompleteAtOnce,  // the cancel routine completes it (inside IoCancelIrp)
    Later,           // the cancel is noted; the test completes the request
};

class LowerSpy {
public:
    // Attaches the spy above `pdo`. One spy at a time.
    explicit LowerSpy(PDEVICE_OBJECT pdo);
    // Detaches and deletes the spy; the driver's device must be gone.
    ~LowerSpy();
    LowerSpy(const LowerSpy&) = delete;
    LowerSpy& operator=(const LowerSpy&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    // The driver's device object, once AddDevice attached it above the spy.
    void Watch(PDEVICE_OBJECT functionDevice);

    std::vector<SeenRequest> Seen();
    std::vector<SeenRequest> SeenPnp();  // IRP_MJ_PNP only
    size_t Count(UCHAR major, UCHAR minor);
    size_t CountUrbs(USHORT urbFunction);
    void ForgetSeen();
    // Waits until a request of this kind has been seen `count` times.
    bool WaitForSeen(UCHAR major, UCHAR minor, size_t count, std::chrono::milliseconds timeout);

    // PnP requests of `minor` are completed here with `status`.
    void FailPnp(UCHAR minor, NTSTATUS status);

    // Internal requests with `ioControlCode` are answered here.
    void AnswerInternal(ULONG ioControlCode, InternalAnswer answer);
    // URBs of `urbFunction` are failed here with `status`.
    void FailUrb(USHORT urbFunction, NTSTATUS status);
    void ForgetAnswers();

    // Wait-wake requests are kept here instead of going to the PDO.
    void KeepWaitWake(WaitWakeCancel onCancel, NTSTATUS cancelStatus = STATUS_CANCELLED);
    bool WaitForKeptWaitWake(size_t count, std::chrono::milliseconds timeout);
    std::vector<PIRP> KeptWaitWake();
    // Completes a kept wait-wake request with `status`, as the bus would.
    void FinishWaitWake(PIRP irp, NTSTATUS status);
    size_t WaitWakeCancels();

    // URBs of `urbFunction` wait here until released (then go on to the PDO).
    void HoldUrbs(USHORT urbFunction);
    bool WaitForHeldUrbs(size_t count, std::chrono::milliseconds timeout);
    void ReleaseUrbs();

    // Capabilities requests get `edit` applied on their way back up.
    void EditCapabilities(std::function<void(PDEVICE_CAPABILITIES)> edit);
    void EditCapabilitiesOnTheWayUp(PDEVICE_CAPABILITIES capabilities);

    // Device set-power requests to D0 wait here until released.
    void HoldPowerUp();
    bool WaitForHeldPowerUp(std::chrono::milliseconds timeout);
    void ReleasePowerUp();

    // ---- called from the spy's dispatch and cancel routines ----
    NTSTATUS Dispatch(PIRP irp);
    void CancelWaitWake(PIRP irp);

private:
    size_t Record(PIRP irp);
    NTSTATUS PassOn(PIRP irp);
    void NoteReturned(size_t index, NTSTATUS status);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS DispatchInternal(PIRP irp);
    NTSTATUS Keep(PIRP irp);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT watched_ = nullptr;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SeenRequest> seen_;
    std::map<UCHAR, NTSTATUS> pnpFailures_;
    std::map<ULONG, InternalAnswer> internalAnswers_;
    std::map<USHORT, NTSTATUS> urbFailures_;
    std::optional<WaitWakeCancel> keepWaitWake_;
    NTSTATUS cancelStatus_ = STATUS_CANCELLED;
    std::vector<PIRP> keptWaitWake_;
    size_t waitWakeCancels_ = 0;
    std::optional<USHORT> holdUrbs_;
    std::vector<PIRP> heldUrbs_;
    std::function<void(PDEVICE_CAPABILITIES)> editCapabilities_;
    bool holdPowerUp_ = false;
    std::vector<PIRP> heldPowerUp_;
    std::vector<std::thread> completers_;
};

}  // namespace pondrel::test
