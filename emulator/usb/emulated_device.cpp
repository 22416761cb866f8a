// The emulated device's state, its test-facing controls and the life of
// its transfers: when they move, who completes them, and how the one
// winner between completion and cancellation is chosen.
//
// Ownership rule for a pending transfer: it sits in pending_ with the cancel
// routine set. Whoever clears the cancel routine (IoSetCancelRoutine(irp,
// NULL) returning non-NULL) owns it and finishes it; when that call returns
// NULL, IoCancelIrp got there first and the cancel routine will find the
// transfer in pending_ and finish it as cancelled.
#include "emulator/usb/emulated_device.h"

#include "emulator/kernel/system.h"
#include "emulator/usb/complete_request.h"
#include "emulator/usb/usbd_status.h"

#include <algorithm>

namespace emu::usb {

EmulatedDevice::EmulatedDevice(DeviceModel model, uint16_t port, BusThread& busThread)
    : model_(std::move(model)), port_(port), busThread_(busThread), mode_(model_.completion), busClock_(model_.speed),
      timeline_(std::chrono::steady_clock::now())
{
    auto parsed = ParseConfiguration(model_.configDescriptor.data(), model_.configDescriptor.size());
    if (!parsed) {
        return;
    }
    for (const auto& interface : parsed->interfaces) {
        for (const auto& info : interface.endpoints) {
            if (endpoints_.count(info.address) != 0) {
                continue;
            }
            EndpointState& endpoint = endpoints_[info.address];
            endpoint.address = info.address;
            endpoint.type = info.Type();
            endpoint.maxPacket = std::max<uint16_t>(1, info.MaximumPacketSize());
            endpoint.role = model_.RoleFor(info.address);
        }
    }
    for (const auto& [address, fault] : model_.faults) {
        auto found = endpoints_.find(address);
        if (found != endpoints_.end()) {
            ApplyFaultLocked(found->second, fault);
        }
    }
}

// The leaver may be the thread that drops the last reference.
EmulatedDevice::~EmulatedDevice()
{
    if (!leaver_.joinable()) {
        return;
    }
    if (leaver_.get_id() == std::this_thread::get_id()) {
        leaver_.detach();
    } else {
        leaver_.join();
    }
}

void EmulatedDevice::AttachPdo(PDEVICE_OBJECT pdo)
{
    std::lock_guard lock(mutex_);
    pdo_ = pdo;
    *static_cast<EmulatedDevice**>(pdo->DeviceExtension) = this;
}

// The device leaves the bus for good: what is still pending fails as if
// the device were gone, and the PDO no longer leads here.
void EmulatedDevice::DetachPdo()
{
    TransferList failed;
    PIRP wake = nullptr;
    {
        Lock lock(mutex_);
        connected_ = false;
        FailAllTransfers(USBD_STATUS_DEVICE_GONE, failed);
        if (waitWakeIrp_ != nullptr && IoSetCancelRoutine(waitWakeIrp_, nullptr) != nullptr) {
            wake = waitWakeIrp_;
        }
        waitWakeIrp_ = nullptr;
        powerChanged_.notify_all();
        if (pdo_ != nullptr) {
            *static_cast<EmulatedDevice**>(pdo_->DeviceExtension) = nullptr;
        }
        pdo_ = nullptr;
    }
    emu::ScopedIrql dispatch(DISPATCH_LEVEL);
    FinishAll(failed);
    if (wake != nullptr) {
        CompleteRequest(wake, STATUS_NO_SUCH_DEVICE);
    }
}

EmulatedDevice* EmulatedDevice::FromPdo(PDEVICE_OBJECT pdo)
{
    return pdo == nullptr ? nullptr : *static_cast<EmulatedDevice**>(pdo->DeviceExtension);
}

PDEVICE_OBJECT EmulatedDevice::Pdo()
{
    std::lock_guard lock(mutex_);
    return pdo_;
}

void EmulatedDevice::SetDisconnectHandler(std::function<void(UsbDevice&)> handler)
{
    std::lock_guard lock(mutex_);
    disconnectHandler_ = std::move(handler);
}

// ---- Endpoints ----

// The endpoint's state, created with the model's behaviour for an address
// the configuration descriptor did not list. mutex_ held.
EndpointState& EmulatedDevice::Endpoint(uint8_t address)
{
    auto found = endpoints_.find(address);
    if (found != endpoints_.end()) {
        return found->second;
    }
    EndpointState& endpoint = endpoints_[address];
    endpoint.address = address;
    endpoint.maxPacket = USB_DEFAULT_MAX_PACKET;
    endpoint.role = model_.RoleFor(address);
    return endpoint;
}

EndpointState* EmulatedDevice::LoopbackPeer(const EndpointState& endpoint)
{
    if (endpoint.In() || endpoint.role.behaviour != EndpointBehaviour::Loopback) {
        return nullptr;
    }
    const uint8_t partner = endpoint.role.pairedWith.value_or(endpoint.address | USB_ENDPOINT_DIRECTION_MASK);
    auto found = endpoints_.find(partner);
    return found == endpoints_.end() ? nullptr : &found->second;
}

// Why the device cannot be reached now (gone, port disabled), or success.
USBD_STATUS EmulatedDevice::LinkStatus() const
{
    if (!connected_) {
        return USBD_STATUS_DEVICE_GONE;
    }
    if (!portEnabled_) {
        return USBD_STATUS_DEV_NOT_RESPONDING;
    }
    return USBD_STATUS_SUCCESS;
}

// ---- Transfers in flight ----

// True when the bus cleared the cancel routine and so owns the transfer.
bool EmulatedDevice::TakeOwnership(Transfer& transfer)
{
    return IoSetCancelRoutine(transfer.irp, nullptr) != nullptr;
}

// Takes a transfer out of pending_ and of its endpoint's queue. mutex_ held.
std::unique_ptr<Transfer> EmulatedDevice::RemovePending(PIRP irp)
{
    auto found = pending_.find(irp);
    if (found == pending_.end()) {
        return nullptr;
    }
    std::unique_ptr<Transfer> transfer = std::move(found->second);
    pending_.erase(found);
    onWire_.erase(transfer.get());
    auto& queue = queues_[transfer->endpoint];
    queue.erase(std::remove(queue.begin(), queue.end(), transfer.get()), queue.end());
    return transfer;
}

Transfer* EmulatedDevice::FindHeld(uint64_t id)
{
    for (auto& [irp, transfer] : pending_) {
        if (transfer->held && transfer->id == id) {
            return transfer.get();
        }
    }
    return nullptr;
}

// Puts a transfer (whose cancel routine is cleared) in its endpoint's queue
// to wait for the device, with the cancel routine armed again. The caller
// checks Irp->Cancel afterwards, as anyone arming a cancel routine must.
void EmulatedDevice::Park(Transfer& transfer)
{
    transfer.held = false;
    queues_[transfer.endpoint].push_back(&transfer);
    IoSetCancelRoutine(transfer.irp, &EmulatedDevice::CancelTransferRoutine);
}

// Takes every pending transfer the bus can still own out of its queue with
// `status`, for the caller to finish once mutex_ is released. mutex_ held.
void EmulatedDevice::FailAllTransfers(USBD_STATUS status, TransferList& failed)
{
    std::vector<PIRP> owned;
    for (auto& [irp, transfer] : pending_) {
        if (TakeOwnership(*transfer)) {
            owned.push_back(irp);
        }
    }
    for (PIRP irp : owned) {
        const bool ended = onWire_.count(pending_[irp].get()) != 0;  // it keeps the outcome it had
        auto transfer = RemovePending(irp);
        transfer->status = ended ? transfer->status : status;
        failed.push_back(std::move(transfer));
    }
}

// Moves every queued transfer as far as the device lets it, oldest first on
// each endpoint, until nothing moves any more (an OUT on a loopback pair
// feeds the IN side). Ended transfers the bus owns go to `finished`.
void EmulatedDevice::CollectFinished(Lock&, TransferList& finished)
{
    const USBD_STATUS link = LinkStatus();
    const auto now = std::chrono::steady_clock::now();
    // Transfers whose time on the wire is over end now (one being
    // cancelled is left to its cancel routine).
    for (auto it = onWire_.begin(); it != onWire_.end();) {
        auto [transfer, due] = *it;
        it = due <= now ? onWire_.erase(it) : std::next(it);
        if (due <= now && TakeOwnership(*transfer)) {
            finished.push_back(RemovePending(transfer->irp));
        }
    }
    bool progress = true;
    while (progress) {
        progress = false;
        for (auto& [address, queue] : queues_) {
            EndpointState& endpoint = Endpoint(address);
            while (!queue.empty()) {
                Transfer* transfer = queue.front();
                StepResult step = USBD_SUCCESS(link)
                                      ? Advance(endpoint, LoopbackPeer(endpoint), transfer->data, model_.shortTransferIsError)
                                      : StepResult{true, link};
                if (!step.done) {
                    break;
                }
                progress = true;
                queue.erase(queue.begin());
                transfer->status = step.status;
                if (USBD_SUCCESS(link) && WaitForWire(*transfer, endpoint)) {
                    continue;
                }
                if (TakeOwnership(*transfer)) {
                    finished.push_back(RemovePending(transfer->irp));
                }
            }
        }
    }
}

bool EmulatedDevice::WaitForWire(Transfer& transfer, const EndpointState& endpoint)
{
    if (!model_.busTiming || mode_ != CompletionMode::BusThread) {
        return false;
    }
    const BusTime start = std::max(transfer.arrival, passBus_);
    transfer.reported = busClock_.Book(start, transfer.data.moved, endpoint.maxPacket, endpoint.In());
    const auto wall = timeline_.WallOf(*transfer.reported);
    if (wall <= std::chrono::steady_clock::now()) {
        return false;
    }
    onWire_[&transfer] = wall;
    return true;
}

std::optional<EmulatedDevice::Wake> EmulatedDevice::NextWake(std::chrono::steady_clock::time_point now)
{
    std::optional<Wake> wake;
    auto consider = [&](std::chrono::steady_clock::time_point when, BusTime bus) {
        if (!wake || when < wake->wall) {
            wake = Wake{when, bus};
        }
    };
    for (const auto& [transfer, due] : onWire_) {
        consider(due, transfer->reported.value_or(timeline_.At(due)));
    }
    for (const auto& [address, queue] : queues_) {
        const auto& nakUntil = Endpoint(address).misbehaviour.nakUntil;
        if (!queue.empty() && nakUntil > now) {
            consider(nakUntil, timeline_.At(nakUntil));
        }
    }
    return wake;
}

// Posts one pass for `when` unless one is already posted no later. Never
// with mutex_ held.
void EmulatedDevice::PumpAt(std::optional<Wake> when)
{
    if (!when) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (timedPump_ && *timedPump_ >= now && *timedPump_ <= when->wall) {
            return;
        }
        timedPump_ = when->wall;
    }
    busThread_.PostAt(when->wall, [self = shared_from_this(), bus = when->bus] { self->Pump(bus); });
}

void EmulatedDevice::LeaveIfAsked()
{
    {
        std::lock_guard lock(mutex_);
        const bool asked = std::any_of(endpoints_.begin(), endpoints_.end(),
                                       [](const auto& entry) { return entry.second.leaving; });
        if (!asked || leaveStarted_ || !connected_) {
            return;
        }
        leaveStarted_ = true;
    }
    leaver_ = std::thread([this] { Disconnect(); });
}

// Whether any transfer waits for the device to move it (mutex_ held).
bool EmulatedDevice::AnyQueued(Lock&) const
{
    return std::any_of(queues_.begin(), queues_.end(), [](const auto& entry) { return !entry.second.empty(); });
}

// Runs on the bus thread at DISPATCH_LEVEL: moves what can move and
// completes what ended, outside mutex_. A timed pass happens at the bus
// time it was posted for, however late the thread woke; any other pass at
// the latest event's (the request or the release that asked for it).
void EmulatedDevice::Pump(std::optional<BusTime> due)
{
    TransferList finished;
    std::optional<Wake> wake;
    {
        Lock lock(mutex_);
        pumpScheduled_ = false;
        pumping_ = true;
        if (due) {
            timeline_.Reach(*due, std::chrono::steady_clock::now());
        }
        passBus_ = timeline_.Latest();
        CollectFinished(lock, finished);
        wake = NextWake(std::chrono::steady_clock::now());
    }
    FinishAll(finished);
    PumpAt(wake);
    LeaveIfAsked();
    {
        std::lock_guard lock(mutex_);
        pumping_ = false;
    }
    pumped_.notify_all();
}

// Asks the bus thread for one Pump (several requests before it runs make
// one). Any IRQL up to DISPATCH_LEVEL; never with mutex_ held.
void EmulatedDevice::RequestPump()
{
    {
        std::lock_guard lock(mutex_);
        if (pumpScheduled_) {
            return;
        }
        pumpScheduled_ = true;
    }
    busThread_.Post([self = shared_from_this()] { self->Pump(std::nullopt); });
}

// Writes the outcome into the URB and the request, records it, and hands
// the request back up the stack, at the caller's IRQL (<= DISPATCH_LEVEL).
// Called without mutex_ held; the transfer's buffer and URB are read before
// the completion, after which they belong to the driver again.
void EmulatedDevice::Finish(std::unique_ptr<Transfer> transfer)
{
    if (transfer->function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        FinishUnanswered(std::move(transfer));
        return;
    }
    PIRP irp = transfer->irp;
    auto& urb = transfer->urb->UrbBulkOrInterruptTransfer;
    const NTSTATUS status =
        transfer->irpStatus != STATUS_PENDING ? transfer->irpStatus : NtStatusFromUsbd(transfer->status);
    const bool in = (transfer->endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
    urb.Hdr.Status = transfer->status;
    urb.TransferBufferLength = transfer->data.moved;
    Record(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, transfer->endpoint, in, transfer->data.requested,
           transfer->data.moved, status, transfer->status);
    CaptureRecord record;
    record.irpId = reinterpret_cast<uint64_t>(irp);
    record.status = transfer->status;
    record.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    record.completion = true;
    record.endpoint = transfer->endpoint;
    record.transfer = transfer->captureType;
    record.data = in ? transfer->data.buffer : nullptr;
    record.dataLength = in ? transfer->data.moved : 0;
    capture_.Write(record);
    if (!transfer->reported) {
        CompleteRequest(irp, status);
        return;
    }
    // Handed over now at the bus time it was reported: what this thread
    // sends from the completion arrives by its own processor time since.
    {
        std::lock_guard lock(mutex_);
        timeline_.Reach(*transfer->reported, std::chrono::steady_clock::now());
    }
    CompletionOnThisThread running(this, *transfer->reported);
    CompleteRequest(irp, status);
}

void EmulatedDevice::FinishAll(TransferList& transfers)
{
    for (auto& transfer : transfers) {
        Finish(std::move(transfer));
    }
    transfers.clear();
}

// Finishes `transfers` on the bus thread, after whatever it is doing now.
void EmulatedDevice::FinishAllDeferred(TransferList transfers)
{
    if (transfers.empty()) {
        return;
    }
    auto shared = std::make_shared<TransferList>(std::move(transfers));
    busThread_.Post([self = shared_from_this(), shared] { self->FinishAll(*shared); });
}

// Entered from IoCancelIrp with the cancel spin lock held; the transfer is
// still in pending_ (the bus never finishes one whose cancel routine it
// could not clear).
void EmulatedDevice::CancelTransferRoutine(PDEVICE_OBJECT pdo, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    EmulatedDevice* device = FromPdo(pdo);
    if (device == nullptr) {
        return;
    }
    std::unique_ptr<Transfer> transfer;
    {
        std::lock_guard lock(device->mutex_);
        transfer = device->RemovePending(irp);
    }
    if (transfer == nullptr) {
        emu::verifier::Report("cancel routine of the bus found no transfer", "CancelTransferRoutine");
        return;
    }
    transfer->status = USBD_STATUS_CANCELED;
    device->Finish(std::move(transfer));
}

// ---- Held transfers ----

std::vector<HeldTransfer> EmulatedDevice::Held()
{
    std::lock_guard lock(mutex_);
    std::vector<HeldTransfer> held;
    for (const auto& [irp, transfer] : pending_) {
        if (transfer->held) {
            held.push_back({transfer->id, transfer->endpoint,
                            (transfer->endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0, transfer->data.requested});
        }
    }
    std::sort(held.begin(), held.end(), [](const HeldTransfer& a, const HeldTransfer& b) { return a.id < b.id; });
    return held;
}

bool EmulatedDevice::WaitForHeld(size_t count, std::chrono::milliseconds timeout)
{
    Lock lock(mutex_);
    return heldChanged_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count_if(pending_.begin(), pending_.end(),
                                                 [](const auto& entry) { return entry.second->held; })) >= count;
    });
}

// Test thread: the bus thread is idle for this device once no pass is
// asked for and none runs.
bool EmulatedDevice::WaitForPump(std::chrono::milliseconds timeout)
{
    Lock lock(mutex_);
    return pumped_.wait_for(lock, timeout, [&] { return !pumpScheduled_ && !pumping_ && onWire_.empty(); });
}

// Test thread (PASSIVE_LEVEL); the completion runs raised to DISPATCH_LEVEL
// as a host controller's DPC would run it.
void EmulatedDevice::Release(uint64_t id)
{
    std::unique_ptr<Transfer> done;
    {
        Lock lock(mutex_);
        Transfer* transfer = FindHeld(id);
        if (transfer == nullptr || !TakeOwnership(*transfer)) {
            return;  // unknown, already gone, or being cancelled (the cancel routine finishes it)
        }
        EndpointState& endpoint = Endpoint(transfer->endpoint);
        const USBD_STATUS link = LinkStatus();
        StepResult step = USBD_SUCCESS(link) ? Advance(endpoint, LoopbackPeer(endpoint), transfer->data,
                                                       model_.shortTransferIsError)
                                             : StepResult{true, link};
        if (!step.done) {
            Park(*transfer);
            if (CancelRequested(transfer->irp) && TakeOwnership(*transfer)) {
                transfer->status = USBD_STATUS_CANCELED;
                done = RemovePending(transfer->irp);
            }
        } else {
            transfer->status = step.status;
            done = RemovePending(transfer->irp);
        }
    }
    if (done != nullptr) {
        emu::ScopedIrql dispatch(DISPATCH_LEVEL);
        Finish(std::move(done));
    }
    RequestPump();
}

// Fills (IN) or consumes (OUT) `bytes` of a held transfer as the test says;
// the behaviour supplies IN bytes the test did not, zeros when it has none.
void EmulatedDevice::ReleaseWith(uint64_t id, NTSTATUS status, uint32_t bytes, const std::vector<uint8_t>* data)
{
    std::unique_ptr<Transfer> done;
    {
        Lock lock(mutex_);
        Transfer* transfer = FindHeld(id);
        if (transfer == nullptr || !TakeOwnership(*transfer)) {
            return;
        }
        done = RemovePending(transfer->irp);
        TransferData& moving = done->data;
        const uint32_t length = std::min(bytes, moving.requested);
        EndpointState& endpoint = Endpoint(done->endpoint);
        if (endpoint.In() && length != 0) {
            const size_t given = data != nullptr ? std::min<size_t>(data->size(), length) : 0;
            std::copy_n(data != nullptr ? data->data() : nullptr, given, moving.buffer);
            const size_t taken = TakeInBytes(endpoint, moving.buffer + given, length - given);
            std::fill(moving.buffer + given + taken, moving.buffer + length, uint8_t{0});
        } else if (!endpoint.In() && NT_SUCCESS(status)) {
            AcceptOutBytes(endpoint, LoopbackPeer(endpoint), moving.buffer, length);
        }
        moving.moved = length;
        done->irpStatus = status;
        done->status = UsbdStatusFromNt(status);
    }
    {
        emu::ScopedIrql dispatch(DISPATCH_LEVEL);
        Finish(std::move(done));
    }
    RequestPump();
}

void EmulatedDevice::SetCompletionMode(CompletionMode mode)
{
    std::lock_guard lock(mutex_);
    mode_ = mode;
}

// ---- Data and faults ----

void EmulatedDevice::QueueInData(uint8_t endpoint, const std::vector<uint8_t>& bytes)
{
    {
        std::lock_guard lock(mutex_);
        QueueInPackets(Endpoint(endpoint), bytes.data(), bytes.size(), false);
    }
    RequestPump();
}

std::vector<uint8_t> EmulatedDevice::ReceivedOut(uint8_t endpoint)
{
    std::lock_guard lock(mutex_);
    return Endpoint(endpoint).received;
}

void EmulatedDevice::FailTransfer(uint8_t endpoint, uint64_t nth, uint32_t usbdStatus)
{
    std::lock_guard lock(mutex_);
    EndpointState& state = Endpoint(endpoint);
    state.faults.push_back({Fault::Kind::Fail, state.submitted + nth, usbdStatus});
}

void EmulatedDevice::StallTransfer(uint8_t endpoint, uint64_t nth)
{
    std::lock_guard lock(mutex_);
    EndpointState& state = Endpoint(endpoint);
    state.faults.push_back({Fault::Kind::Stall, state.submitted + nth, 0});
}

void EmulatedDevice::ShortTransfer(uint8_t endpoint, uint64_t nth, uint32_t bytes)
{
    std::lock_guard lock(mutex_);
    EndpointState& state = Endpoint(endpoint);
    state.faults.push_back({Fault::Kind::Short, state.submitted + nth, bytes});
}

bool EmulatedDevice::ApplyFault(uint8_t address, const EndpointFault& fault)
{
    {
        std::lock_guard lock(mutex_);
        auto found = endpoints_.find(address);
        if (found == endpoints_.end()) {
            return false;
        }
        ApplyFaultLocked(found->second, fault);
    }
    RequestPump();
    return true;
}

// A stall "now" hits the oldest transfer waiting, if there is one; zlp on
// an IN endpoint is decided by the OUT endpoints that echo into it. mutex_ held.
void EmulatedDevice::ApplyFaultLocked(EndpointState& endpoint, const EndpointFault& fault)
{
    auto& queue = queues_[endpoint.address];
    if (fault.kind == EndpointFault::Kind::Stall && fault.value == 0 && !queue.empty()) {
        queue.front()->data.fault = Fault{Fault::Kind::Stall, endpoint.submitted, 0};
        return;
    }
    if (fault.kind == EndpointFault::Kind::Zlp && endpoint.In()) {
        for (auto& [address, other] : endpoints_) {
            if (LoopbackPeer(other) == &endpoint) {
                emu::usb::ApplyFault(other, fault, std::chrono::steady_clock::now());
            }
        }
        return;
    }
    emu::usb::ApplyFault(endpoint, fault, std::chrono::steady_clock::now());
}

void EmulatedDevice::FailDescriptorRead(uint64_t nth)
{
    std::lock_guard lock(mutex_);
    failingDescriptorReads_.push_back(descriptorReads_ + nth);
}

void EmulatedDevice::AnswerDescriptorRead(uint64_t nth, std::vector<uint8_t> bytes)
{
    std::lock_guard lock(mutex_);
    substituteDescriptorReads_[descriptorReads_ + nth] = std::move(bytes);
}

void EmulatedDevice::FailNextStart(NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    failingStart_ = status;
}

// A disabled port reaches nothing: what is pending fails (on the bus
// thread, as the host controller would report it) and new requests fail.
void EmulatedDevice::SetPortEnabled(bool enabled)
{
    TransferList failed;
    {
        Lock lock(mutex_);
        portEnabled_ = enabled;
        if (!enabled) {
            FailAllTransfers(USBD_STATUS_DEV_NOT_RESPONDING, failed);
        }
    }
    FinishAllDeferred(std::move(failed));
    if (enabled) {
        RequestPump();
    }
}

bool EmulatedDevice::Leaving()
{
    std::lock_guard lock(mutex_);
    return leaveStarted_ || !connected_;
}

// The device leaves the bus: pending transfers fail before the PnP manager
// hears of it, so that its surprise removal finds them ended.
void EmulatedDevice::Disconnect()
{
    TransferList failed;
    std::function<void(UsbDevice&)> handler;
    {
        Lock lock(mutex_);
        if (!connected_) {
            return;
        }
        connected_ = false;
        FailAllTransfers(USBD_STATUS_DEVICE_GONE, failed);
        handler = disconnectHandler_;
    }
    {
        emu::ScopedIrql dispatch(DISPATCH_LEVEL);
        FinishAll(failed);
    }
    if (handler) {
        handler(*this);
    }
}

// The device signals resume: the pending WAIT_WAKE completes on the bus
// thread, as the hub's interrupt would complete it.
void EmulatedDevice::SignalWake()
{
    busThread_.Post([self = shared_from_this()] {
        PIRP irp = nullptr;
        {
            std::lock_guard lock(self->mutex_);
            if (self->waitWakeIrp_ == nullptr || IoSetCancelRoutine(self->waitWakeIrp_, nullptr) == nullptr) {
                return;
            }
            irp = self->waitWakeIrp_;
            self->waitWakeIrp_ = nullptr;
            self->powerChanged_.notify_all();
        }
        CompleteRequest(irp, STATUS_SUCCESS);
    });
}

// ---- Observation ----

void EmulatedDevice::Record(uint16_t function, uint8_t endpoint, bool in, uint32_t requested, uint32_t actual,
                            NTSTATUS status, USBD_STATUS usbdStatus)
{
    if (!model_.recordUrbs) {
        return;
    }
    std::lock_guard lock(mutex_);
    records_.push_back({function, endpoint, in, requested, actual, status, static_cast<uint32_t>(usbdStatus)});
}

std::vector<UrbRecord> EmulatedDevice::Urbs()
{
    std::lock_guard lock(mutex_);
    return records_;
}

template <typename T>
T EmulatedDevice::Locked(const T& field)
{
    std::lock_guard lock(mutex_);
    return field;
}

uint64_t EmulatedDevice::BusRequests() { return Locked(busRequests_); }

void EmulatedDevice::CountBusRequest()
{
    std::lock_guard lock(mutex_);
    ++busRequests_;
}

namespace {

// Whether the calling thread is one of the emulated system's own (the bus
// thread, the work-item thread, the managers' threads) rather than the
// application's or a test's.
bool OnSystemThread()
{
    static constexpr std::string_view system[] = {"bus", "system worker", "PnP manager", "I/O manager",
                                                  "power manager"};
    const std::string name = emu::threads::CurrentName();
    return std::find(std::begin(system), std::end(system), name) != std::end(system);
}

}  // namespace

// Where the calling thread stands on the bus's time line. Running one of
// this bus's completions: its report plus the thread's own processor time
// since (the driver's and the kernel's work; the host preempting the
// thread is not the emulated machine's time). Another system thread (a
// work item, a manager): the latest event plus the wall time since, so a
// hand-off to another thread is charged in full, however long the host
// takes to run it. The application: the latest event, its own turnaround
// being no part of the driver's or the kernel's time.
BusTime EmulatedDevice::ArrivalNow(std::chrono::steady_clock::time_point now) const
{
    if (auto fromCompletion = CompletionOnThisThread::SendTime(this)) {
        return *fromCompletion;
    }
    return OnSystemThread() ? timeline_.At(now) : timeline_.Latest();
}

BusTime EmulatedDevice::BusNow()
{
    std::lock_guard lock(mutex_);
    return ArrivalNow(std::chrono::steady_clock::now());
}
uint64_t EmulatedDevice::PortResets() { return Locked(portResets_); }
uint64_t EmulatedDevice::PipeResets() { return Locked(pipeResets_); }
uint64_t EmulatedDevice::Aborts() { return Locked(aborts_); }
bool EmulatedDevice::Configured() { return Locked(configured_); }
int EmulatedDevice::DevicePowerState() { return Locked(devicePowerState_); }
bool EmulatedDevice::WaitWakePending() { return Locked(waitWakeIrp_) != nullptr; }

// Test or tool thread: waits on the changes the power dispatch, the wake
// signal, the cancel routine and the removal announce.
bool EmulatedDevice::WaitForPowerState(const std::function<bool(int, bool)>& done, std::chrono::milliseconds timeout)
{
    Lock lock(mutex_);
    return powerChanged_.wait_for(lock, timeout, [&] { return done(devicePowerState_, waitWakeIrp_ != nullptr); });
}

bool EmulatedDevice::StartCapture(const std::string& path)
{
    return capture_.Open(path, port_);
}

bool EmulatedDevice::ContinueCapture(const std::string& path)
{
    return capture_.Append(path, port_);
}

void EmulatedDevice::StopCapture()
{
    capture_.Close();
}

void EmulatedDevice::CaptureControl(PIRP irp, uint16_t function, bool completion, const uint8_t* setup,
                                    uint8_t endpoint, USBD_STATUS status, const uint8_t* data, uint32_t length)
{
    CaptureRecord record;
    record.irpId = reinterpret_cast<uint64_t>(irp);
    record.status = status;
    record.function = function;
    record.completion = completion;
    record.endpoint = endpoint;
    record.transfer = CaptureTransfer::Control;
    record.setup = setup;
    record.data = data;
    record.dataLength = length;
    capture_.Write(record);
}

}  // namespace emu::usb
