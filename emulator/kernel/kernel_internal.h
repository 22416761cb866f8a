// Internal: what one file of the kernel core calls in another.
#pragma once

#include "emulator/kernel/system.h"

#include <chrono>
#include <string>
#include <vector>

namespace emu::kernel {

// irql.cpp: reports a call above the routine's highest IRQL.
void CheckIrqlAtMost(KIRQL maximum, const char* routine);

// power_irp_rules.cpp: a pool allocation, or a call of a routine that only
// runs at PASSIVE_LEVEL, by a driver handling a set-power request.
void CheckPowerDownAllocate(const char* routine);
void CheckPowerIrpDdi(const char* routine);

// events.cpp
NTSTATUS WaitForEvent(PKEVENT event, const LARGE_INTEGER* timeout, const char* routine);
LONG SignalEvent(PKEVENT event);
void ResetWaiters();

// stack_events.cpp: events on a driver routine's stack frame, dead once
// the routine has returned to the kernel.
void NoteEventInitialized(const void* event);
// False (reported) for a dead one.
bool CheckEventAlive(const void* event, const char* routine);
uint64_t EnterDriverFrame();
void LeaveDriverFrame(uint64_t scope);
void ResetStackEvents();

// stack_budget.cpp: one dispatch or completion routine running on the
// calling thread, for the kernel-stack budget; constructed just before the
// driver's routine is called. CheckStackBudget measures the innermost
// routine's frames at a kernel call the driver makes.
class DriverLevel {
public:
    explicit DriverLevel(const char* routine);
    ~DriverLevel();
    DriverLevel(const DriverLevel&) = delete;
    DriverLevel& operator=(const DriverLevel&) = delete;
};
void CheckStackBudget(const char* routine);

// spin_lock.cpp
void AcquireCancelLock(KIRQL savedIrql);

// stack_verify.cpp: false (reported) when IofCompleteRequest finds the
// current location below the first one.
bool CheckLocationToComplete(PIRP irp);

// pool.cpp: allocations made by the kernel for itself or on a driver's
// behalf. `owner` is the driver charged (null: the system); `failable`
// lets fault injection fail it.
PVOID AllocatePool(POOL_TYPE type, SIZE_T bytes, ULONG tag, PDRIVER_OBJECT owner, bool failable);
void FreePool(PVOID block, const char* routine);
bool IsFreedPool(const void* address);
// Reports the driver's surviving blocks per tag, then frees them.
void ReportPoolLeaks(PDRIVER_OBJECT driver);
void ResetPool();

// The driver charged for what the calling thread allocates (null: the
// system, i.e. emulator code or a system driver).
PDRIVER_OBJECT ChargedDriver();

// device_objects.cpp
// A device object whose memory is still valid (created, not finally freed).
bool IsLiveDevice(const DEVICE_OBJECT* device);
// Work items hold these on the device they run for.
void ReferenceDeviceKernel(PDEVICE_OBJECT device);
void DereferenceDeviceKernel(PDEVICE_OBJECT device);
void ReportDeviceLeaks(PDRIVER_OBJECT driver);
// The driver's device objects, read under the lock that a deferred deletion
// on another thread takes to unlink one.
std::vector<PDEVICE_OBJECT> DeviceObjectsOf(PDRIVER_OBJECT driver);
void ResetDevices();

// names.cpp
NTSTATUS InsertDeviceName(const std::u16string& name, PDEVICE_OBJECT device);
void RemoveDeviceName(PDEVICE_OBJECT device);
std::u16string DeviceNameOf(PDEVICE_OBJECT device);
NTSTATUS InsertLink(const std::u16string& link, const std::u16string& target, PDRIVER_OBJECT owner);
NTSTATUS RemoveLink(const std::u16string& link);
void ReportLinkLeaks(PDRIVER_OBJECT driver);
void ResetNames();

// interfaces.cpp
void RemoveInterfacesOf(PDEVICE_OBJECT physicalDevice);
void ResetInterfaces();

// drivers.cpp
void ResetDrivers();
std::string DriverText(PDRIVER_OBJECT driver);

// work_items.cpp
// Waits until none of the driver's work items is queued or running; false
// when the limit passed first.
bool WaitForDriverWork(PDRIVER_OBJECT driver, std::chrono::milliseconds limit);
void ReportWorkItemLeaks(PDRIVER_OBJECT driver);
void StartWorker();
void StopWorker();

// mdl.cpp
void ResetMdls();

// file_objects.cpp
bool IsFileObject(const void* object);
void ResetFileObjects();

// Strings
std::u16string ToU16(const UNICODE_STRING* string);
std::string ToUtf8(std::u16string_view text);

// Text helpers for findings.
std::string Hex(const void* pointer);
std::string Hex(ULONG value);
std::string TagText(ULONG tag);

}  // namespace emu::kernel
