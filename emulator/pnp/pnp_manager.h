// The PnP manager of one emulated machine: it loads the function driver,
// adds it to the plugged device's stack, starts, stops and removes the
// device as Windows does, reacts to a disconnect from the bus with surprise
// removal (and removal once the handles are closed), and unloads the driver
// when its last device is gone.
#pragma once

#include "emulator/machine.h"
#include "emulator/system_worker.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace emu::pnp {

class PnpManager final : public Pnp {
public:
    struct Hooks {
        // File objects not yet closed whose device is one of `devices`.
        std::function<size_t(const std::vector<PDEVICE_OBJECT>& devices)> openFiles;
    };

    PnpManager(const MachineOptions& options, Hooks hooks);
    ~PnpManager() override;

    // ---- The driver ----
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view registryPath);
    void UnloadDriver();  // DriverUnload and the leak report; nothing if not loaded
    PDRIVER_OBJECT Driver();

    // ---- The device ----
    usb::UsbDevice& Device();  // plugs the default model on first use
    bool HasDevice();
    PDEVICE_OBJECT Pdo();      // null when nothing is plugged
    void Plug(usb::DeviceModel model);
    // Removes the current device if it is still there, then plugs `model`.
    void Replug(usb::DeviceModel model);

    // ---- Notifications ----
    // Acted on at once in the calling thread when it is at PASSIVE_LEVEL and
    // no other PnP operation is running; otherwise in the PnP manager's
    // thread, as soon as it can.
    void OnDisconnect(usb::UsbDevice& device);
    void OnFileClosed();

    // Leaves the machine as the test found it: removes the device the test
    // left in any state and unloads the driver. Findings are not hidden.
    void Teardown();

    // ---- emu::Pnp ----
    NTSTATUS AddDevice() override;
    NTSTATUS Start() override;
    NTSTATUS QueryStop() override;
    NTSTATUS CancelStop() override;
    NTSTATUS Stop() override;
    NTSTATUS QueryRemove() override;
    NTSTATUS CancelRemove() override;
    NTSTATUS SurpriseRemove() override;
    NTSTATUS Remove() override;
    NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities) override;
    NTSTATUS Send(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = {}) override;
    PDEVICE_OBJECT FunctionDevice() override;
    DeviceLife Life() override;
    std::string LastRefusal() override;
    bool WaitForLife(DeviceLife life, std::chrono::milliseconds timeout) override;
    bool WaitIdle(std::chrono::milliseconds timeout) override;
    NTSTATUS SystemControl(UCHAR minor, ULONG_PTR providerId) override;

    // IoInvalidateDeviceState for `pdo`: if it is this machine's, the device
    // state is queried again from the PnP manager's thread, and a running
    // device whose resource requirements changed is started again.
    void OnDeviceStateInvalidated(PDEVICE_OBJECT pdo);
    DeviceLife WaitForAnyLife(std::initializer_list<DeviceLife> lives, std::chrono::milliseconds timeout) override;

private:
    // All private steps run with opMutex_ held.
    static bool HasStackLife(DeviceLife life);
    // STATUS_SUCCESS when Windows may send `minor` now; otherwise records
    // why not and returns STATUS_INVALID_DEVICE_STATE.
    NTSTATUS CheckSequence(UCHAR minor);
    bool HasStack();
    NTSTATUS SendToStack(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = {},
                         ULONG_PTR* information = nullptr);
    NTSTATUS DoAddDevice();
    NTSTATUS DoStart();
    NTSTATUS DoQuery(UCHAR query, UCHAR cancel, DeviceLife pending);
    NTSTATUS DoCancel(UCHAR cancel, DeviceLife pending);
    NTSTATUS DoSurpriseRemove();
    NTSTATUS DoRemove();
    void RequeryDeviceState();
    void CheckAddedStack(const std::vector<PDEVICE_OBJECT>& stack);
    void UnplugIfGone();
    void MaybeUnload();
    void RemoveWhenClosed();
    void HandleDisconnect(const std::shared_ptr<usb::UsbDevice>& device);
    void TeardownDevice();
    void SetLife(DeviceLife life);
    std::vector<PDEVICE_OBJECT> StackDevices();  // the PDO first, the top last
    std::vector<PDEVICE_OBJECT> DevicesAbovePdo();
    size_t OpenFilesOnStack();
    void RunOrPost(std::function<void()> task);

    MachineOptions options_;
    Hooks hooks_;
    std::recursive_mutex opMutex_;  // one PnP operation at a time, as the PnP manager's thread does

    std::mutex stateMutex_;  // guards the fields below it; never held across a call into a driver
    std::condition_variable lifeChanged_;
    DeviceLife life_ = DeviceLife::Unplugged;
    DeviceLife lifeBeforeQuery_ = DeviceLife::Added;
    bool everStarted_ = false;   // creates are refused until the first start has completed
    bool removedOnce_ = false;   // a removal has happened: the driver unloads with its last device
    std::shared_ptr<usb::UsbDevice> device_;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool gone_ = false;          // the device has left the bus; guarded by opMutex_
    bool startFailed_ = false;   // the last start failed: only removal may follow; guarded by opMutex_
    std::string lastRefusal_;    // guarded by stateMutex_
    std::vector<PDEVICE_OBJECT> stack_;    // the PDO and what is attached above it, bottom first
    std::vector<PDEVICE_OBJECT> removed_;  // the driver's device objects removed and maybe not yet freed
    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_INITIALIZE entry_ = nullptr;
    std::u16string registryPath_;

    SystemWorker worker_{"PnP manager"};  // last: stops before the state it uses goes
};

}  // namespace emu::pnp
