#include "emulator/pnp/pnp_manager.h"

#include "emulator/kernel/removal_windows.h"
#include "emulator/pnp/device_state.h"
#include "emulator/pnp/pnp_request.h"
#include "emulator/pnp/system_control.h"
#include "emulator/power/power_manager.h"

#include <algorithm>
#include <cstdio>

namespace emu::pnp {
namespace {

constexpr auto IdleLimit = std::chrono::seconds(30);

std::u16string DriverNameOf(std::u16string_view registryPath)
{
    size_t slash = registryPath.find_last_of(u'\\');
    return std::u16string(slash == std::u16string_view::npos ? registryPath : registryPath.substr(slash + 1));
}

std::string Describe(PDEVICE_OBJECT device)
{
    char text[48];
    std::snprintf(text, sizeof(text), "device %p", static_cast<void*>(device));
    return text;
}

// Why Windows never sends `minor` to a device stack in `life`; empty when it
// may. After a failed start, and after a surprise removal, only the removal
// comes; after a surprise removal the PnP manager sends it by itself, once
// the last handle is closed (`removalComes`), so nobody can ask for it. A
// start is for a new or stopped device, a stop follows its successful
// query, one query is pending at a time, and a started device is removed
// only after its query-remove succeeded. A cancel may come in any other
// state: a query some driver in the stack failed is cancelled for the whole
// stack, drivers that never saw it included.
std::string WhyNotSent(UCHAR minor, DeviceLife life, bool startFailed, bool removalComes)
{
    if (minor == IRP_MN_REMOVE_DEVICE && life == DeviceLife::SurpriseRemoved && removalComes) {
        return "after a surprise removal Windows sends IRP_MN_REMOVE_DEVICE by itself, once the last handle is closed";
    }
    if (minor == IRP_MN_REMOVE_DEVICE) {
        const bool started = life == DeviceLife::Started || life == DeviceLife::Stopped ||
                             life == DeviceLife::StopPending;
        return started ? "Windows removes a started device only after IRP_MN_QUERY_REMOVE_DEVICE succeeded" : "";
    }
    if (startFailed) {
        return "after a failed start Windows sends only IRP_MN_REMOVE_DEVICE";
    }
    if (life == DeviceLife::SurpriseRemoved) {
        return "after a surprise removal Windows sends only IRP_MN_REMOVE_DEVICE";
    }
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return life == DeviceLife::Added || life == DeviceLife::Stopped
                   ? ""
                   : "Windows starts only a new or stopped device";
    case IRP_MN_QUERY_STOP_DEVICE:
        return life == DeviceLife::Started ? "" : "Windows asks to stop only a started device";
    case IRP_MN_STOP_DEVICE:
        return life == DeviceLife::StopPending
                   ? ""
                   : "Windows stops a device only after IRP_MN_QUERY_STOP_DEVICE succeeded";
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return life == DeviceLife::StopPending || life == DeviceLife::RemovePending
                   ? "Windows has one query pending at a time"
                   : "";
    default:
        return "";
    }
}

}  // namespace

PnpManager::PnpManager(const MachineOptions& options, Hooks hooks) : options_(options), hooks_(std::move(hooks))
{
    RegisterForDeviceState(this);
}

PnpManager::~PnpManager()
{
    UnregisterForDeviceState(this);
}

// ---- The driver ----

NTSTATUS PnpManager::LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view registryPath)
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (driver_ != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = emu::LoadDriver(DriverNameOf(registryPath), entry, registryPath, &driver);
    entry_ = entry;
    registryPath_ = std::u16string(registryPath);
    if (NT_SUCCESS(status)) {
        driver_ = driver;
        removedOnce_ = false;
    }
    return status;
}

// A driver unloaded under a device it is still attached to leaves a broken
// stack: the verifier reports the device objects, and the PnP manager stops
// sending requests to it.
void PnpManager::UnloadDriver()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (driver_ == nullptr) {
        return;
    }
    PDRIVER_OBJECT driver = driver_;
    driver_ = nullptr;
    removedOnce_ = false;
    emu::UnloadDriver(driver);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        removed_.clear();
    }
    if (HasStackLife(Life())) {
        CloseRemovalWindow(RemovalWindow::SurpriseRemoved, pdo_);
        std::lock_guard<std::mutex> lock(stateMutex_);
        stack_ = {pdo_};
        life_ = DeviceLife::Plugged;
        lifeChanged_.notify_all();
    }
}

PDRIVER_OBJECT PnpManager::Driver()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    return driver_;
}

// ---- The device ----

usb::UsbDevice& PnpManager::Device()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (!device_) {
        Plug(options_.device);
    }
    return *device_;
}

bool PnpManager::HasDevice()
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return device_ != nullptr;
}

PDEVICE_OBJECT PnpManager::Pdo()
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return pdo_;
}

void PnpManager::Plug(usb::DeviceModel model)
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    std::shared_ptr<usb::UsbDevice> device = usb::Bus::Instance().Plug(std::move(model));
    std::lock_guard<std::mutex> lock(stateMutex_);
    device_ = device;
    pdo_ = device->Pdo();  // null when the hub refused to enumerate the device
    stack_ = pdo_ != nullptr ? std::vector<PDEVICE_OBJECT>{pdo_} : std::vector<PDEVICE_OBJECT>{};
    gone_ = false;
    everStarted_ = false;
    startFailed_ = false;
    life_ = pdo_ != nullptr ? DeviceLife::Plugged : DeviceLife::Unplugged;
    lifeChanged_.notify_all();
}

// The current device leaves the bus and its stack is removed at once, open
// handles or not (the test asked for a new device), then the new one comes.
void PnpManager::Replug(usb::DeviceModel model)
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (device_ && Life() != DeviceLife::Unplugged) {
        if (!gone_) {
            device_->Disconnect();
            std::lock_guard<std::mutex> lock(stateMutex_);
            gone_ = true;
        }
        if (HasStack()) {
            if (Life() != DeviceLife::SurpriseRemoved && !startFailed_) {
                DoSurpriseRemove();
            }
            DoRemove();
        }
        UnplugIfGone();
    } else if (device_ && device_->Pdo() == nullptr) {
        usb::Bus::Instance().Unplug(device_);  // never enumerated
    }
    Plug(std::move(model));
}

// ---- Notifications ----

// Called by the bus after the device's transfers have failed, with none of
// the bus's locks held.
void PnpManager::OnDisconnect(usb::UsbDevice& device)
{
    std::shared_ptr<usb::UsbDevice> current;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (device_.get() != &device) {
            return;
        }
        current = device_;
    }
    RunOrPost([this, current] { HandleDisconnect(current); });
}

void PnpManager::OnFileClosed()
{
    RunOrPost([this] {
        std::lock_guard<std::recursive_mutex> op(opMutex_);
        RemoveWhenClosed();
        MaybeUnload();
    });
}

// Taking the operation lock only if it is free keeps a notification from
// waiting behind an operation that itself waits for the notifier.
void PnpManager::RunOrPost(std::function<void()> task)
{
    if (CurrentIrql() == PASSIVE_LEVEL && opMutex_.try_lock()) {
        task();
        opMutex_.unlock();
        return;
    }
    worker_.Post(std::move(task));
}

// ---- emu::Pnp ----

NTSTATUS PnpManager::AddDevice()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    return DoAddDevice();
}

NTSTATUS PnpManager::Start()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (NTSTATUS refused = CheckSequence(IRP_MN_START_DEVICE); refused != STATUS_SUCCESS) {
        return refused;
    }
    return DoStart();
}

NTSTATUS PnpManager::QueryStop()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (NTSTATUS refused = CheckSequence(IRP_MN_QUERY_STOP_DEVICE); refused != STATUS_SUCCESS) {
        return refused;
    }
    return DoQuery(IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, DeviceLife::StopPending);
}

NTSTATUS PnpManager::CancelStop()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (NTSTATUS refused = CheckSequence(IRP_MN_CANCEL_STOP_DEVICE); refused != STATUS_SUCCESS) {
        return refused;
    }
    return DoCancel(IRP_MN_CANCEL_STOP_DEVICE, DeviceLife::StopPending);
}

NTSTATUS PnpManager::Stop()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (!HasStack()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (NTSTATUS refused = CheckSequence(IRP_MN_STOP_DEVICE); refused != STATUS_SUCCESS) {
        return refused;
    }
    DeviceLife before = Life();
    NTSTATUS status = SendToStack(IRP_MN_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        if (before == DeviceLife::StopPending) {
            verifier::Report("IRP_MN_STOP_DEVICE failed after a successful query-stop", "PnpManager",
                             Describe(pdo_));
        }
        return status;
    }
    SetLife(DeviceLife::Stopped);
    return status;
}

NTSTATUS PnpManager::QueryRemove()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (NTSTATUS refused = CheckSequence(IRP_MN_QUERY_REMOVE_DEVICE); refused != STATUS_SUCCESS) {
        return refused;
    }
    return DoQuery(IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, DeviceLife::RemovePending);
}

NTSTATUS PnpManager::CancelRemove()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (NTSTATUS refused = CheckSequence(IRP_MN_CANCEL_REMOVE_DEVICE); refused != STATUS_SUCCESS) {
        return refused;
    }
    return DoCancel(IRP_MN_CANCEL_REMOVE_DEVICE, DeviceLife::RemovePending);
}

NTSTATUS PnpManager::SurpriseRemove()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (NTSTATUS refused = CheckSequence(IRP_MN_SURPRISE_REMOVAL); refused != STATUS_SUCCESS) {
        return refused;
    }
    return DoSurpriseRemove();
}

// A started or stopped device is removed in order, as on disable or
// uninstall: IRP_MN_QUERY_REMOVE_DEVICE first, the removal only if it
// succeeds.
NTSTATUS PnpManager::Remove()
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    const DeviceLife life = Life();
    if (HasStack() && !startFailed_ && (life == DeviceLife::Started || life == DeviceLife::Stopped)) {
        NTSTATUS query =
            DoQuery(IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, DeviceLife::RemovePending);
        if (!NT_SUCCESS(query)) {
            return query;
        }
    }
    if (NTSTATUS refused = CheckSequence(IRP_MN_REMOVE_DEVICE); refused != STATUS_SUCCESS) {
        return refused;
    }
    return DoRemove();
}

NTSTATUS PnpManager::QueryCapabilities(DEVICE_CAPABILITIES* capabilities)
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (!HasStack()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (NTSTATUS refused = CheckSequence(IRP_MN_QUERY_CAPABILITIES); refused != STATUS_SUCCESS) {
        return refused;
    }
    DEVICE_CAPABILITIES local{};
    local.Size = sizeof(DEVICE_CAPABILITIES);
    local.Version = 1;
    local.Address = 0xFFFFFFFF;
    local.UINumber = 0xFFFFFFFF;
    NTSTATUS status = SendToStack(IRP_MN_QUERY_CAPABILITIES, [&local](PIO_STACK_LOCATION location) {
        location->Parameters.DeviceCapabilities.Capabilities = &local;
    });
    if (capabilities != nullptr) {
        *capabilities = local;
    }
    return status;
}

NTSTATUS PnpManager::Send(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (!HasStack()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (NTSTATUS refused = CheckSequence(minor); refused != STATUS_SUCCESS) {
        return refused;
    }
    return SendToStack(minor, setup);
}

// After removal: the removed device object while open handles keep it.
PDEVICE_OBJECT PnpManager::FunctionDevice()
{
    PDEVICE_OBJECT device = nullptr;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (stack_.size() >= 2) {
            device = stack_.back();
        } else if (!removed_.empty()) {
            device = removed_.back();
        }
    }
    return device != nullptr && IsDeviceObjectAlive(device) ? device : nullptr;
}

DeviceLife PnpManager::Life()
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return life_;
}

std::string PnpManager::LastRefusal()
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return lastRefusal_;
}

bool PnpManager::WaitForLife(DeviceLife life, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(stateMutex_);
    return lifeChanged_.wait_for(lock, timeout, [&] { return life_ == life; });
}

bool PnpManager::WaitIdle(std::chrono::milliseconds timeout)
{
    return worker_.WaitIdle(timeout);
}

// WMI requests are not serialized with PnP requests on Windows; holding the
// operation lock here only keeps the stack from going while one is sent.
NTSTATUS PnpManager::SystemControl(UCHAR minor, ULONG_PTR providerId)
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (!HasStack()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    return SendSystemControl(pdo_, minor, providerId);
}

void PnpManager::OnDeviceStateInvalidated(PDEVICE_OBJECT pdo)
{
    if (Pdo() != pdo) {
        return;
    }
    worker_.Post([this, pdo] {
        std::lock_guard<std::recursive_mutex> op(opMutex_);
        if (pdo_ == pdo) {
            RequeryDeviceState();
        }
    });
}

DeviceLife PnpManager::WaitForAnyLife(std::initializer_list<DeviceLife> lives, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(stateMutex_);
    lifeChanged_.wait_for(lock, timeout, [&] { return std::find(lives.begin(), lives.end(), life_) != lives.end(); });
    return life_;
}

// ---- Steps (opMutex_ held) ----

// IRP_MN_QUERY_PNP_DEVICE_STATE after IoInvalidateDeviceState; a running
// device that reports new resource requirements is sent IRP_MN_START_DEVICE
// again, without a stop, as Windows does.
void PnpManager::RequeryDeviceState()
{
    if (!HasStack() || Life() != DeviceLife::Started) {
        return;
    }
    ULONG_PTR state = 0;
    const NTSTATUS status = SendToStack(IRP_MN_QUERY_PNP_DEVICE_STATE, {}, &state);
    if (NT_SUCCESS(status) && (state & PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED) != 0 &&
        Life() == DeviceLife::Started) {
        DoStart();
    }
}

bool PnpManager::HasStackLife(DeviceLife life)
{
    return life == DeviceLife::Added || life == DeviceLife::Started || life == DeviceLife::StopPending ||
           life == DeviceLife::Stopped || life == DeviceLife::RemovePending || life == DeviceLife::SurpriseRemoved;
}

bool PnpManager::HasStack()
{
    return driver_ != nullptr && HasStackLife(Life());
}

NTSTATUS PnpManager::CheckSequence(UCHAR minor)
{
    const bool removalComes = options_.removeAfterSurpriseRemoval && gone_;
    std::string why = HasStack() ? WhyNotSent(minor, Life(), startFailed_, removalComes) : std::string();
    const NTSTATUS status = why.empty() ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    std::lock_guard<std::mutex> lock(stateMutex_);
    lastRefusal_ = std::move(why);
    return status;
}

NTSTATUS PnpManager::SendToStack(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                                 ULONG_PTR* information)
{
    PnpResult result = SendPnpRequest(pdo_, minor, setup);
    if (information != nullptr) {
        *information = result.information;
    }
    return result.status;
}

// Loads the driver again if it unloaded with its last device (Windows does
// so when the device comes back), then AddDevice for the PDO at
// PASSIVE_LEVEL. A PDO gets one function driver.
NTSTATUS PnpManager::DoAddDevice()
{
    if (driver_ == nullptr) {
        if (entry_ == nullptr) {
            return STATUS_UNSUCCESSFUL;
        }
        NTSTATUS status = LoadDriver(entry_, registryPath_);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (!device_) {
        Plug(options_.device);
    }
    if (pdo_ == nullptr) {
        return STATUS_NO_SUCH_DEVICE;  // the hub did not enumerate the device
    }
    DeviceLife life = Life();
    if (gone_ || (life != DeviceLife::Plugged && life != DeviceLife::Removed)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (driver_->DriverExtension->AddDevice == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = CallAddDevice(driver_, pdo_);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::vector<PDEVICE_OBJECT> stack = StackDevices();
    CheckAddedStack(stack);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        stack_ = std::move(stack);
        everStarted_ = false;
    }
    startFailed_ = false;
    SetLife(DeviceLife::Added);
    return status;
}

// What Driver Verifier checks of the stack when AddDevice returns, beyond
// what CallAddDevice checks of the new device object.
void PnpManager::CheckAddedStack(const std::vector<PDEVICE_OBJECT>& stack)
{
    if (stack.size() < 2) {
        verifier::Report("AddDevice succeeded without attaching a device object", "AddDevice", Describe(pdo_));
        return;
    }
    for (size_t i = 1; i < stack.size(); ++i) {
        PDEVICE_OBJECT lower = stack[i - 1];
        PDEVICE_OBJECT upper = stack[i];
        if ((lower->Flags & DO_POWER_PAGABLE) != 0 && (upper->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH)) == 0) {
            verifier::Report("DO_POWER_PAGABLE not inherited from the lower device", "AddDevice", Describe(upper));
        }
    }
}

// IRP_MN_START_DEVICE; after a successful start the capabilities are asked
// again (top of the stack first), and after the first one the device state.
// After a failed one the removal is all that may follow, and Windows sends
// it at once: the device keeps its PDO with no function driver (code 10).
NTSTATUS PnpManager::DoStart()
{
    if (!HasStack()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS status = SendToStack(IRP_MN_START_DEVICE);
    startFailed_ = !NT_SUCCESS(status);
    if (!NT_SUCCESS(status)) {
        if (options_.removeAfterFailedStart) {
            DoRemove();
        }
        return status;
    }
    bool first;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        first = !everStarted_;
        everStarted_ = true;
    }
    SetLife(DeviceLife::Started);
    QueryCapabilities(nullptr);
    if (first) {
        SendToStack(IRP_MN_QUERY_PNP_DEVICE_STATE);
    }
    return status;
}

// A refused query is cancelled for the whole stack, as Windows does.
NTSTATUS PnpManager::DoQuery(UCHAR query, UCHAR cancel, DeviceLife pending)
{
    if (!HasStack()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (query == IRP_MN_QUERY_REMOVE_DEVICE && options_.vetoQueryRemoveWithOpenHandles && OpenFilesOnStack() > 0) {
        return STATUS_DEVICE_BUSY;
    }
    DeviceLife before = Life();
    NTSTATUS status = SendToStack(query);
    if (query == IRP_MN_QUERY_REMOVE_DEVICE && status == STATUS_NOT_SUPPORTED) {
        verifier::Report("IRP_MN_QUERY_REMOVE_DEVICE answered STATUS_NOT_SUPPORTED", "PnpManager", Describe(pdo_));
    }
    if (!NT_SUCCESS(status)) {
        DoCancel(cancel, pending);
        return status;
    }
    if (before != DeviceLife::StopPending && before != DeviceLife::RemovePending) {
        std::lock_guard<std::mutex> lock(stateMutex_);
        lifeBeforeQuery_ = before;
    }
    SetLife(pending);
    return status;
}

// A cancel may not fail; a successful one restores the state the query left.
NTSTATUS PnpManager::DoCancel(UCHAR cancel, DeviceLife pending)
{
    if (!HasStack()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS status = SendToStack(cancel);
    if (!NT_SUCCESS(status)) {
        verifier::Report(std::string(PnpMinorName(cancel)) + " failed; it must not fail", "PnpManager",
                         Describe(pdo_));
        return status;
    }
    DeviceLife restored;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        restored = lifeBeforeQuery_;
    }
    if (Life() == pending) {
        SetLife(restored);
    }
    return status;
}

// Cannot be refused; the stack stays until REMOVE.
NTSTATUS PnpManager::DoSurpriseRemove()
{
    if (!HasStack()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    OpenRemovalWindow(RemovalWindow::SurpriseRemoved, pdo_, DevicesAbovePdo());
    NTSTATUS status = SendToStack(IRP_MN_SURPRISE_REMOVAL);
    if (!NT_SUCCESS(status)) {
        verifier::Report("IRP_MN_SURPRISE_REMOVAL failed; it must not fail", "PnpManager", Describe(pdo_));
    }
    SetLife(DeviceLife::SurpriseRemoved);
    return status;
}

// REMOVE to the whole stack; the driver deletes its device objects, which
// may live on while file objects refer to them. The PDO of a device that
// left the bus goes, and the driver unloads once its objects are gone.
NTSTATUS PnpManager::DoRemove()
{
    if (!HasStack()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    std::vector<PDEVICE_OBJECT> stack;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        stack = stack_;
    }
    std::vector<PDEVICE_OBJECT> ours;  // the driver's device objects, which it deletes now
    for (PDEVICE_OBJECT device : stack) {
        if (device != pdo_ && device->DriverObject == driver_) {
            ours.push_back(device);
        }
    }
    CloseRemovalWindow(RemovalWindow::SurpriseRemoved, pdo_);
    OpenRemovalWindow(RemovalWindow::RemoveNotYetBelow, pdo_, DevicesAbovePdo());
    NTSTATUS status = SendToStack(IRP_MN_REMOVE_DEVICE);
    CloseRemovalWindow(RemovalWindow::RemoveNotYetBelow, pdo_);
    if (!NT_SUCCESS(status)) {
        verifier::Report("IRP_MN_REMOVE_DEVICE failed; it must not fail", "PnpManager", Describe(pdo_));
    }
    for (PDEVICE_OBJECT device : stack) {
        if (device != pdo_) {
            power::ForgetDevice(device);
        }
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        removed_.insert(removed_.end(), ours.begin(), ours.end());
        stack_ = {pdo_};
        removedOnce_ = true;
    }
    startFailed_ = false;
    SetLife(DeviceLife::Removed);
    UnplugIfGone();
    MaybeUnload();
    return status;
}

// The bus deletes the PDO of a device that has left it once its stack is
// removed (or was never built).
void PnpManager::UnplugIfGone()
{
    DeviceLife life = Life();
    if (!gone_ || (life != DeviceLife::Removed && life != DeviceLife::Plugged)) {
        return;
    }
    usb::Bus::Instance().Unplug(device_);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        pdo_ = nullptr;
        stack_.clear();
    }
    SetLife(DeviceLife::Unplugged);
}

// The driver goes when its last device object has: after a removal, and
// once the file objects that kept a deleted device object alive are closed.
void PnpManager::MaybeUnload()
{
    if (driver_ == nullptr || !removedOnce_) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (stack_.size() >= 2) {
            return;  // a device added since (a notification posted earlier runs late)
        }
        std::erase_if(removed_, [](PDEVICE_OBJECT device) { return !IsDeviceObjectAlive(device); });
        if (!removed_.empty()) {
            return;
        }
    }
    // A power request whose callback has just returned may still be on its
    // way out of the power manager; the driver goes only after it.
    power::WaitForRequests(std::chrono::seconds(5));
    UnloadDriver();
}

// After a disconnect: REMOVE follows the surprise removal once every file
// object on the stack is closed.
void PnpManager::RemoveWhenClosed()
{
    if (!options_.removeAfterSurpriseRemoval || !gone_ || Life() != DeviceLife::SurpriseRemoved) {
        return;
    }
    if (OpenFilesOnStack() == 0) {
        DoRemove();
    }
}

// The device left the bus: surprise removal for a stack with a driver (in
// whatever state it is), then removal once no file object is open on it.
void PnpManager::HandleDisconnect(const std::shared_ptr<usb::UsbDevice>& device)
{
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    if (device != device_ || Life() == DeviceLife::Unplugged) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        gone_ = true;
    }
    if (!HasStack()) {
        UnplugIfGone();
        return;
    }
    if (startFailed_) {
        DoRemove();  // a failed start is followed by the removal alone
        return;
    }
    if (Life() != DeviceLife::SurpriseRemoved) {
        DoSurpriseRemove();
    }
    RemoveWhenClosed();
}

// Notifications still queued run first; the device goes, then the driver,
// after the power requests that may still call into it have ended.
void PnpManager::Teardown()
{
    worker_.WaitIdle(IdleLimit);
    {
        std::lock_guard<std::recursive_mutex> op(opMutex_);
        TeardownDevice();
    }
    worker_.WaitIdle(IdleLimit);
    power::WaitForRequests(std::chrono::seconds(5));  // callbacks into the driver have returned
    std::lock_guard<std::recursive_mutex> op(opMutex_);
    UnloadDriver();
}

// Removes the device from whatever state the test left it in, the way
// Windows would on shutdown or disable.
void PnpManager::TeardownDevice()
{
    if (!HasStack()) {
        return;
    }
    switch (Life()) {
    case DeviceLife::StopPending:
        DoCancel(IRP_MN_CANCEL_STOP_DEVICE, DeviceLife::StopPending);
        break;
    case DeviceLife::Started:
    case DeviceLife::Stopped:
        break;
    default:
        DoRemove();
        return;
    }
    if (Life() == DeviceLife::StopPending) {  // the cancel failed: nothing orderly is left
        DoSurpriseRemove();
        DoRemove();
        return;
    }
    if (NT_SUCCESS(DoQuery(IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, DeviceLife::RemovePending))) {
        DoRemove();
        return;
    }
    DoSurpriseRemove();
    DoRemove();
}

void PnpManager::SetLife(DeviceLife life)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    life_ = life;
    lifeChanged_.notify_all();
}

// The device objects from the PDO up, walked down from the top through the
// kernel's own records.
std::vector<PDEVICE_OBJECT> PnpManager::StackDevices()
{
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT device = TopOfStack(pdo_); device != nullptr; device = LowerDeviceOf(device)) {
        stack.insert(stack.begin(), device);
    }
    return stack;
}

std::vector<PDEVICE_OBJECT> PnpManager::DevicesAbovePdo()
{
    std::vector<PDEVICE_OBJECT> above = StackDevices();
    std::erase(above, pdo_);
    return above;
}

size_t PnpManager::OpenFilesOnStack()
{
    std::vector<PDEVICE_OBJECT> stack;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        stack = stack_;
    }
    return hooks_.openFiles ? hooks_.openFiles(stack) : 0;
}

}  // namespace emu::pnp
