// One emulated machine for one test or one pondrel-sim session: the kernel,
// the USB bus with its devices, the PnP and power managers and the
// application side, with the driver under test loaded into it.
//
// This header is the contract between the emulator and the tests of the
// driver. Extend it; do not rename what is here without updating the users.
#pragma once

#include "emulator/kernel/system.h"
#include "emulator/usb/usb_device.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu {

// Result of one application request.
struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

using Handle = uint32_t;  // 0 is never a valid handle

// An overlapped request in flight.
class PendingIo {
public:
    virtual ~PendingIo() = default;
    virtual bool Done() = 0;
    virtual bool WaitFor(std::chrono::milliseconds timeout) = 0;  // false on timeout
    virtual IoResult Result() = 0;                                 // after Done()
    virtual void Cancel() = 0;                                     // IoCancelIrp on its IRP
    virtual std::vector<uint8_t> Data() = 0;                       // read/ioctl output, Information bytes
};

// The application side: what CreateFile, ReadFile, WriteFile,
// DeviceIoControl, CancelIoEx and CloseHandle do, through the I/O manager.
class App {
public:
    virtual ~App() = default;
    // "\\.\pondrel", "\\.\pondrel\PIPE1", or a device-interface path.
    virtual NTSTATUS Open(std::u16string_view path, Handle* handle) = 0;
    virtual NTSTATUS Open(std::string_view path, Handle* handle) = 0;
    // Cleanup when the last handle to the file object goes, close after the
    // last request on it has completed.
    virtual void Close(Handle handle) = 0;
    virtual Handle Duplicate(Handle handle) = 0;
    virtual IoResult Read(Handle handle, void* buffer, ULONG length) = 0;
    virtual IoResult Write(Handle handle, const void* buffer, ULONG length) = 0;
    virtual IoResult DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength,
                                     void* out, ULONG outLength) = 0;
    virtual std::unique_ptr<PendingIo> ReadAsync(Handle handle, ULONG length) = 0;
    virtual std::unique_ptr<PendingIo> WriteAsync(Handle handle, std::vector<uint8_t> data) = 0;
    virtual std::unique_ptr<PendingIo> DeviceIoControlAsync(Handle handle, ULONG code,
                                                            std::vector<uint8_t> in, ULONG outLength) = 0;
    // CancelIoEx(handle, NULL): cancels every request in flight on the handle.
    virtual void CancelAll(Handle handle) = 0;
    virtual PFILE_OBJECT FileObjectOf(Handle handle) = 0;
    // File objects opened and not yet closed (IRP_MJ_CLOSE not yet sent);
    // closes may wait for requests in flight.
    virtual size_t OpenFileObjects() = 0;
    virtual bool WaitUntilAllClosed(std::chrono::milliseconds timeout) = 0;
};

// Where the plugged device is in its PnP life, as the PnP manager sees it.
enum class DeviceLife {
    Unplugged,        // no device on the bus
    Plugged,          // on the bus, no function driver added
    Added,            // AddDevice succeeded; never started, or its start failed
    Started,
    StopPending,      // QUERY_STOP succeeded
    Stopped,
    RemovePending,    // QUERY_REMOVE succeeded
    SurpriseRemoved,
    Removed,          // REMOVE sent; the PDO may stay (orderly removal) or go
};

// The PnP manager's requests, each sent to the top of the device stack with
// STATUS_NOT_SUPPORTED in its status block; each returns the final status.
class Pnp {
public:
    virtual ~Pnp() = default;
    virtual NTSTATUS AddDevice() = 0;  // the driver's AddDevice for the plugged device
    virtual NTSTATUS Start() = 0;      // IRP_MN_START_DEVICE, then IRP_MN_QUERY_CAPABILITIES
    virtual NTSTATUS QueryStop() = 0;
    virtual NTSTATUS CancelStop() = 0;
    virtual NTSTATUS Stop() = 0;
    virtual NTSTATUS QueryRemove() = 0;
    virtual NTSTATUS CancelRemove() = 0;
    virtual NTSTATUS SurpriseRemove() = 0;
    virtual NTSTATUS Remove() = 0;
    virtual NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities) = 0;
    // Any minor code, for table-driven tests; `setup` may fill the stack location.
    virtual NTSTATUS Send(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = {}) = 0;
    // The driver's device object (the top of the stack), null before AddDevice.
    virtual PDEVICE_OBJECT FunctionDevice() = 0;
    virtual DeviceLife Life() = 0;
    // Why the last request asked for was not sent (STATUS_INVALID_DEVICE_STATE):
    // Windows never sends it in the state the device was in. Empty when it was.
    virtual std::string LastRefusal() = 0;
    // For the steps the PnP manager takes by itself (surprise removal after
    // a disconnect, removal once the handles are closed); false on timeout.
    virtual bool WaitForLife(DeviceLife life, std::chrono::milliseconds timeout) = 0;
    // Until the steps the PnP manager has queued so far (after a driver's
    // IoInvalidateDeviceState, a disconnect, a close) have run; false on timeout.
    virtual bool WaitIdle(std::chrono::milliseconds timeout) = 0;
    // One WMI request (IRP_MJ_SYSTEM_CONTROL, `minor`) to the top of the
    // stack for the provider `providerId`, as the WMI kernel component sends
    // it; its final status, STATUS_NO_SUCH_DEVICE without a stack.
    virtual NTSTATUS SystemControl(UCHAR minor, ULONG_PTR providerId) = 0;
    // The same for the first of several lives: the life reached, or
    // `timeout`'s end with the life as it is then.
    virtual DeviceLife WaitForAnyLife(std::initializer_list<DeviceLife> lives, std::chrono::milliseconds timeout) = 0;
};

// The power manager.
class Power {
public:
    virtual ~Power() = default;
    // System sleep: IRP_MN_QUERY_POWER then IRP_MN_SET_POWER for `state`
    // (PowerSystemSleeping1..Hibernate); returns the first failure or success.
    virtual NTSTATUS Sleep(SYSTEM_POWER_STATE state) = 0;
    virtual NTSTATUS Resume() = 0;  // IRP_MN_SET_POWER PowerSystemWorking
    // One system or device power request to the top of the stack; waits for it.
    virtual NTSTATUS SendSystemPower(UCHAR minor, SYSTEM_POWER_STATE state,
                                     POWER_ACTION action = PowerActionSleep) = 0;
    virtual NTSTATUS SendDevicePower(UCHAR minor, DEVICE_POWER_STATE state) = 0;
    // Counts for the one-at-a-time rules.
    virtual uint64_t PowerIrpsStarted() = 0;
    virtual uint64_t StartNextPowerIrpCalls() = 0;
    // Set the legacy model (PoStartNextPowerIrp enforced) or the modern one.
    virtual void SetLegacySerialization(bool legacy) = 0;
    // The state a driver last reported for `device` with PoSetPowerState (D0 if never).
    virtual DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device) = 0;
    virtual SYSTEM_POWER_STATE SystemState() = 0;  // after the last system SET_POWER
};

struct MachineOptions {
    usb::DeviceModel device = usb::DeviceModel::Builtin();
    bool plugDevice = true;  // plug the device at construction
    // After a disconnect the PnP manager sends SURPRISE_REMOVAL, then
    // REMOVE once every handle is closed. False: the test sends REMOVE.
    bool removeAfterSurpriseRemoval = true;
    // After a failed start the PnP manager sends REMOVE at once (Device
    // Manager then shows code 10). False: the stack stays as the failed
    // start left it, for tests of what a driver leaves, until the test
    // sends REMOVE.
    bool removeAfterFailedStart = true;
    // Refuse QUERY_REMOVE (STATUS_DEVICE_BUSY, nothing sent) while handles
    // are open, as some Windows versions do; by default the query is sent.
    bool vetoQueryRemoveWithOpenHandles = false;
};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads a driver (DriverEntry at PASSIVE_LEVEL); returns DriverEntry's status.
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry,
                        std::u16string_view registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pondrel");
    // DriverUnload, then the leak report; the verifier flags what was left.
    void UnloadDriver();
    PDRIVER_OBJECT Driver();

    // Loads, adds and starts: the usual first three steps of a test.
    NTSTATUS BringUp(PDRIVER_INITIALIZE entry);

    // The plugged device (plugs the model given in the options on first use
    // if plugDevice was false). Replug creates a new device after removal.
    usb::UsbDevice& Device();
    void Replug(usb::DeviceModel model);

    App& app();
    Pnp& pnp();
    Power& power();

    // Verifier findings so far.
    std::vector<verifier::Finding> Findings();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace emu
