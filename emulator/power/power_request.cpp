// PoRequestPowerIrp and the machine's own power requests: a new request is
// built for the top of a physical device object's stack, sent, and when it
// comes back up the requester's callback runs and the power manager frees
// it. Device SET requests for one physical device object go one at a time.
#include "emulator/power/power_internal.h"
#include "emulator/power/power_manager.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace emu::power {
namespace {

struct PowerRequest {
    PDEVICE_OBJECT target;  // as the requester passed it
    PDEVICE_OBJECT top;     // referenced until the request is freed; its driver
                            // (the stack's power policy owner) gets the callback
    PIRP irp;
    UCHAR minor;
    POWER_STATE_TYPE type;
    POWER_STATE state;
    POWER_ACTION action;
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
    std::function<void(const IO_STATUS_BLOCK&)> finished;  // the machine's own waits
    bool fromDriver = false;  // asked for with PoRequestPowerIrp
};

// Device SET requests per physical device object: the one in flight and
// those waiting for it to end.
struct DeviceSetTurns {
    std::mutex mutex;
    std::condition_variable idle;  // outstanding reached 0
    std::map<PDEVICE_OBJECT, std::deque<PowerRequest*>> waiting;  // present while one is in flight
    // Per top of stack: SET and QUERY requests a driver asked for, sent and
    // not yet back (their drivers know of them).
    std::map<PDEVICE_OBJECT, int> handling;
    uint64_t outstanding = 0;  // requests created and not yet freed
};

DeviceSetTurns& Turns()
{
    static DeviceSetTurns turns;
    return turns;
}

bool IsDeviceSet(const PowerRequest& request)
{
    return request.minor == IRP_MN_SET_POWER && request.type == DevicePowerState;
}

bool IsSetOrQuery(UCHAR minor)
{
    return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
}

void CountHandling(PDEVICE_OBJECT top, int delta)
{
    DeviceSetTurns& turns = Turns();
    std::lock_guard<std::mutex> lock(turns.mutex);
    if ((turns.handling[top] += delta) == 0) {
        turns.handling.erase(top);
    }
}

// The IRP_MN_WAIT_WAKE page: sent at PASSIVE_LEVEL, and never while another
// power request is active in the stack. Judged where the sender can know
// of the other request: one that a driver of the stack asked for, until
// every completion routine has run, or one the calling thread is handing
// to a driver (its dispatch routine sends the wait-wake request). A system
// request that the power manager starts on another thread at that moment
// is not the sender's fault.
void CheckWaitWakeContext(PDEVICE_OBJECT top)
{
    if (CurrentIrql() > PASSIVE_LEVEL) {
        verifier::Report("wait-wake request sent above PASSIVE_LEVEL", "PoRequestPowerIrp",
                         "IRQL " + std::to_string(static_cast<int>(CurrentIrql())));
    }
    DeviceSetTurns& turns = Turns();
    std::lock_guard<std::mutex> lock(turns.mutex);
    if (turns.handling.count(top) != 0 || detail::DeliveringOnThisThread()) {
        verifier::Report("wait-wake request sent while another power request of the stack is being handled",
                         "PoRequestPowerIrp");
    }
}

// Sends the request to the top of the stack. A wait-wake request asked for
// above PASSIVE_LEVEL is sent from the power manager's thread.
void Send(PowerRequest* request)
{
    if (request->minor == IRP_MN_WAIT_WAKE && CurrentIrql() > PASSIVE_LEVEL) {
        detail::Worker().Post([request] { Send(request); });
        return;
    }
    if (IsSetOrQuery(request->minor)) {
        detail::CountRequestStarted();
        if (request->fromDriver) {
            CountHandling(request->top, 1);
        }
    }
    // A stack that is not pageable gets its requests at DISPATCH_LEVEL.
    const bool pageable = (request->top->Flags & DO_POWER_PAGABLE) != 0;
    ScopedIrql at(pageable ? CurrentIrql() : DISPATCH_LEVEL);
    detail::Deliver(request->top, request->irp);  // the request may be freed by now
}

// True when the request may go now; otherwise it waits for its turn.
bool TakeTurn(PowerRequest* request)
{
    if (!IsDeviceSet(*request)) {
        return true;
    }
    DeviceSetTurns& turns = Turns();
    std::lock_guard<std::mutex> lock(turns.mutex);
    auto [it, first] = turns.waiting.try_emplace(request->target);
    if (!first) {
        it->second.push_back(request);
    }
    return first;
}

void PassTurn(PDEVICE_OBJECT target)
{
    DeviceSetTurns& turns = Turns();
    std::lock_guard<std::mutex> lock(turns.mutex);
    auto it = turns.waiting.find(target);
    if (it == turns.waiting.end()) {
        return;
    }
    if (it->second.empty()) {
        turns.waiting.erase(it);
        return;
    }
    PowerRequest* next = it->second.front();
    it->second.pop_front();
    detail::Worker().Post([next] { Send(next); });
}

void CountOutstanding(int delta)
{
    DeviceSetTurns& turns = Turns();
    std::lock_guard<std::mutex> lock(turns.mutex);
    turns.outstanding += delta;
    if (turns.outstanding == 0) {
        turns.idle.notify_all();
    }
}

// The power manager's completion routine, in the location it kept for
// itself (no device object: the routine runs as the power manager's, not a
// driver's): every driver's routine has run. Calls the requester back, then
// frees the request. Up to DISPATCH_LEVEL, wherever the request completed.
NTSTATUS NTAPI PowerRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    auto* request = static_cast<PowerRequest*>(Context);
    detail::RequestFinished(Irp);
    if (IsSetOrQuery(request->minor) && request->fromDriver) {
        CountHandling(request->top, -1);
    }
    // The reference goes before the requester hears of the end: a driver
    // that deletes its device object then must not find it kept alive.
    PDRIVER_OBJECT requester = request->top->DriverObject;
    ObDereferenceObject(request->top);
    if (request->callback != nullptr) {
        DriverScope scope(requester);
        request->callback(request->target, request->minor, request->state, request->context, &Irp->IoStatus);
    }
    IO_STATUS_BLOCK ioStatus = Irp->IoStatus;
    IoFreeIrp(Irp);
    if (request->finished) {
        request->finished(ioStatus);
    }
    if (IsDeviceSet(*request)) {
        PassTurn(request->target);
    }
    delete request;
    CountOutstanding(-1);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds the request: StackSize + 2 locations, the top one the power
// manager's own (it remembers the request as Windows does), the next one the
// top driver's.
NTSTATUS StartRequest(PowerRequest wanted, PIRP* irpOut)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(wanted.target);
    if (wanted.minor == IRP_MN_WAIT_WAKE) {
        CheckWaitWakeContext(top);
    }
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 2), FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* request = new PowerRequest(std::move(wanted));
    request->top = top;
    request->irp = irp;
    CountOutstanding(1);

    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION own = IoGetNextIrpStackLocation(irp);
    own->Parameters.Others.Argument1 = request->target;
    own->Parameters.Others.Argument2 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(request->minor));
    own->Parameters.Others.Argument3 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(request->state.DeviceState));
    own->Parameters.Others.Argument4 = request->context;
    IoSetNextIrpStackLocation(irp);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = request->minor;
    if (request->minor == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = request->state.SystemState;
    } else {
        next->Parameters.Power.Type = request->type;
        next->Parameters.Power.State = request->state;
        next->Parameters.Power.ShutdownType = request->action;
    }
    IoSetCompletionRoutine(irp, PowerRequestCompletion, request, TRUE, TRUE, TRUE);
    const bool storeOnReturn = detail::IrpAddressStoredOnReturn();
    if (irpOut != nullptr && !storeOnReturn) {
        *irpOut = irp;
    }
    if (TakeTurn(request)) {
        Send(request);  // the request may be complete and freed when this returns
    }
    if (irpOut != nullptr && storeOnReturn) {
        *irpOut = irp;
    }
    return STATUS_PENDING;
}

struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    NTSTATUS status = STATUS_PENDING;
};

}  // namespace

NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action,
                     std::chrono::milliseconds timeout)
{
    auto waiter = std::make_shared<Waiter>();
    PowerRequest wanted{pdo, nullptr, nullptr, minor, type, state, action, nullptr, nullptr, nullptr};
    wanted.finished = [waiter](const IO_STATUS_BLOCK& ioStatus) {
        std::lock_guard<std::mutex> lock(waiter->mutex);
        waiter->status = ioStatus.Status;
        waiter->finished = true;
        waiter->done.notify_all();
    };
    NTSTATUS status = StartRequest(std::move(wanted), nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::unique_lock<std::mutex> lock(waiter->mutex);
    if (!waiter->done.wait_for(lock, timeout, [&] { return waiter->finished; })) {
        char detail[64];
        std::snprintf(detail, sizeof(detail), "minor %u, state %d", minor, static_cast<int>(state.DeviceState));
        verifier::Report("Power request never completed", "PowerManager", detail);
        return STATUS_IO_TIMEOUT;
    }
    return waiter->status;
}

}  // namespace emu::power

namespace emu::power::detail {

bool WaitForRequests(std::chrono::milliseconds timeout)
{
    DeviceSetTurns& turns = Turns();
    std::unique_lock<std::mutex> lock(turns.mutex);
    return turns.idle.wait_for(lock, timeout, [&] { return turns.outstanding == 0; });
}

uint64_t OutstandingRequests()
{
    DeviceSetTurns& turns = Turns();
    std::lock_guard<std::mutex> lock(turns.mutex);
    return turns.outstanding;
}

void ResetRequests()
{
    DeviceSetTurns& turns = Turns();
    std::lock_guard<std::mutex> lock(turns.mutex);
    turns.waiting.clear();
    turns.handling.clear();
    turns.outstanding = 0;
}

}  // namespace emu::power::detail

using namespace emu;

// Asks for a power request for the stack of DeviceObject. Up to
// DISPATCH_LEVEL. STATUS_PENDING once the request exists (the callback may
// already have run); *Irp is set before the request is sent, or on return
// when the machine is set so (SetIrpAddressStoredOnReturn).
extern "C" NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                            PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    verifier::CheckCallOut("PoRequestPowerIrp", DISPATCH_LEVEL);
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    // RequestedPowerIrp: the request may be gone by the time the address
    // is stored; only a wait-wake request's originator may keep it.
    if (Irp != nullptr && MinorFunction != IRP_MN_WAIT_WAKE) {
        verifier::Report("PoRequestPowerIrp given a request pointer for a set or query request", "PoRequestPowerIrp");
    }
    if (faults::ShouldFailCall()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    power::PowerRequest wanted{DeviceObject, nullptr,         nullptr, MinorFunction, DevicePowerState, PowerState,
                             PowerActionNone, CompletionFunction, Context, nullptr};
    wanted.fromDriver = true;
    return power::StartRequest(std::move(wanted), Irp);
}
