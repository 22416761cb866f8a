// A plugged emulated USB device: its physical device object on the emulated
// bus, the transfers it holds, the faults it is told to produce, and the
// record of every URB it served.
//
// This header is the contract between emulator/usb and its users (tests,
// the harness, pondrel-sim). Extend it; do not rename what is here.
#pragma once

#include "emulator/kernel/wdm.h"
#include "emulator/usb/device_model.h"

#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu::usb {

// One URB as the bus saw it, for tests that check what the driver sent.
struct UrbRecord {
    uint16_t function;         // URB_FUNCTION_*
    uint8_t endpoint;          // bEndpointAddress, 0 for control
    bool in;                   // direction of the data
    uint32_t requestedLength;  // TransferBufferLength as submitted
    uint32_t actualLength;     // as completed
    NTSTATUS status;           // IoStatus.Status of the request
    uint32_t usbdStatus;       // Hdr.Status
};

// A transfer held in CompletionMode::Held, waiting for a test.
struct HeldTransfer {
    uint64_t id;
    uint8_t endpoint;
    bool in;
    uint32_t length;
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    virtual PDEVICE_OBJECT Pdo() = 0;
    virtual const DeviceModel& Model() const = 0;

    // ---- Held transfers ----
    virtual std::vector<HeldTransfer> Held() = 0;
    // Waits until at least `count` transfers are held; false on timeout.
    virtual bool WaitForHeld(size_t count, std::chrono::milliseconds timeout) = 0;
    // Waits until the bus thread has run every pass over the queued
    // transfers asked for so far (after QueueInData, a submission, a
    // release): the device has moved all it can. False on timeout.
    virtual bool WaitForPump(std::chrono::milliseconds timeout) = 0;
    // Completes a held transfer as the endpoint's behaviour would, in the
    // caller's thread at DISPATCH_LEVEL; one the behaviour cannot finish yet
    // (an IN with no data) waits for the device like any other transfer.
    virtual void Release(uint64_t id) = 0;
    // Completes a held transfer with a chosen status and byte count; for IN,
    // `data` (if given) supplies the bytes, otherwise the behaviour does
    // (zeros where it has none). An OUT released with success delivers its
    // first `bytes` bytes to the endpoint's behaviour.
    virtual void ReleaseWith(uint64_t id, NTSTATUS status, uint32_t bytes,
                             const std::vector<uint8_t>* data = nullptr) = 0;
    // The mode rules bulk and interrupt transfers. Descriptor reads and
    // select-configuration requests complete on the bus thread in BusThread
    // mode and at once otherwise; pipe and port requests always at once.
    virtual void SetCompletionMode(CompletionMode mode) = 0;

    // ---- Data ----
    // Bytes the device will send on an IN endpoint, before its behaviour's own,
    // split into packets of the endpoint's size: a last packet shorter than
    // that ends the host's transfer; a length that is an exact multiple is
    // not followed by a zero-length packet; an empty vector queues one.
    virtual void QueueInData(uint8_t endpoint, const std::vector<uint8_t>& bytes) = 0;
    // Bytes the device received on an OUT endpoint (Sink and Loopback record them).
    virtual std::vector<uint8_t> ReceivedOut(uint8_t endpoint) = 0;

    // ---- Faults ----
    // Transfers are counted per endpoint as they are accepted; a failed one
    // moves no data, a stalled one halts the endpoint (transfers fail with
    // USBD_STATUS_ENDPOINT_HALTED until a RESET_PIPE), a short one moves at
    // most `bytes` and ends as a short transfer.
    virtual void FailTransfer(uint8_t endpoint, uint64_t nth, uint32_t usbdStatus) = 0;  // nth from now, 1-based
    virtual void StallTransfer(uint8_t endpoint, uint64_t nth) = 0;                      // halts until reset
    virtual void ShortTransfer(uint8_t endpoint, uint64_t nth, uint32_t bytes) = 0;
    // A fault of endpoint_fault.h, from now on (the session's `fault`
    // command); false when the configuration has no such endpoint.
    virtual bool ApplyFault(uint8_t endpoint, const EndpointFault& fault) = 0;
    virtual void FailDescriptorRead(uint64_t nth) = 0;  // the device stalls it
    // The nth descriptor read from now (1-based) is answered from `bytes`
    // instead of the model, as a device whose answer changes between reads.
    virtual void AnswerDescriptorRead(uint64_t nth, std::vector<uint8_t> bytes) = 0;
    // The next IRP_MN_START_DEVICE that reaches the PDO fails with `status`,
    // as a bus driver that cannot bring the port up again does.
    virtual void FailNextStart(NTSTATUS status) = 0;
    // A disabled port reaches nothing: pending transfers fail, new requests
    // fail (USBD_STATUS_DEV_NOT_RESPONDING) until the port is enabled again
    // or IOCTL_INTERNAL_USB_RESET_PORT resets it.
    virtual void SetPortEnabled(bool enabled) = 0;
    // The device leaves the bus: pending transfers fail, new ones fail at once,
    // port status reads 0, and the PnP manager is told (surprise removal).
    virtual void Disconnect() = 0;
    // Whether the device has left the bus or a fault has started it leaving:
    // the PnP manager's surprise removal is then on its way.
    virtual bool Leaving() = 0;
    // The device signals remote wake: a pending IRP_MN_WAIT_WAKE completes.
    virtual void SignalWake() = 0;

    // ---- Observation ----
    virtual std::vector<UrbRecord> Urbs() = 0;
    virtual uint64_t BusRequests() = 0;
    // The bus's own time now (bus_timing.h) as the calling thread stands on
    // it, a request it sent now arriving then: what throughput figures on
    // a timed bus are measured in.
    virtual BusTime BusNow() = 0;
    // The minor codes of the IRP_MJ_SYSTEM_CONTROL requests that reached the PDO.
    virtual std::vector<UCHAR> SystemControlSeen() = 0;
    virtual uint64_t PortResets() = 0;
    virtual uint64_t PipeResets() = 0;
    virtual uint64_t Aborts() = 0;
    virtual bool Configured() = 0;
    virtual int DevicePowerState() = 0;  // last D-state set on the PDO
    virtual bool WaitWakePending() = 0;
    // Waits until `done(DevicePowerState(), WaitWakePending())` holds, as a
    // test or a tool waits for the driver to answer a wake; `done` runs with
    // the device's lock held and must not call the device. False on timeout.
    virtual bool WaitForPowerState(const std::function<bool(int devicePowerState, bool waitWakePending)>& done,
                                   std::chrono::milliseconds timeout) = 0;

    // Writes every URB from now on as a USBPcap capture (pcap linktype 249).
    virtual bool StartCapture(const std::string& path) = 0;
    // The same, appending to a capture an earlier device on the bus wrote.
    virtual bool ContinueCapture(const std::string& path) = 0;
    virtual void StopCapture() = 0;
};

// The emulated bus: one root port per plugged device.
class Bus {
public:
    static Bus& Instance();
    // Creates the device's PDO. Disconnect handling is reported through
    // the callback the PnP manager registers.
    virtual std::shared_ptr<UsbDevice> Plug(DeviceModel model) = 0;
    // Deletes the PDO of a device whose stack has been removed.
    virtual void Unplug(const std::shared_ptr<UsbDevice>& device) = 0;
    virtual void SetSurpriseRemovalHandler(std::function<void(UsbDevice&)> handler) = 0;
    virtual ~Bus() = default;
};

// The bus's life inside one emulated machine: BusStartup creates the bus
// driver object and starts the bus thread (after emu::KernelStartup);
// BusShutdown unplugs whatever is left and stops the thread.
void BusStartup();
void BusShutdown();

}  // namespace emu::usb
