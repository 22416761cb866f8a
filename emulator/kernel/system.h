// Kernel services for the rest of the emulator (PnP and power managers, bus
// driver, application side, test harness). A driver never calls these: it
// reaches the kernel only through the routines declared in wdm.h.
//
// This header is the contract between emulator/kernel and its users.
// Extend it; do not rename what is here without updating every user.
#pragma once

#include "emulator/kernel/wdm.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// ---- IRQL (per thread) ----
KIRQL CurrentIrql();

// Runs the calling thread at `irql` for the object's lifetime (for emulator
// threads that play a DPC or a system thread: the bus thread runs its
// completions inside a ScopedIrql(DISPATCH_LEVEL)).
class ScopedIrql {
public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;
private:
    KIRQL previous_;
};

// Calls `device` with a request the power manager held and marked pending on
// the caller's behalf (IofCallDriver otherwise refuses a location that
// already carries SL_PENDING_RETURNED as a pended request skipped down).
NTSTATUS HandOnHeldRequest(PDEVICE_OBJECT device, PIRP irp);

// False, reported in `routine` (IofCallDriver, PoCallDriver), when `irp`
// has no location to hand to a lower driver: its fields show a step down
// past the first location, a skip or a copy by a driver with no location of
// its own, whether the driver's inline code called the emulator or not.
bool CheckLocationToHandOver(PIRP irp, const char* routine);

// ---- Drivers ----
// Creates "\Driver\<name>", fills every MajorFunction with the I/O manager's
// default (fails the request with STATUS_INVALID_DEVICE_REQUEST), runs
// DriverEntry at PASSIVE_LEVEL and returns its status. On failure the driver
// object is gone and *driver is null. Pool, IRPs and work items allocated by
// the driver's code are attributed to this driver from here on.
NTSTATUS LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry,
                    std::u16string_view registryPath, PDRIVER_OBJECT* driver);

// Calls DriverUnload (if set), then reports to the verifier what the driver
// left behind (pool per tag, IRPs, work items, device objects, symbolic links)
// and frees the driver object. As the I/O manager defers an unload while a
// work item's device reference is held, it first waits (up to the limit
// below) for the driver's queued and running work items to finish.
void UnloadDriver(PDRIVER_OBJECT driver);
void SetUnloadWaitLimit(std::chrono::milliseconds limit);  // default 10 s
// How long a driver may keep a request with STATUS_MORE_PROCESSING_REQUIRED
// before the verifier reports it (default 20 s, or PONDREL_KEPT_REQUEST_SECONDS).
// Returns the limit it replaces.
std::chrono::milliseconds SetKeptRequestLimit(std::chrono::milliseconds limit);
// Unloaded driver objects kept to name the driver in a late finding; beyond
// this many the oldest is freed. UnloadedDriverObjectsKept() says how many
// are kept now.
inline constexpr size_t UnloadedDriversKept = 256;
size_t UnloadedDriverObjectsKept();

// A driver object for one of the emulator's own drivers (the bus driver).
// `fill` sets its dispatch table. Not subject to leak accounting.
PDRIVER_OBJECT CreateSystemDriver(std::u16string_view name, const std::function<void(PDRIVER_OBJECT)>& fill);
void DeleteSystemDriver(PDRIVER_OBJECT driver);

// Runs the calling thread "inside" a driver's code for the object's
// lifetime: what it allocates is attributed to that driver, and the
// completion ownership checks know whose code is running. The kernel does
// this itself around dispatch, completion, cancel and work-item routines,
// DriverEntry and DriverUnload; the PnP and power managers use it around the
// driver routines they call directly (power-request callbacks).
class DriverScope {
public:
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;
};

// Calls the driver's AddDevice for a PDO at PASSIVE_LEVEL inside the
// driver's scope, and checks what the I/O manager expects of it (the new
// device object no longer initializing, IRQL unchanged, no lock held).
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// ---- Device objects, stacks and names ----
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);  // follows AttachedDevice up
bool IsDeletePending(PDEVICE_OBJECT device);       // IoDeleteDevice was called

// Resolves an application or kernel path to the named device object:
// "\\.\X\rest", "\??\X\rest", "\DosDevices\X\rest", "\Device\X\rest" and
// enabled device-interface link names. `remainder` receives what follows the
// device name ("\rest", or empty). Returns null when nothing is found.
PDEVICE_OBJECT ResolveDeviceName(std::u16string_view path, std::u16string* remainder);

// Symbolic link names of the enabled interfaces of a class.
std::vector<std::u16string> EnabledInterfaces(const GUID& interfaceClass);

// Open-handle references on a device object (DEVICE_OBJECT.ReferenceCount).
// Dropping the last one finishes a deletion that IoDeleteDevice deferred.
void ReferenceDeviceObject(PDEVICE_OBJECT device);
void DereferenceDeviceObject(PDEVICE_OBJECT device);

// True until the memory of a deleted device object is released (after
// IoDeleteDevice and the last reference).
bool IsDeviceObjectAlive(PDEVICE_OBJECT device);
// Deleted device objects kept poisoned to catch late uses; beyond this many
// the oldest is freed. DeletedDeviceObjectsKept() says how many are kept now.
inline constexpr size_t DeletedDevicesKept = 256;
size_t DeletedDeviceObjectsKept();
// The device object `device` is attached to (null at the bottom).
PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device);

// File objects for the application side: FileName holds `fileName` (paged
// pool, NUL-terminated, MaximumLength = Length + 2); FsContext and
// FsContext2 start null. Neither touches the device's ReferenceCount.
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName);
void DeleteFileObject(PFILE_OBJECT file);

// ---- Pool ----
namespace pool {
struct TagStats {
    ULONG tag;
    uint64_t allocations;   // ever
    uint64_t frees;         // ever
    uint64_t liveBlocks;    // now
    uint64_t liveBytes;     // now
};
std::vector<TagStats> Stats();
uint64_t LiveBlocks(ULONG tag);

// Fault injection. Each rule fails matching allocations until cleared.
void FailNthAllocation(uint64_t n);          // the n-th allocation from now (1-based)
void FailAllocationsOfSize(SIZE_T bytes);
void FailAllocationsWithTag(ULONG tag);
void ClearFaults();

// The live block holding `address`: its first byte and the size its
// allocator asked for. False when the address lies in no live block. The
// bus uses it so that no length inside a descriptor or URB a driver hands
// it can make it read past the memory really there.
bool FindBlock(const void* address, const void** start, SIZE_T* bytes);
}  // namespace pool

// ---- Failable kernel calls (for low-resource sweeps) ----
// Every call that may fail for lack of resources (pool, IoAllocateIrp,
// IoBuildDeviceIoControlRequest, IoAllocateWorkItem, PoRequestPowerIrp,
// MDL mapping) counts here; FailNthCall makes the n-th one from now fail.
namespace faults {
uint64_t FailableCalls();
void FailNthCall(uint64_t n);
void Clear();  // also ends CountDriverCallsOnly
// True: only calls made while a (non-system) driver's code runs count and
// may fail, so that a sweep over a driver's calls leaves the application
// side, the PnP manager and the bus alone. False (the default): every call.
void CountDriverCallsOnly(bool only);
// Counts one failable call made by emulator code outside emulator/kernel
// (PoRequestPowerIrp); true when this one must fail.
bool ShouldFailCall();
}  // namespace faults

// ---- Verifier ----
namespace verifier {
struct Finding {
    std::string rule;      // e.g. "IRP completed twice"
    std::string routine;   // the routine in which the fault was seen
    std::string detail;    // IRP address, IRQL, tag ...
    uint64_t thread;       // emulator thread id
};
void Report(std::string rule, std::string routine, std::string detail = {});
std::vector<Finding> Findings();
size_t FindingCount();
void Clear();
// Called on every report (the test fixture uses it to fail the current test).
void SetListener(std::function<void(const Finding&)> listener);
// For routines implemented outside emulator/kernel (PoCallDriver,
// PoRequestPowerIrp): reports a call out of the driver made while the
// calling thread holds a spin lock, or above `maximumIrql`.
void CheckCallOut(const char* routine, KIRQL maximumIrql);
// For library routines implemented outside emulator/kernel (the USBD
// library): reports a call above the routine's documented `maximumIrql`.
void CheckIrql(const char* routine, KIRQL maximumIrql);
}  // namespace verifier

// ---- Emulator threads (for the watchdog's report of a hang) ----
namespace threads {
// Names the calling thread by its role in reports and traces ("bus",
// "system worker", "PnP manager", "application"); unnamed, it is "thread N".
void SetName(std::string name);
std::string CurrentName();
// One line per emulator thread that is blocked in a wait: its name, IRQL,
// what it waits on and in which routine.
std::string DescribeBlocked();
}  // namespace threads

// ---- Requests (for tests) ----
// IRPs allocated and not yet freed (by the I/O manager or IoFreeIrp).
uint64_t LiveIrps();

// ---- Scheduling hook ----
// Every interlocked operation, spin-lock acquisition, event wait and set and
// request completion passes here. By default it does nothing.
namespace sched {
enum class Point { Interlocked, SpinLockAcquire, SpinLockRelease, EventSet, EventWait, Complete, Call };
using Hook = void (*)(Point point, const void* object);
void SetHook(Hook hook);
void At(Point point, const void* object);

// A deterministic scheduler takes over through a controller: besides the
// points above it learns where asynchronous work is queued and run (the bus
// thread, the work-item thread, the managers' system threads) and when a
// thread blocks in a real wait, so that it can let one thread at a time run.
// None by default; every entry below then does nothing.
class Controller {
public:
    virtual void At(Point point, const void* object) = 0;
    virtual void Posted(const void* queue) = 0;     // work queued to `queue`
    virtual void Enter(const void* queue) = 0;      // the calling thread starts one piece of it
    virtual void Leave(const void* queue) = 0;      // and has finished that piece
    virtual void Blocking(const void* object) = 0;  // the calling thread is about to block on `object`
    virtual void Unblocked() = 0;                   // and has come back from that wait
protected:
    ~Controller() = default;
};
void SetController(Controller* controller);
void Posted(const void* queue);
void Enter(const void* queue);
void Leave(const void* queue);
void Blocking(const void* object);
void Unblocked();
}  // namespace sched

// ---- Observation (pondrel-sim's --trace) ----
// One observer may watch requests travel through the device stacks and work
// items run. Null by default; when set it is called on whatever thread does
// the work, so it must be thread-safe and must not call back into the kernel.
namespace observe {
enum class Point {
    CallDriver,      // IofCallDriver: `object` is the IRP, `device` the device called;
                     // IoGetCurrentIrpStackLocation(irp) is the location the callee sees
    LevelCompleted,  // IofCompleteRequest leaves `device`'s stack location of the IRP
                     // `object` (IoStatus already set), before that location's
                     // completion routine runs
    WorkItemStart,   // a work item's routine is about to run: `object` is the PIO_WORKITEM
    WorkItemEnd,     // the routine has returned
};
using Observer = void (*)(Point point, const void* object, PDEVICE_OBJECT device);
void SetObserver(Observer observer);
}  // namespace observe

// ---- Lifetime of the whole emulated kernel (one per test) ----
// Resets global state (pool accounting, objects, findings, faults) and starts
// the work-item thread; Shutdown stops it. The test harness owns this.
void KernelStartup();
void KernelShutdown();

}  // namespace emu
