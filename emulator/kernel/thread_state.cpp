// Per-thread kernel state, the registry of emulator threads, APC delivery
// and the watchdog's description of blocked threads.
#include "emulator/kernel/thread_state.h"

#include "emulator/kernel/kernel_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace emu::kernel {
namespace {

std::mutex registryMutex;
std::vector<std::shared_ptr<ThreadState>> registry;  // guarded by registryMutex
std::atomic<uint64_t> nextThreadId{1};

// Marks the thread's record exited when the thread ends, so that an APC
// aimed at it is not queued to nobody.
struct ThreadHolder {
    std::shared_ptr<ThreadState> state;
    ~ThreadHolder()
    {
        if (!state) {
            return;
        }
        std::lock_guard lock(DispatcherMutex());
        state->exited = true;
        state->apcs.clear();
        state->queuedApcs = 0;
    }
};

thread_local ThreadHolder holder;

}  // namespace

std::mutex& DispatcherMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::condition_variable& DispatcherSignal()
{
    static std::condition_variable signal;
    return signal;
}

namespace detail {

constinit thread_local ThreadState* currentThread = nullptr;

// The thread's first call: its record is made, registered and held until
// the thread ends (the registry keeps it for the hang report after that).
ThreadState& RegisterCurrentThread()
{
    if (!holder.state) {
        auto state = std::make_shared<ThreadState>();
        state->id = nextThreadId++;
        state->name = "thread " + std::to_string(state->id);
        std::lock_guard lock(registryMutex);
        registry.push_back(state);
        holder.state = state;
    }
    currentThread = holder.state.get();
    return *currentThread;
}

}  // namespace detail

RoutineScope::RoutineScope(const char* kind, int major, int minor)
{
    CurrentThread().routines.push_back({kind, major, minor, CurrentDriver()});
}

void RoutineScope::Handles(const IO_STACK_LOCATION* location)
{
    if (location == nullptr || location->MajorFunction != IRP_MJ_POWER ||
        location->MinorFunction != IRP_MN_SET_POWER) {
        return;
    }
    SetPower& set = CurrentThread().routines.back().setPower;
    set = SetPower::Device;
    // Read as plain numbers: a driver may send any value, and loading one
    // outside the enumeration through the enum type is undefined.
    LONG type = 0, state = 0;
    memcpy(&type, &location->Parameters.Power.Type, sizeof type);
    memcpy(&state, &location->Parameters.Power.State, sizeof state);
    if (type == SystemPowerState) {
        const bool sleep = state >= PowerSystemSleeping1 && state <= PowerSystemShutdown;
        set = sleep ? SetPower::SystemSleep : SetPower::System;
    }
}

RoutineScope::~RoutineScope()
{
    CurrentThread().routines.pop_back();
}

std::shared_ptr<ThreadState> FindThread(PETHREAD thread)
{
    std::lock_guard lock(registryMutex);
    for (auto& state : registry) {
        if (reinterpret_cast<PETHREAD>(state.get()) == thread) {
            return state;
        }
    }
    return nullptr;
}

// Looks for `driver` on the stacks of drivers the other threads publish
// (DriverScope); for the unload's wait. PASSIVE_LEVEL.
bool AnotherThreadRuns(PDRIVER_OBJECT driver)
{
    const ThreadState* self = &CurrentThread();
    std::lock_guard lock(registryMutex);
    for (const auto& state : registry) {
        if (state.get() == self) {
            continue;
        }
        const size_t depth = std::min(state->publishedDepth.load(std::memory_order_acquire), ThreadState::PublishedDrivers);
        for (size_t i = 0; i < depth; ++i) {
            if (state->publishedDrivers[i].load(std::memory_order_relaxed) == driver) {
                return true;
            }
        }
    }
    return false;
}

PETHREAD HandleOf(ThreadState& thread)
{
    return reinterpret_cast<PETHREAD>(&thread);
}

PDRIVER_OBJECT CurrentDriver()
{
    auto& drivers = CurrentThread().drivers;
    return drivers.empty() ? nullptr : drivers.back();
}

void SetIrql(KIRQL irql)
{
    // Only its own thread writes it: a plain store, not a locked exchange
    // (every spin lock and every driver call passes here).
    CurrentThread().irql.store(irql, std::memory_order_relaxed);
    if (irql < APC_LEVEL) {
        DeliverApcs();
    }
}

bool QueueApc(ThreadState& thread, std::function<void()> apc)
{
    {
        std::lock_guard lock(DispatcherMutex());
        if (thread.exited) {
            return false;
        }
        thread.apcs.push_back(std::move(apc));
        thread.queuedApcs.store(thread.apcs.size(), std::memory_order_release);
        if (thread.blocked && thread.blockedIrql >= APC_LEVEL) {
            verifier::Report("completion APC blocked by a wait at raised IRQL", "IofCompleteRequest",
                             "the requesting thread '" + thread.name + "' waits at IRQL " +
                                 std::to_string(thread.blockedIrql));
        }
    }
    DispatcherSignal().notify_all();
    if (&thread == &CurrentThread() && thread.irql < APC_LEVEL) {
        DeliverApcs();
    }
    return true;
}

// Runs this thread's queued APCs at APC_LEVEL, one at a time, as the
// kernel does when the thread is at PASSIVE_LEVEL.
void DeliverApcs()
{
    ThreadState& self = CurrentThread();
    if (self.irql >= APC_LEVEL || self.queuedApcs.load(std::memory_order_acquire) == 0) {
        return;
    }
    for (;;) {
        std::function<void()> apc;
        {
            std::lock_guard lock(DispatcherMutex());
            if (self.apcs.empty()) {
                return;
            }
            apc = std::move(self.apcs.front());
            self.apcs.pop_front();
            self.queuedApcs.store(self.apcs.size(), std::memory_order_release);
        }
        const KIRQL before = self.irql;
        self.irql.store(APC_LEVEL, std::memory_order_relaxed);
        apc();
        self.irql.store(before, std::memory_order_relaxed);
    }
}

bool HoldsDriverLock()
{
    for (const auto& held : CurrentThread().held) {
        if (!held.cancelLock) {
            return true;
        }
    }
    return false;
}

bool HoldsCancelLock()
{
    for (const auto& held : CurrentThread().held) {
        if (held.cancelLock) {
            return true;
        }
    }
    return false;
}

void ResetThreads()
{
    std::lock_guard registryLock(registryMutex);
    std::lock_guard lock(DispatcherMutex());
    std::erase_if(registry, [](const std::shared_ptr<ThreadState>& state) { return state->exited; });
    for (auto& state : registry) {
        state->apcs.clear();
        state->queuedApcs = 0;
        state->threadedIrps = 0;
    }
}

}  // namespace emu::kernel

namespace emu::threads {

void SetName(std::string name)
{
    auto& self = kernel::CurrentThread();
    std::lock_guard lock(kernel::DispatcherMutex());
    self.name = std::move(name);
}

// Only the thread itself writes its name, so it reads it without the
// dispatcher lock (the trace's observer may not take kernel locks).
std::string CurrentName()
{
    return kernel::CurrentThread().name;
}

namespace {

// The request functions a function driver handles, by major code.
const char* MajorName(int major)
{
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    default: return nullptr;
    }
}

// What a blocked thread was running, read while it cannot change it.
struct BlockedThread {
    std::string name;
    std::string wait;  // IRQL and what it waits on
    PDRIVER_OBJECT driver = nullptr;
    kernel::RunningRoutine routine{nullptr, -1, -1};
};

// "in \Driver\pondrel's dispatch routine for IRP_MJ_PNP (minor 0x02)";
// empty when the thread was in no driver's code.
std::string DriverPlace(const BlockedThread& blocked)
{
    if (blocked.driver == nullptr)
        return {};
    std::string place = ", in " + kernel::DriverText(blocked.driver) + "'s " +
                        (blocked.routine.kind != nullptr ? blocked.routine.kind : "code");
    if (blocked.routine.major < 0)
        return place + ",";
    const char* major = MajorName(blocked.routine.major);
    char code[64];
    if (major != nullptr)
        std::snprintf(code, sizeof(code), " for %s (minor 0x%02X)", major, blocked.routine.minor);
    else
        std::snprintf(code, sizeof(code), " for major 0x%02X (minor 0x%02X)", blocked.routine.major, blocked.routine.minor);
    return place + code + ",";
}

}  // namespace

std::string DescribeBlocked()
{
    std::vector<std::shared_ptr<kernel::ThreadState>> snapshot;
    {
        std::lock_guard lock(kernel::registryMutex);
        snapshot = kernel::registry;
    }
    std::vector<BlockedThread> blocked;
    {
        // A thread stays blocked while this lock is held, so what it runs
        // cannot change under the reading.
        std::lock_guard lock(kernel::DispatcherMutex());
        for (const auto& state : snapshot) {
            if (!state->blocked || state->exited) {
                continue;
            }
            std::ostringstream wait;
            wait << " at IRQL " << int(state->blockedIrql) << " waits on " << state->waitObject << " in "
                 << state->waitRoutine << (state->blockedWithTimeout ? " (with a timeout)" : "");
            BlockedThread entry{state->name, wait.str()};
            entry.driver = state->drivers.empty() ? nullptr : state->drivers.back();
            if (!state->routines.empty())
                entry.routine = state->routines.back();
            blocked.push_back(std::move(entry));
        }
    }
    // Driver names are looked up outside the dispatcher lock: their registry
    // has a lock of its own.
    std::string out;
    for (const auto& entry : blocked)
        out += "'" + entry.name + "'" + DriverPlace(entry) + entry.wait + "\n";
    return out;
}

}  // namespace emu::threads
