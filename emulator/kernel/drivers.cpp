// Driver objects: loading (DriverEntry), unloading with the leak report,
// the emulator's own system drivers, and the per-thread "whose code runs
// now" that attributes allocations and completions to a driver.
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/keep_newest.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace emu::kernel {
namespace {

struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;          // "\Driver\<name>", backs DriverName
    std::u16string registryPath;  // backs the RegistryPath argument
    UNICODE_STRING registryPathString{};
    bool system = false;
    bool unloaded = false;
};

std::atomic<int64_t> unloadWaitMilliseconds{10000};
std::mutex driversMutex;
std::map<const DRIVER_OBJECT*, std::unique_ptr<DriverRecord>> drivers;  // guarded by driversMutex
std::deque<const DRIVER_OBJECT*> unloadedOrder;  // unloaded records, oldest first; guarded by driversMutex

// The system drivers among `drivers`, read without the lock: every check
// asks whether the code running is a system driver's. Written under
// driversMutex; a system driver that finds no free slot is counted in
// `unslottedSystemDrivers`, and while there is one a miss asks the map.
constexpr size_t SystemDriverSlots = 64;
std::array<std::atomic<const DRIVER_OBJECT*>, SystemDriverSlots> systemDrivers{};
std::atomic<size_t> systemDriverSlotsUsed{0};  // high-water mark
std::atomic<size_t> unslottedSystemDrivers{0};

// Caller holds driversMutex.
void NoteSystemDriver(const DRIVER_OBJECT* driver)
{
    for (size_t i = 0; i < SystemDriverSlots; ++i) {
        if (systemDrivers[i].load(std::memory_order_relaxed) == nullptr) {
            systemDrivers[i].store(driver, std::memory_order_release);
            if (i >= systemDriverSlotsUsed.load(std::memory_order_relaxed)) {
                systemDriverSlotsUsed.store(i + 1, std::memory_order_release);
            }
            return;
        }
    }
    unslottedSystemDrivers.fetch_add(1, std::memory_order_release);
}

// Caller holds driversMutex; `driver` is a system driver leaving the map.
void ForgetSystemDriver(const DRIVER_OBJECT* driver)
{
    for (auto& slot : systemDrivers) {
        if (slot.load(std::memory_order_relaxed) == driver) {
            slot.store(nullptr, std::memory_order_release);
            return;
        }
    }
    unslottedSystemDrivers.fetch_sub(1, std::memory_order_release);
}

// Caller holds driversMutex.
void EraseDriver(const DRIVER_OBJECT* driver)
{
    auto found = drivers.find(driver);
    if (found == drivers.end()) {
        return;
    }
    if (found->second->system) {
        ForgetSystemDriver(driver);
    }
    drivers.erase(found);
}

// The I/O manager's dispatch routine for every major function a driver
// does not handle.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void SetString(UNICODE_STRING* target, const std::u16string& text)
{
    target->Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text.c_str()));
    target->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    target->MaximumLength = static_cast<USHORT>(target->Length + sizeof(WCHAR));
}

PDRIVER_OBJECT NewDriver(std::u16string_view name, bool system)
{
    auto record = std::make_unique<DriverRecord>();
    record->system = system;
    record->name = u"\\Driver\\" + std::u16string(name);
    PDRIVER_OBJECT driver = &record->object;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &record->extension;
    record->extension.DriverObject = driver;
    SetString(&driver->DriverName, record->name);
    for (auto& dispatch : driver->MajorFunction) {
        dispatch = InvalidDeviceRequest;
    }
    std::lock_guard lock(driversMutex);
    drivers[driver] = std::move(record);
    if (system) {
        NoteSystemDriver(driver);
    }
    return driver;
}

// Marks a driver unloaded. Its record stays, so that a second unload or a
// late use is named after the driver, until UnloadedDriversKept newer ones
// wait behind it: a machine that loads its driver once per input (a
// fuzzer's) must not grow without end.
void RetireDriver(DriverRecord& record)
{
    std::lock_guard lock(driversMutex);
    record.unloaded = true;
    KeepNewest(unloadedOrder, static_cast<const DRIVER_OBJECT*>(&record.object), UnloadedDriversKept,
               [](const DRIVER_OBJECT* oldest) { EraseDriver(oldest); });
}

DriverRecord* FindDriver(const DRIVER_OBJECT* driver)
{
    std::lock_guard lock(driversMutex);
    auto found = drivers.find(driver);
    return found == drivers.end() ? nullptr : found->second.get();
}

// Waits, up to `limit`, until no other thread runs the driver's code (the
// tail of a completion routine that has given back its last reference); one
// still inside then would run unloaded code, which Windows answers with a
// bugcheck. On Windows a completion routine runs at DISPATCH_LEVEL, which
// nothing preempts, so those few instructions end long before the unload
// that reference allowed; host threads are preempted at any point.
// PASSIVE_LEVEL.
void WaitForThreadsToLeave(DriverRecord& record, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (AnotherThreadRuns(&record.object)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            verifier::Report("driver unloaded while a thread still runs its code", "DriverUnload",
                             ToUtf8(record.name));
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// What a driver routine called at PASSIVE_LEVEL must leave as it found.
void CheckReturnState(KIRQL irqlBefore, size_t locksBefore, const char* routine)
{
    ThreadState& self = CurrentThread();
    if (self.irql != irqlBefore) {
        verifier::Report("IRQL changed across a driver routine", routine,
                         "IRQL " + std::to_string(irqlBefore) + " -> " + std::to_string(self.irql));
        SetIrql(irqlBefore);
    }
    if (self.held.size() != locksBefore) {
        verifier::Report("driver routine returned holding a spin lock", routine);
    }
}

// Everything the driver leaves behind, reported per kind.
void ReportLeaks(PDRIVER_OBJECT driver)
{
    ReportDeviceLeaks(driver);
    ReportPoolLeaks(driver);
    ReportIrpLeaks(driver);
    ReportKeptAtEnd(driver, "at unload");
    ReportWorkItemLeaks(driver);
    ReportLinkLeaks(driver);
}

}  // namespace

bool IsSystemDriver(PDRIVER_OBJECT driver)
{
    if (driver == nullptr) {
        return false;
    }
    const size_t used = systemDriverSlotsUsed.load(std::memory_order_acquire);
    for (size_t i = 0; i < used; ++i) {
        if (systemDrivers[i].load(std::memory_order_acquire) == driver) {
            return true;
        }
    }
    if (unslottedSystemDrivers.load(std::memory_order_acquire) == 0) {
        return false;
    }
    DriverRecord* record = FindDriver(driver);
    return record != nullptr && record->system;
}

PDRIVER_OBJECT ChargedDriver()
{
    PDRIVER_OBJECT driver = CurrentDriver();
    return driver != nullptr && !IsSystemDriver(driver) ? driver : nullptr;
}

std::string DriverText(PDRIVER_OBJECT driver)
{
    if (driver == nullptr) {
        return "the system";
    }
    DriverRecord* record = FindDriver(driver);
    return record != nullptr ? ToUtf8(record->name) : Hex(driver);
}

void ResetDrivers()
{
    std::lock_guard lock(driversMutex);
    drivers.clear();
    unloadedOrder.clear();
    for (auto& slot : systemDrivers) {
        slot.store(nullptr, std::memory_order_release);
    }
    systemDriverSlotsUsed = 0;
    unslottedSystemDrivers = 0;
}

}  // namespace emu::kernel

namespace emu {

DriverScope::DriverScope(PDRIVER_OBJECT driver)
{
    auto& self = kernel::CurrentThread();
    self.drivers.push_back(driver);
    self.scopes.push_back(kernel::EnterDriverFrame());
    const size_t depth = self.drivers.size();
    if (depth <= kernel::ThreadState::PublishedDrivers) {
        self.publishedDrivers[depth - 1].store(driver, std::memory_order_relaxed);
    }
    self.publishedDepth.store(depth, std::memory_order_release);
}

DriverScope::~DriverScope()
{
    auto& self = kernel::CurrentThread();
    if (!self.scopes.empty()) {
        kernel::LeaveDriverFrame(self.scopes.back());
        self.scopes.pop_back();
    }
    self.drivers.pop_back();
    self.publishedDepth.store(self.drivers.size(), std::memory_order_release);
}

NTSTATUS LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, std::u16string_view registryPath,
                    PDRIVER_OBJECT* driver)
{
    kernel::CheckIrqlAtMost(PASSIVE_LEVEL, "DriverEntry");
    PDRIVER_OBJECT object = kernel::NewDriver(name, false);
    kernel::DriverRecord* record = kernel::FindDriver(object);
    record->registryPath = registryPath;
    kernel::SetString(&record->registryPathString, record->registryPath);
    object->DriverInit = entry;
    kernel::ThreadState& self = kernel::CurrentThread();
    const size_t locksBefore = self.held.size();
    NTSTATUS status;
    {
        DriverScope scope(object);
        kernel::RoutineScope routine("DriverEntry");
        status = entry(object, &record->registryPathString);
    }
    kernel::CheckReturnState(PASSIVE_LEVEL, locksBefore, "DriverEntry");
    for (PDEVICE_OBJECT device = object->DeviceObject; device != nullptr; device = device->NextDevice) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    if (!NT_SUCCESS(status)) {
        kernel::ReportLeaks(object);
        kernel::RetireDriver(*record);
        *driver = nullptr;
        return status;
    }
    *driver = object;
    return status;
}

void UnloadDriver(PDRIVER_OBJECT driver)
{
    kernel::CheckIrqlAtMost(PASSIVE_LEVEL, "DriverUnload");
    kernel::DriverRecord* record = kernel::FindDriver(driver);
    if (record == nullptr || record->unloaded) {
        verifier::Report("unload of a driver that is not loaded", "UnloadDriver", kernel::Hex(driver));
        return;
    }
    const std::chrono::milliseconds limit(kernel::unloadWaitMilliseconds.load());
    // A work item still running is reported as such at the leak report.
    if (kernel::WaitForDriverWork(driver, limit)) {
        kernel::WaitForThreadsToLeave(*record, limit);
    }
    if (driver->DriverUnload != nullptr) {
        kernel::ThreadState& self = kernel::CurrentThread();
        const size_t locksBefore = self.held.size();
        {
            DriverScope scope(driver);
            kernel::RoutineScope routine("DriverUnload");
            driver->DriverUnload(driver);
        }
        kernel::CheckReturnState(PASSIVE_LEVEL, locksBefore, "DriverUnload");
    }
    kernel::ReportLeaks(driver);
    kernel::RetireDriver(*record);
}

size_t UnloadedDriverObjectsKept()
{
    std::lock_guard lock(kernel::driversMutex);
    return kernel::unloadedOrder.size();
}

void SetUnloadWaitLimit(std::chrono::milliseconds limit)
{
    kernel::unloadWaitMilliseconds = limit.count();
}

PDRIVER_OBJECT CreateSystemDriver(std::u16string_view name, const std::function<void(PDRIVER_OBJECT)>& fill)
{
    PDRIVER_OBJECT driver = kernel::NewDriver(name, true);
    if (fill) {
        fill(driver);
    }
    return driver;
}

void DeleteSystemDriver(PDRIVER_OBJECT driver)
{
    kernel::DriverRecord* record = kernel::FindDriver(driver);
    if (record == nullptr || !record->system) {
        verifier::Report("DeleteSystemDriver of a driver that is not a system driver", "DeleteSystemDriver",
                         kernel::Hex(driver));
        return;
    }
    kernel::RetireDriver(*record);
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    kernel::CheckIrqlAtMost(PASSIVE_LEVEL, "AddDevice");
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) {
        verifier::Report("driver has no AddDevice routine", "AddDevice", kernel::DriverText(driver));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // A close on another thread may finish deleting an older device object
    // meanwhile, so the list is read under the device lock, before and after.
    const std::vector<PDEVICE_OBJECT> before = kernel::DeviceObjectsOf(driver);
    kernel::ThreadState& self = kernel::CurrentThread();
    const size_t locksBefore = self.held.size();
    NTSTATUS status;
    {
        DriverScope scope(driver);
        kernel::RoutineScope routine("AddDevice");
        status = addDevice(driver, physicalDevice);
    }
    kernel::CheckReturnState(PASSIVE_LEVEL, locksBefore, "AddDevice");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (PDEVICE_OBJECT device : kernel::DeviceObjectsOf(driver)) {
        if (std::find(before.begin(), before.end(), device) == before.end() && (device->Flags & DO_DEVICE_INITIALIZING)) {
            verifier::Report("DO_DEVICE_INITIALIZING not cleared by AddDevice", "AddDevice",
                             kernel::DriverText(driver));
        }
    }
    return status;
}

}  // namespace emu
