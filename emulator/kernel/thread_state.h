// What the kernel keeps per emulated thread: IRQL, the spin locks it holds,
// whose driver code it is running, its queue of completion APCs and, while
// it is blocked, what it waits on. Internal to emulator/kernel.
#pragma once

#include "emulator/kernel/system.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace emu::kernel {

struct HeldLock {
    const void* lock;
    KIRQL savedIrql;   // the IRQL the matching release must restore
    bool cancelLock;   // the system-wide cancel spin lock
    bool recursive;    // a second acquisition by the owner (reported, not taken)
};

// A driver routine the kernel called on a thread, for the hang report:
// its kind ("dispatch routine", "completion routine", ...) and, for a
// dispatch routine, the request's major and minor function.
// The set-power request a dispatch or completion routine handles, for the
// rules of what a driver may call meanwhile.
enum class SetPower : uint8_t { None, Device, System, SystemSleep };

struct RunningRoutine {
    const char* kind;
    int major;  // -1 when it is not a dispatch routine
    int minor;
    PDRIVER_OBJECT driver = nullptr;  // whose routine it is
    SetPower setPower = SetPower::None;
};

struct ThreadState {
    uint64_t id = 0;
    std::atomic<KIRQL> irql{PASSIVE_LEVEL};  // written by its own thread only
    std::vector<HeldLock> held;              // own thread only
    std::vector<PDRIVER_OBJECT> drivers;     // own thread only: whose code runs now
    // `drivers` as other threads may read it (an unload waits until no
    // other thread runs the driver's code): written by its own thread with
    // plain stores, no locked instruction on every driver call. Frames
    // deeper than the array are not shown; the stack budget is reported
    // long before.
    static constexpr size_t PublishedDrivers = 64;
    std::atomic<PDRIVER_OBJECT> publishedDrivers[PublishedDrivers] = {};
    std::atomic<size_t> publishedDepth{0};
    // Own thread only (read by the hang report while the thread is blocked):
    // the driver routines the kernel called, innermost last.
    std::vector<RunningRoutine> routines;
    std::vector<uint64_t> scopes;            // own thread only: one id per entry of `drivers`
    uintptr_t stackLow = 0, stackHigh = 0;   // own thread only: its host stack, once measured
    // Own thread only: the host stack pointer at the start of each dispatch
    // and completion routine running, innermost last (stack_budget.cpp).
    std::vector<uintptr_t> levelEntries;
    bool stackOverflowReported = false;

    // Guarded by DispatcherMutex().
    std::deque<std::function<void()>> apcs;  // completion APCs not yet delivered
    // apcs.size(), written under DispatcherMutex() and read without it, so
    // that a thread with none queued lowers its IRQL without the lock.
    std::atomic<size_t> queuedApcs{0};
    uint64_t threadedIrps = 0;               // threaded IRPs not yet fully completed
    bool exited = false;
    bool blocked = false;
    KIRQL blockedIrql = PASSIVE_LEVEL;
    bool blockedWithTimeout = false;
    std::string name;
    std::string waitObject;
    std::string waitRoutine;
};

namespace detail {
// The calling thread's record once it has one: read on every check, so a
// plain thread-local pointer rather than a lookup.
extern constinit thread_local ThreadState* currentThread;
ThreadState& RegisterCurrentThread();
}  // namespace detail

inline ThreadState& CurrentThread()
{
    ThreadState* self = detail::currentThread;
    return self != nullptr ? *self : detail::RegisterCurrentThread();
}

// Marks the calling thread as running a driver routine of `kind` for the
// object's lifetime, beside the DriverScope that says whose code it is.
class RoutineScope {
public:
    explicit RoutineScope(const char* kind, int major = -1, int minor = -1);
    ~RoutineScope();
    // The routine handles the request whose stack location is `location`.
    void Handles(const IO_STACK_LOCATION* location);
    RoutineScope(const RoutineScope&) = delete;
    RoutineScope& operator=(const RoutineScope&) = delete;
};
// The record of a thread identified by the PETHREAD the kernel handed out;
// null when no such thread is known.
std::shared_ptr<ThreadState> FindThread(PETHREAD thread);
PETHREAD HandleOf(ThreadState& thread);

// One lock and one condition for every dispatcher object and APC queue: a
// waiter rechecks its own condition on every wake-up.
std::mutex& DispatcherMutex();
std::condition_variable& DispatcherSignal();

// Whether a thread other than the calling one runs `driver`'s code now.
bool AnotherThreadRuns(PDRIVER_OBJECT driver);

// The driver whose code the calling thread runs (null: emulator or test code).
PDRIVER_OBJECT CurrentDriver();
bool IsSystemDriver(PDRIVER_OBJECT driver);

// Changes the calling thread's IRQL without the verifier's checks, and
// delivers pending APCs when it drops below APC_LEVEL.
void SetIrql(KIRQL irql);

// Queues an APC to `thread` (delivered at PASSIVE_LEVEL: at once when it is
// the calling thread at PASSIVE_LEVEL, else when that thread waits or lowers
// its IRQL). Returns false when the thread has exited.
bool QueueApc(ThreadState& thread, std::function<void()> apc);
void DeliverApcs();

bool HoldsDriverLock();
bool HoldsCancelLock();

// Thread records of threads that have exited are dropped here.
void ResetThreads();

}  // namespace emu::kernel
