// Internal: what the kernel knows about each IRP besides the IRP itself —
// who allocated it, whether it is threaded, its completion state, the
// dispatch calls in progress on it and their pending marks. Records outlive
// the IRP's memory while a call still refers to them.
#pragma once

#include "emulator/kernel/thread_state.h"

#include <functional>
#include <memory>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace emu::kernel {

enum class IrpState {
    Live,            // allocated; in the hands of some driver
    CompletedToTop,  // IofCompleteRequest walked past the top location
    Freed,           // IoFreeIrp or the I/O manager released it (memory quarantined)
};

// One IofCallDriver in progress: the location the called driver owns, the
// thread it runs on, and what the verifier learns about it meanwhile.
struct CallFrame {
    int location = 0;
    uint64_t thread = 0;
    bool markedPending = false;         // IoMarkIrpPending on this location
    bool lowerReturnedPending = false;  // a call down from here returned STATUS_PENDING
    bool sharedLocationPending = false; // ... from this very location (a skip)
    bool calledDown = false;            // a call down from here has returned ...
    NTSTATUS lowerStatus = 0;           // ... with this status (the last one)
    bool completedHere = false;         // IofCompleteRequest from this location
    bool routineRan = false;            // its completion routine let the walk go on ...
    NTSTATUS routineStatus = 0;         // ... leaving this status in the IRP

    // The request's fields as the call found them, and what the completion
    // walk saw when it passed this location while the call was in progress.
    bool markedAtEntry = false;       // SL_PENDING_RETURNED already set (a request the power manager held)
    bool upperMarkedAtEntry = false;  // ... in the caller's location
    PIO_COMPLETION_ROUTINE routineAtEntry = nullptr;  // the caller's routine in this location
    PVOID contextAtEntry = nullptr;
    UCHAR invokeAtEntry = 0;
    bool walked = false;
    bool walkSawPending = false;
    bool upperReported = false;
};

struct IrpRecord {
    PIRP irp = nullptr;
    UCHAR* memory = nullptr;   // IRP, stack locations, then a guard
    size_t bytes = 0;
    CCHAR stackCount = 0;
    PDRIVER_OBJECT owner = nullptr;    // charged for it at unload (null: system)
    PDRIVER_OBJECT creator = nullptr;  // whose code allocated it (owns the top routine)
    bool threaded = false;             // built for a thread; freed by the I/O manager
    std::shared_ptr<ThreadState> thread;
    ULONG outputLength = 0;            // of a buffered device-control request
    IrpState state = IrpState::Live;
    uint64_t completions = 0;          // IofCompleteRequest entries so far
    uint64_t calls = 0;                // IofCallDriver entries so far
    int skippedAt = 0;                 // CurrentLocation right after a skip, 0: none
    int lowestLocation = 0;            // lowest location IofCallDriver handed out
    // Held by a completion routine that returned STATUS_MORE_PROCESSING_REQUIRED
    // (kept_requests.cpp): by whom and since when; null when not held.
    PDRIVER_OBJECT keptBy = nullptr;
    uint64_t keptSince = 0;            // KeQueryInterruptTime units
    bool keptReported = false;
    int cameUpAt = 0;                  // a set-power: the location its walk last reached with a routine
    NTSTATUS cameUpWith = 0;           // and the status it came up with
    bool guardReported = false;
    std::vector<CallFrame*> frames;    // each on the stack of its IofCallDriver, innermost last
    size_t registryIndex = 0;          // its place among all records (irp_allocate.cpp)
};

// The lock that guards every IrpRecord field and the registry. Every call
// that takes an IRP takes it several times, each time for a few loads and
// stores: a lock that takes one atomic exchange and releases with a store,
// and yields the processor while another thread holds it.
class IrpLock {
public:
    void lock()
    {
        while (held_.exchange(true, std::memory_order_acquire)) {
            while (held_.load(std::memory_order_relaxed)) {
                std::this_thread::yield();
            }
        }
    }
    void unlock() { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

IrpLock& IrpMutex();

// The record of a live or quarantined IRP; null for anything else,
// whatever the address (nothing is read at it unless the kernel handed it
// out). Found from the hidden header in front of the IRP, not a search.
std::shared_ptr<IrpRecord> FindIrp(const IRP* irp);
// The same for a caller that holds IrpMutex(), which keeps the record.
IrpRecord* FindIrpLocked(const IRP* irp);

// IoAllocateIrp without the failable-call accounting.
PIRP AllocateIrp(CCHAR stackSize, PDRIVER_OBJECT owner, PDRIVER_OBJECT creator);
// Releases an IRP (the I/O manager's own release when `byIoManager`).
void ReleaseIrp(PIRP irp, bool byIoManager, const char* routine);

// The frame of the innermost call on `location`, preferring the calling
// thread's. Caller holds IrpMutex().
CallFrame* FrameAt(IrpRecord& record, int location);

// The stack-location rules judged from the request's fields (stack_verify.cpp).
// NoteHandOver and JudgeDispatchReturn: caller holds IrpMutex().
void NoteHandOver(PIRP irp, IrpRecord& record, CallFrame& frame);
void JudgeDispatchReturn(PIRP irp, IrpRecord& record, CallFrame& frame, NTSTATUS status,
                         const std::function<std::string()>& call);
void NoteLocationWalked(PIRP irp, IrpRecord& record, int location, bool pendingReturned);

void ReportIrpLeaks(PDRIVER_OBJECT driver);

// Calls `visit` with every live record. Caller holds IrpMutex().
void ForEachLiveIrp(const std::function<void(IrpRecord&)>& visit);

// kept_requests.cpp: a completion routine of `driver` kept the IRP; the
// keeper completed, passed down or freed it. Caller holds IrpMutex().
void NoteKept(IrpRecord& record, PDRIVER_OBJECT driver);
void NoteReleased(IrpRecord& record);
// Reports the IRPs `driver` (null: any driver) still keeps.
void ReportKeptAtEnd(PDRIVER_OBJECT driver, const char* when);
void StartKeptMonitor();
void StopKeptMonitor();
void ResetIrps();

std::string IrpText(const IRP* irp);

}  // namespace emu::kernel
