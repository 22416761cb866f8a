// Internal: what the kernel knows about each IRP besides the IRP itself —
// who allocated it, whether it is threaded, its completion state, the
// dispatch calls in progress on it and their pending marks. Records outlive
// the IRP's memory while a call still refers to them.
#pragma once

#include "emulator/kernel/thread_state.h"

#include <memory>
#include <mutex>
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
    int skippedAt = 0;                 // CurrentLocation right after a skip, 0: none
    int lowestLocation = 0;            // lowest location IofCallDriver handed out
    int cameUpAt = 0;                  // a set-power: the location its walk last reached with a routine
    NTSTATUS cameUpWith = 0;           // and the status it came up with
    bool guardReported = false;
    std::vector<std::shared_ptr<CallFrame>> frames;
};

// Guards every IrpRecord field and the registry.
std::mutex& IrpMutex();

// The record of a live or quarantined IRP; null for anything else.
std::shared_ptr<IrpRecord> FindIrp(const IRP* irp);

// IoAllocateIrp without the failable-call accounting.
PIRP AllocateIrp(CCHAR stackSize, PDRIVER_OBJECT owner, PDRIVER_OBJECT creator);
// Releases an IRP (the I/O manager's own release when `byIoManager`).
void ReleaseIrp(PIRP irp, bool byIoManager, const char* routine);

// The frame of the innermost call on `location`, preferring the calling
// thread's. Caller holds IrpMutex().
CallFrame* FrameAt(IrpRecord& record, int location);

void ReportIrpLeaks(PDRIVER_OBJECT driver);
void ResetIrps();

std::string IrpText(const IRP* irp);

}  // namespace emu::kernel
