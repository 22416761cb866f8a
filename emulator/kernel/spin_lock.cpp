// Spin locks: real locks on the KSPIN_LOCK word (it holds the owner's
// token), raising IRQL to DISPATCH_LEVEL, with the verifier's lock rules:
// one driver lock at a time, release by the owner with the IRQL saved at
// acquisition, no recursion. The system-wide cancel spin lock lives here too.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <string>
#include <thread>

namespace emu::kernel {
namespace {

KSPIN_LOCK cancelSpinLock = 0;

ULONG_PTR TokenOf(ThreadState& thread)
{
    return reinterpret_cast<ULONG_PTR>(&thread);
}

std::string Describe(const void* lock)
{
    char text[32];
    snprintf(text, sizeof(text), "lock %p", lock);
    return text;
}

// Takes the lock word for the calling thread and records the hold.
void Acquire(PKSPIN_LOCK lock, KIRQL savedIrql, bool cancelLock, const char* routine)
{
    sched::At(sched::Point::SpinLockAcquire, lock);
    CheckStackBudget(routine);
    ThreadState& self = CurrentThread();
    const ULONG_PTR token = TokenOf(self);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == token) {
        verifier::Report("spin lock acquired recursively", routine, Describe(lock));
        self.held.push_back({lock, savedIrql, cancelLock, true});
        return;
    }
    if (!cancelLock && HoldsDriverLock()) {
        verifier::Report("two driver spin locks held at once", routine, Describe(lock));
    }
    ULONG_PTR expected = 0;
    while (!__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        expected = 0;
        std::this_thread::yield();
    }
    self.held.push_back({lock, savedIrql, cancelLock, false});
}

// Drops the hold. Returns false when the calling thread did not hold the
// lock; otherwise `savedIrql` is the IRQL saved when it was taken.
bool Release(PKSPIN_LOCK lock, const char* routine, KIRQL* savedIrql)
{
    sched::At(sched::Point::SpinLockRelease, lock);
    ThreadState& self = CurrentThread();
    if (self.irql != DISPATCH_LEVEL) {
        verifier::Report("spin lock released at the wrong IRQL", routine,
                         Describe(lock) + " released at IRQL " + std::to_string(self.irql));
    }
    for (auto it = self.held.rbegin(); it != self.held.rend(); ++it) {
        if (it->lock != lock) {
            continue;
        }
        const HeldLock hold = *it;
        self.held.erase(std::next(it).base());
        if (!hold.recursive) {
            __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
        }
        *savedIrql = hold.savedIrql;
        return true;
    }
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) {
        verifier::Report("spin lock released by another thread", routine, Describe(lock));
    } else {
        verifier::Report("spin lock released but not held", routine, Describe(lock));
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    return false;
}


}  // namespace

// Used by IoCancelIrp: takes the cancel lock, saving `savedIrql`.
void AcquireCancelLock(KIRQL savedIrql)
{
    Acquire(&cancelSpinLock, savedIrql, true, "IoCancelIrp");
    SetIrql(DISPATCH_LEVEL);
}

}  // namespace emu::kernel

using namespace emu::kernel;

extern "C" {

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
}

// <= DISPATCH_LEVEL; returns the previous IRQL for KeReleaseSpinLock.
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    const KIRQL old = CurrentThread().irql;
    Acquire(SpinLock, old, false, "KeAcquireSpinLock");
    SetIrql(DISPATCH_LEVEL);
    return old;
}

// DISPATCH_LEVEL; NewIrql must be the IRQL the acquisition returned.
void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    KIRQL saved = NewIrql;
    if (Release(SpinLock, "KeReleaseSpinLock", &saved) && NewIrql != saved) {
        emu::verifier::Report("spin lock released at the wrong IRQL", "KeReleaseSpinLock",
                              "restores IRQL " + std::to_string(NewIrql) + ", acquired at " +
                                  std::to_string(saved));
    }
    SetIrql(NewIrql);
}

// DISPATCH_LEVEL only; the IRQL does not change.
void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (CurrentThread().irql < DISPATCH_LEVEL) {
        emu::verifier::Report("spin lock acquired at DPC level below DISPATCH_LEVEL", "KeAcquireSpinLockAtDpcLevel");
    }
    Acquire(SpinLock, DISPATCH_LEVEL, false, "KeAcquireSpinLockAtDpcLevel");
}

void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    KIRQL saved;
    Release(SpinLock, "KeReleaseSpinLockFromDpcLevel", &saved);
}

// <= DISPATCH_LEVEL; raises to DISPATCH_LEVEL.
void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
    *Irql = CurrentThread().irql;
    Acquire(&cancelSpinLock, *Irql, true, "IoAcquireCancelSpinLock");
    SetIrql(DISPATCH_LEVEL);
}

// DISPATCH_LEVEL; Irql must be the IRQL saved when the lock was taken
// (Irp->CancelIrql inside a cancel routine).
void NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KIRQL saved = Irql;
    if (Release(&cancelSpinLock, "IoReleaseCancelSpinLock", &saved) && Irql != saved) {
        emu::verifier::Report("cancel spin lock released at the wrong IRQL", "IoReleaseCancelSpinLock",
                              "restores IRQL " + std::to_string(Irql) + ", acquired at " + std::to_string(saved));
    }
    SetIrql(Irql);
}

}  // extern "C"
