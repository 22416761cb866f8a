// One plugged emulated USB device: the state behind its physical device
// object (configuration, pipes, endpoints, transfers in flight, power and
// wake, port) and the requests its PDO serves. The PDO's dispatch routines
// (pdo_dispatch.cpp) find this object through the device extension.
#pragma once

#include "emulator/usb/bus_thread.h"
#include "emulator/usb/capture_writer.h"
#include "emulator/usb/descriptor_walk.h"
#include "emulator/usb/endpoint_engine.h"
#include "emulator/usb/usb_device.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace emu::usb {

// A bulk or interrupt transfer the device has accepted and not finished.
struct Transfer {
    uint64_t id = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    uint8_t endpoint = 0;
    CaptureTransfer captureType = CaptureTransfer::Bulk;
    bool held = false;  // kept for the test (CompletionMode::Held)
    uint16_t function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;  // or a control request left unanswered
    TransferData data;
    USBD_STATUS status = USBD_STATUS_PENDING;
    NTSTATUS irpStatus = STATUS_PENDING;
    BusTime arrival{};                // on a timed bus: when the request reached the bus
    std::optional<BusTime> reported;  // on a timed bus: when the host controller reports it
};

// A pipe of the selected configuration, found by its handle.
struct Pipe {
    uint8_t endpoint = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    uint16_t maxPacket = 0;
};

class EmulatedDevice final : public UsbDevice, public std::enable_shared_from_this<EmulatedDevice> {
public:
    EmulatedDevice(DeviceModel model, uint16_t port, BusThread& busThread);
    ~EmulatedDevice() override;

    // Ties the device to its PDO (after IoCreateDevice) or unties it (at
    // unplug, after which every request still pending has failed).
    void AttachPdo(PDEVICE_OBJECT pdo);
    void DetachPdo();
    static EmulatedDevice* FromPdo(PDEVICE_OBJECT pdo);

    // The PDO's dispatch routines, at the caller's IRQL (<= DISPATCH_LEVEL).
    NTSTATUS DispatchInternalDeviceControl(PIRP irp);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS DispatchSystemControl(PIRP irp);
    // Cancel routines, entered with the cancel spin lock held.
    static void NTAPI CancelTransferRoutine(PDEVICE_OBJECT pdo, PIRP irp);
    static void NTAPI CancelWaitWakeRoutine(PDEVICE_OBJECT pdo, PIRP irp);

    // ---- UsbDevice ----
    PDEVICE_OBJECT Pdo() override;
    const DeviceModel& Model() const override { return model_; }
    std::vector<HeldTransfer> Held() override;
    bool WaitForHeld(size_t count, std::chrono::milliseconds timeout) override;
    bool WaitForPump(std::chrono::milliseconds timeout) override;
    void Release(uint64_t id) override;
    void ReleaseWith(uint64_t id, NTSTATUS status, uint32_t bytes, const std::vector<uint8_t>* data) override;
    void SetCompletionMode(CompletionMode mode) override;
    void QueueInData(uint8_t endpoint, const std::vector<uint8_t>& bytes) override;
    std::vector<uint8_t> ReceivedOut(uint8_t endpoint) override;
    void FailTransfer(uint8_t endpoint, uint64_t nth, uint32_t usbdStatus) override;
    void StallTransfer(uint8_t endpoint, uint64_t nth) override;
    void ShortTransfer(uint8_t endpoint, uint64_t nth, uint32_t bytes) override;
    bool ApplyFault(uint8_t endpoint, const EndpointFault& fault) override;
    void FailDescriptorRead(uint64_t nth) override;
    void AnswerDescriptorRead(uint64_t nth, std::vector<uint8_t> bytes) override;
    void FailNextStart(NTSTATUS status) override;
    void SetPortEnabled(bool enabled) override;
    void Disconnect() override;
    bool Leaving() override;
    void SignalWake() override;
    std::vector<UrbRecord> Urbs() override;
    uint64_t BusRequests() override;
    BusTime BusNow() override;
    // The bus time of a request the calling thread sends at `now` (see
    // BusNow). mutex_ held.
    BusTime ArrivalNow(std::chrono::steady_clock::time_point now) const;
    std::vector<UCHAR> SystemControlSeen() override;
    uint64_t PortResets() override;
    uint64_t PipeResets() override;
    uint64_t Aborts() override;
    bool Configured() override;
    int DevicePowerState() override;
    bool WaitWakePending() override;
    bool WaitForPowerState(const std::function<bool(int, bool)>& done, std::chrono::milliseconds timeout) override;
    bool StartCapture(const std::string& path) override;
    bool ContinueCapture(const std::string& path) override;
    void StopCapture() override;

    // Lets the bus tell the PnP manager about a disconnect.
    void SetDisconnectHandler(std::function<void(UsbDevice&)> handler);

private:
    using Lock = std::unique_lock<std::mutex>;
    using TransferList = std::vector<std::unique_ptr<Transfer>>;

    // ---- URBs (urb_dispatch.cpp, select_configuration.cpp, bulk_transfer.cpp) ----
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    void CountBusRequest();  // one more bus request, under mutex_
    NTSTATUS GetDescriptor(PIRP irp, PURB urb);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    USBD_STATUS ApplyConfiguration(PURB urb, TransferList& cancelled);
    void Unconfigure(TransferList& cancelled);
    void OpenPipes(USBD_INTERFACE_INFORMATION& record, const InterfaceInfo& interface);
    void* NewHandle();
    NTSTATUS PipeRequest(PIRP irp, PURB urb);
    NTSTATUS SubmitTransfer(PIRP irp, PURB urb);
    // Fails a URB before it reached the device; the record names the
    // endpoint and length when they are known.
    NTSTATUS RejectUrb(PIRP irp, PURB urb, USBD_STATUS status, uint8_t endpoint = 0, bool in = false,
                       uint32_t requested = 0);
    // Ends a URB that is not a bulk transfer: now, or on the bus thread when
    // the device completes asynchronously. Returns what the dispatch routine returns.
    NTSTATUS CompleteControlUrb(PIRP irp, PURB urb, USBD_STATUS status, bool mayDefer);
    NTSTATUS LeaveUnanswered(PIRP irp, PURB urb);
    void FinishUnanswered(std::unique_ptr<Transfer> transfer);
    NTSTATUS GetPortStatus(PIRP irp);
    NTSTATUS ResetPort(PIRP irp);

    // ---- Transfers ----
    // One pass; `due` is the bus time a timed pass was posted for.
    void Pump(std::optional<BusTime> due);
    void RequestPump();
    void CollectFinished(Lock& lock, TransferList& finished);
    bool AnyQueued(Lock& lock) const;
    bool TakeOwnership(Transfer& transfer);
    void Park(Transfer& transfer);
    void FailAllTransfers(USBD_STATUS status, TransferList& failed);
    void Finish(std::unique_ptr<Transfer> transfer);
    void FinishAll(TransferList& transfers);
    void FinishAllDeferred(TransferList transfers);
    std::unique_ptr<Transfer> RemovePending(PIRP irp);
    Transfer* FindHeld(uint64_t id);
    EndpointState& Endpoint(uint8_t address);
    EndpointState* LoopbackPeer(const EndpointState& endpoint);
    void ApplyFaultLocked(EndpointState& endpoint, const EndpointFault& fault);
    // The bus model (bus_timing.h): books the wire for a transfer the device
    // has ended, from when it reached the bus or the pass's bus time,
    // whichever is later, and keeps it until the wall clock has caught up
    // with its report; false when it is not timed or already due (then it
    // ends now). mutex_ held.
    bool WaitForWire(Transfer& transfer, const EndpointState& endpoint);
    // When a pass must run again, on the wall clock and on the bus's time
    // line: a timed transfer's report, or the end of a nak window with
    // transfers waiting. mutex_ held.
    struct Wake {
        std::chrono::steady_clock::time_point wall;
        BusTime bus;
    };
    std::optional<Wake> NextWake(std::chrono::steady_clock::time_point now);
    void PumpAt(std::optional<Wake> when);
    // A leave-after mark was reached: the device leaves the bus from a
    // thread of its own at PASSIVE_LEVEL, as the hub reports it.
    void LeaveIfAsked();
    USBD_STATUS LinkStatus() const;  // why nothing can reach the device now, or success

    // ---- PnP and power (pdo_pnp.cpp, pdo_power.cpp) ----
    NTSTATUS QueryCapabilities(PIRP irp);
    NTSTATUS WaitWake(PIRP irp);
    NTSTATUS SetDevicePower(PIRP irp, int state);
    void CheckNotRemoved(PIRP irp, PIO_STACK_LOCATION stack);
    void ForgetAtRemoval();
    NTSTATUS TakeStartStatus();

    // ---- Records ----
    template <typename T>
    T Locked(const T& field);  // a copy of `field`, read under mutex_
    void Record(uint16_t function, uint8_t endpoint, bool in, uint32_t requested, uint32_t actual, NTSTATUS status,
                USBD_STATUS usbdStatus);
    void CaptureControl(PIRP irp, uint16_t function, bool completion, const uint8_t* setup, uint8_t endpoint,
                        USBD_STATUS status, const uint8_t* data, uint32_t length);

    const DeviceModel model_;
    const uint16_t port_;
    BusThread& busThread_;
    CaptureWriter capture_;

    std::mutex mutex_;  // guards everything below; never held while calling out of the bus
    std::condition_variable heldChanged_;
    PDEVICE_OBJECT pdo_ = nullptr;
    CompletionMode mode_;
    bool connected_ = true;
    bool portEnabled_ = true;
    bool pumpScheduled_ = false;
    bool pumping_ = false;              // a Pump is collecting or finishing transfers
    std::condition_variable pumped_;    // a Pump ended
    std::condition_variable powerChanged_;  // devicePowerState_ or waitWakeIrp_ changed
    std::map<uint8_t, EndpointState> endpoints_;
    std::map<uint8_t, std::vector<Transfer*>> queues_;    // waiting transfers per endpoint, oldest first
    std::map<PIRP, std::unique_ptr<Transfer>> pending_;  // every transfer not yet finished
    std::map<Transfer*, std::chrono::steady_clock::time_point> onWire_;  // ended, until the bus model's time
    BusClock busClock_;
    BusTimeline timeline_;  // the bus's own time line against the wall clock
    BusTime passBus_{};     // the bus time of the pass running now
    std::optional<std::chrono::steady_clock::time_point> timedPump_;  // a pass posted for then
    bool leaveStarted_ = false;
    std::thread leaver_;
    std::map<void*, Pipe> pipes_;                         // the selected configuration's pipes
    bool configured_ = false;
    uint64_t nextHandle_ = 1;
    uint64_t nextTransferId_ = 1;
    uint64_t descriptorReads_ = 0;
    std::vector<uint64_t> failingDescriptorReads_;
    std::map<uint64_t, std::vector<uint8_t>> substituteDescriptorReads_;  // by read number
    NTSTATUS failingStart_ = STATUS_SUCCESS;  // a failure for the next START_DEVICE, if not success
    PIRP waitWakeIrp_ = nullptr;
    bool removed_ = false;  // IRP_MN_REMOVE_DEVICE came and no START since
    int devicePowerState_ = PowerDeviceD0;
    std::vector<UrbRecord> records_;
    uint64_t busRequests_ = 0;
    std::vector<UCHAR> systemControlSeen_;  // minor codes of the WMI requests that reached the PDO
    uint64_t portResets_ = 0;
    uint64_t pipeResets_ = 0;
    uint64_t aborts_ = 0;
    std::function<void(UsbDevice&)> disconnectHandler_;
};

}  // namespace emu::usb
