// Events and waits. Every wait is a real blocking wait on the dispatcher
// condition; KeSetEvent satisfies waiters the way the kernel does (all of
// them for a notification event, exactly one for a synchronization event,
// which then stays non-signalled). A thread blocked at PASSIVE_LEVEL runs
// its completion APCs while it waits. While blocked, each thread records
// what it waits on, for the watchdog.
#include "emulator/kernel/built_request_events.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/system.h"
#include "emulator/kernel/thread_state.h"

#include <chrono>
#include <list>
#include <map>
#include <string>
#include <thread>

namespace emu::kernel {
namespace {

constexpr UCHAR EventObjectType[] = {0, 1};  // NotificationEvent, SynchronizationEvent
constexpr UCHAR NotificationEventType = 0;
constexpr UCHAR SynchronizationEventType = 1;
constexpr UCHAR EventSizeInLongs = sizeof(KEVENT) / sizeof(LONG);

struct Waiter {
    bool satisfied = false;
};

// Threads blocked on each event, in arrival order. Guarded by DispatcherMutex().
std::map<const void*, std::list<Waiter*>> waiters;

std::string Describe(const void* object)
{
    char text[40];
    snprintf(text, sizeof(text), "event %p", object);
    return text;
}

bool IsEvent(const KEVENT* event)
{
    return event->Header.Size == EventSizeInLongs &&
           (event->Header.Type == NotificationEventType || event->Header.Type == SynchronizationEventType);
}

// Satisfies waiters as a signal of `event` does. Caller holds DispatcherMutex().
void SignalLocked(PKEVENT event)
{
    auto found = waiters.find(event);
    if (found == waiters.end() || found->second.empty()) {
        event->Header.SignalState = 1;
        return;
    }
    if (event->Header.Type == SynchronizationEventType) {
        found->second.front()->satisfied = true;
        found->second.pop_front();
        event->Header.SignalState = 0;
    } else {
        for (Waiter* waiter : found->second) {
            waiter->satisfied = true;
        }
        found->second.clear();
        event->Header.SignalState = 1;
    }
    if (found->second.empty()) {
        waiters.erase(found);
    }
}

// The deadline of a wait: none for NULL, now for 0, relative for negative
// 100-ns counts, absolute (system time) for positive ones.
std::chrono::steady_clock::time_point DeadlineOf(const LARGE_INTEGER* timeout, bool* forever)
{
    const auto now = std::chrono::steady_clock::now();
    *forever = timeout == nullptr;
    if (timeout == nullptr) {
        return now;
    }
    LONGLONG units = timeout->QuadPart;
    if (units > 0) {
        LARGE_INTEGER current;
        KeQuerySystemTime(&current);
        units = current.QuadPart - units;  // negative: still in the future
        if (units > 0) {
            units = 0;
        }
    }
    return now + std::chrono::nanoseconds(-units * 100);
}

void CheckWaitContext(const LARGE_INTEGER* timeout, const char* routine)
{
    ThreadState& self = CurrentThread();
    const bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
    if (self.irql >= DISPATCH_LEVEL && !zeroTimeout) {
        verifier::Report("wait at DISPATCH_LEVEL", routine, "IRQL " + std::to_string(self.irql));
    }
    if (self.irql > DISPATCH_LEVEL && zeroTimeout) {
        verifier::Report("IRQL too high for the routine", routine, "IRQL " + std::to_string(self.irql));
    }
    if (!zeroTimeout && (HoldsDriverLock() || HoldsCancelLock())) {
        verifier::Report("call out of the driver while holding a spin lock", routine, "waits");
    }
    if (self.irql == APC_LEVEL && !zeroTimeout) {
        std::lock_guard lock(DispatcherMutex());
        if (self.threadedIrps != 0 || !self.apcs.empty()) {
            verifier::Report("completion APC blocked by a wait at raised IRQL", routine,
                             "the thread waits at APC_LEVEL with its own request outstanding");
        }
    }
}

// Blocks until `done()` holds (checked under DispatcherMutex) or the
// deadline passes. Runs the thread's APCs while it waits at PASSIVE_LEVEL.
bool BlockUntil(const std::function<bool()>& done, const LARGE_INTEGER* timeout, const std::string& object,
                const char* routine)
{
    bool forever = false;
    const auto deadline = DeadlineOf(timeout, &forever);
    ThreadState& self = CurrentThread();
    std::unique_lock lock(DispatcherMutex());
    for (;;) {
        if (done()) {
            return true;
        }
        if (self.irql < APC_LEVEL && !self.apcs.empty()) {
            lock.unlock();
            DeliverApcs();
            lock.lock();
            continue;
        }
        if (!forever && std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        self.blocked = true;
        self.blockedIrql = self.irql;
        self.blockedWithTimeout = !forever;
        self.waitObject = object;
        self.waitRoutine = routine;
        if (forever) {
            DispatcherSignal().wait(lock);
        } else {
            DispatcherSignal().wait_until(lock, deadline);
        }
        self.blocked = false;
    }
}

}  // namespace

NTSTATUS WaitForEvent(PKEVENT event, const LARGE_INTEGER* timeout, const char* routine)
{
    sched::At(sched::Point::EventWait, event);
    CheckWaitContext(timeout, routine);
    Waiter waiter;
    {
        std::lock_guard lock(DispatcherMutex());
        if (!IsEvent(event)) {
            verifier::Report("wait on an object that is not an initialized event", routine, Describe(event));
            return STATUS_INVALID_PARAMETER;
        }
        if (event->Header.SignalState != 0) {
            if (event->Header.Type == SynchronizationEventType) {
                event->Header.SignalState = 0;
            }
            return STATUS_SUCCESS;
        }
        waiters[event].push_back(&waiter);
    }
    sched::Blocking(event);
    const bool satisfied = BlockUntil([&] { return waiter.satisfied; }, timeout, Describe(event), routine);
    sched::Unblocked();
    if (satisfied) {
        return STATUS_SUCCESS;
    }
    std::lock_guard lock(DispatcherMutex());
    if (waiter.satisfied) {
        return STATUS_SUCCESS;
    }
    auto& list = waiters[event];
    list.remove(&waiter);
    if (list.empty()) {
        waiters.erase(event);
    }
    return STATUS_TIMEOUT;
}

LONG SignalEvent(PKEVENT event)
{
    sched::At(sched::Point::EventSet, event);
    if (!CheckEventAlive(event, "KeSetEvent")) {
        return 0;  // the write would land in another routine's stack
    }
    LONG previous;
    {
        std::lock_guard lock(DispatcherMutex());
        if (!IsEvent(event)) {
            verifier::Report("KeSetEvent on an object that is not an initialized event", "KeSetEvent",
                             Describe(event));
            return 0;
        }
        previous = event->Header.SignalState;
        SignalLocked(event);
    }
    DispatcherSignal().notify_all();
    return previous;
}

void ResetWaiters()
{
    std::lock_guard lock(DispatcherMutex());
    waiters.clear();
}

}  // namespace emu::kernel

using namespace emu::kernel;

extern "C" {

// Any IRQL <= DISPATCH_LEVEL.
void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        emu::verifier::Report("unknown event type", "KeInitializeEvent", std::to_string(int(Type)));
    }
    NoteEventInitialized(Event);
    std::lock_guard lock(DispatcherMutex());
    Event->Header.Lock = 0;
    Event->Header.Type = EventObjectType[Type == SynchronizationEvent ? 1 : 0];
    Event->Header.Size = EventSizeInLongs;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

// <= DISPATCH_LEVEL (Wait = FALSE), <= APC_LEVEL (Wait = TRUE). Returns the
// previous signal state.
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    const KIRQL maximum = Wait ? APC_LEVEL : DISPATCH_LEVEL;
    CheckIrqlAtMost(maximum, "KeSetEvent");
    if (IsEventOfOutstandingBuiltRequest(Event)) {
        emu::verifier::Report("KeSetEvent on the event of a request built by IoBuildDeviceIoControlRequest",
                              "KeSetEvent", "the I/O manager signals it when the request is completed");
    }
    return SignalEvent(Event);
}

// <= DISPATCH_LEVEL.
void NTAPI KeClearEvent(PRKEVENT Event)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    std::lock_guard lock(DispatcherMutex());
    Event->Header.SignalState = 0;
}

// <= DISPATCH_LEVEL.
LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard lock(DispatcherMutex());
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard lock(DispatcherMutex());
    return Event->Header.SignalState;
}

// <= APC_LEVEL, or <= DISPATCH_LEVEL with a zero timeout.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(Alertable);
    if (WaitMode != KernelMode && WaitMode != UserMode) {
        emu::verifier::Report("unknown wait mode", "KeWaitForSingleObject", std::to_string(int(WaitMode)));
    }
    if (Timeout == nullptr && IsEventOfOutstandingBuiltRequest(static_cast<PKEVENT>(Object))) {
        emu::verifier::Report("wait without a timeout on the event of a request built by IoBuildDeviceIoControlRequest",
                              "KeWaitForSingleObject", "the request may never come back");
    }
    return WaitForEvent(static_cast<PKEVENT>(Object), Timeout, "KeWaitForSingleObject");
}

// <= APC_LEVEL: a real sleep for the interval (100-ns units, negative =
// relative), during which the thread's APCs are delivered.
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Interval == nullptr) {
        emu::verifier::Report("no interval given", "KeDelayExecutionThread");
        return STATUS_INVALID_PARAMETER;
    }
    CheckWaitContext(Interval, "KeDelayExecutionThread");
    CheckPowerIrpDdi("KeDelayExecutionThread");
    BlockUntil([] { return false; }, Interval, "a delay", "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

// 100-ns units since the emulator's clock started.
ULONGLONG NTAPI KeQueryInterruptTime(void)
{
    static const auto start = std::chrono::steady_clock::now();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
}

// 100-ns units since 1 January 1601.
void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    constexpr LONGLONG UnixEpochIn1601Units = 116444736000000000LL;
    const auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
    CurrentTime->QuadPart =
        UnixEpochIn1601Units + std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100;
}

PKTHREAD NTAPI KeGetCurrentThread(void)
{
    return reinterpret_cast<PKTHREAD>(HandleOf(CurrentThread()));
}

}  // extern "C"
