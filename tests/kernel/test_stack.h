// A stack of test devices for kernel tests: one test driver, `depth` device
// objects attached one above the other, each with its own dispatch handler
// (every major function goes to it). By default the bottom device completes
// with STATUS_SUCCESS and the others pass the request down unchanged.
#pragma once

#include "emulator/kernel/system.h"

#include <functional>
#include <memory>
#include <vector>

namespace emu::test {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// A completion routine's context that records what the routine saw.
struct CompletionProbe {
    // What the routine does.
    NTSTATUS result = STATUS_CONTINUE_COMPLETION;
    std::function<void(PIRP)> action;  // runs last (it may free the IRP)

    // What it saw on its last call.
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS status = 0;
    IO_STACK_LOCATION lower{};  // the location below the routine's owner, as it was
    PIO_STACK_LOCATION current = nullptr;
};

// The creator's routine for an IRP from IoAllocateIrp: records, frees the
// IRP and returns STATUS_MORE_PROCESSING_REQUIRED.
CompletionProbe FreeingProbe();

class TestStack {
public:
    explicit TestStack(int depth);
    ~TestStack();  // detaches and deletes the devices, then unloads the driver
    TestStack(const TestStack&) = delete;
    TestStack& operator=(const TestStack&) = delete;

    PDEVICE_OBJECT Device(int level) const { return devices_.at(level); }  // 0 = bottom
    PDEVICE_OBJECT Top() const { return devices_.back(); }
    PDRIVER_OBJECT Driver() const { return driver_; }
    void OnDispatch(int level, Handler handler);  // null: the default handler

    // An IRP for the top of the stack: with `ownLocation`, one more location
    // than the stack needs, set as the creator's own.
    PIRP AllocateIrp(UCHAR major, bool ownLocation = false) const;
    // Sends an IRP from AllocateIrp to the top with `creator` as its
    // creator's routine; returns what IoCallDriver returned.
    NTSTATUS Send(UCHAR major = IRP_MJ_READ, UCHAR minor = 0);

    CompletionProbe creator = FreeingProbe();

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<std::unique_ptr<Handler>> handlers_;
};

// The everyday handlers.
NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Marks the IRP pending, keeps it in *held (for the test to complete) and
// returns STATUS_PENDING.
Handler HoldPending(PIRP* held);

// Waits until the worker has finished every work item queued before now;
// `anyDevice` owns the fence item.
void DrainWorker(PDEVICE_OBJECT anyDevice);

// A work item's run: its routine (WorkRoutine) records where it ran,
// signals `started`, waits for `release`, then queues its item again while
// `requeues` lasts, or else frees it if `freeInside`, and signals `done`.
struct WorkRun {
    explicit WorkRun(bool released);
    void Wait(PKEVENT event);
    KEVENT started, release, done;
    PIO_WORKITEM item = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PKTHREAD thread = nullptr;
    KIRQL irql = HIGH_LEVEL;
    int runs = 0, requeues = 0;
    bool freeInside = false;
};
void NTAPI WorkRoutine(PDEVICE_OBJECT device, PVOID run);

// A physical device object of an emulated bus driver (a PnP PDO).
PDEVICE_OBJECT CreatePhysicalDevice();

// A fresh IRP of `stackSize` locations with a read request in its first.
PIRP ReadIrp(CCHAR stackSize);
// Runs `misuse` on a fresh read request after `setNext`
// IoSetNextIrpStackLocation calls, then frees it.
void OnIrp(CCHAR stackSize, int setNext, const std::function<void(PIRP)>& misuse);
// The DDK's inline steps as a compiled image takes them: they write the
// request's fields and nothing else, so no emulator hook hears of them.
void Skip(PIRP irp);      // IoSkipCurrentIrpStackLocation
void CopyDown(PIRP irp);  // IoCopyCurrentIrpStackLocationToNext
void StepDown(PIRP irp);  // IoSetNextIrpStackLocation
// Releases the cancel lock; never expected to run.
void NTAPI UnusedCancelRoutine(PDEVICE_OBJECT, PIRP irp);

// The routine for IoSetCompletionRoutine with a CompletionProbe as context.
// When it lets the walk go on with PendingReturned set and has a location,
// it marks the IRP pending, as every completion routine must.
NTSTATUS NTAPI ProbeCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// Copies the current location down, sets ProbeCompletion with `probe` and
// the invoke flags, and calls `lower`; returns what it returned.
NTSTATUS ForwardWithProbe(PDEVICE_OBJECT lower, PIRP irp, CompletionProbe* probe, UCHAR invokeFlags);

// Runs `call` with the thread raised to `irql`, then drops back; returns
// what it returned.
template <typename Call>
auto AtIrql(KIRQL irql, Call call)
{
    const KIRQL old = KfRaiseIrql(irql);
    struct Lower {
        KIRQL old;
        ~Lower() { KeLowerIrql(old); }
    } lower{old};
    return call();
}

}  // namespace emu::test
