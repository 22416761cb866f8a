// IRP allocation and release: IoAllocateIrp lays the IRP out as the kernel
// does (stack locations right after it, CurrentLocation one past the top),
// adds a guard after the last location, and keeps a record per IRP. Freed
// IRPs are poisoned and quarantined, so that a late completion or a second
// free is caught instead of reusing memory.
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/kernel_internal.h"

#include <cstdlib>
#include <deque>
#include <map>

namespace emu::kernel {
namespace {

constexpr size_t GuardBytes = sizeof(IO_STACK_LOCATION);
// Bit 0 clear: a pending mark past the last location (SL_PENDING_RETURNED
// ORed into the guard by a driver with no location of its own) must change it.
constexpr UCHAR GuardFill = 0xFC;
constexpr UCHAR FreedFill = 0xDD;
constexpr size_t QuarantineIrps = 1024;

std::map<const IRP*, std::shared_ptr<IrpRecord>> irps;  // guarded by IrpMutex()
std::deque<const IRP*> quarantine;                       // oldest first

bool GuardIntact(const IrpRecord& record)
{
    const UCHAR* guard = record.memory + record.bytes - GuardBytes;
    for (size_t i = 0; i < GuardBytes; ++i) {
        if (guard[i] != GuardFill) {
            return false;
        }
    }
    return true;
}

// Lays out a zeroed IRP for `stackSize` locations, as IoInitializeIrp does.
void InitializeIrp(PIRP irp, CCHAR stackSize)
{
    memset(irp, 0, IoSizeOfIrp(stackSize));
    irp->Type = IO_TYPE_IRP;
    irp->Size = IoSizeOfIrp(stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
}

void QuarantineLocked(IrpRecord& record)
{
    NoteReleased(record);
    memset(record.memory, FreedFill, record.bytes);
    record.state = IrpState::Freed;
    quarantine.push_back(record.irp);
    while (quarantine.size() > QuarantineIrps) {
        auto oldest = irps.find(quarantine.front());
        quarantine.pop_front();
        if (oldest != irps.end()) {
            std::free(oldest->second->memory);
            oldest->second->memory = nullptr;
            irps.erase(oldest);
        }
    }
}

}  // namespace

std::mutex& IrpMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<IrpRecord> FindIrp(const IRP* irp)
{
    std::lock_guard lock(IrpMutex());
    auto found = irps.find(irp);
    return found == irps.end() ? nullptr : found->second;
}

std::string IrpText(const IRP* irp)
{
    return "IRP " + Hex(irp);
}

PIRP AllocateIrp(CCHAR stackSize, PDRIVER_OBJECT owner, PDRIVER_OBJECT creator)
{
    const size_t bytes = IoSizeOfIrp(stackSize) + GuardBytes;
    auto* memory = static_cast<UCHAR*>(std::calloc(1, bytes));
    if (memory == nullptr) {
        return nullptr;
    }
    memset(memory + bytes - GuardBytes, GuardFill, GuardBytes);
    auto irp = reinterpret_cast<PIRP>(memory);
    InitializeIrp(irp, stackSize);
    auto record = std::make_shared<IrpRecord>();
    record->irp = irp;
    record->memory = memory;
    record->bytes = bytes;
    record->stackCount = stackSize;
    record->owner = owner;
    record->creator = creator;
    record->lowestLocation = stackSize + 1;
    std::lock_guard lock(IrpMutex());
    irps[irp] = std::move(record);
    return irp;
}

void ReleaseIrp(PIRP irp, bool byIoManager, const char* routine)
{
    std::lock_guard lock(IrpMutex());
    auto found = irps.find(irp);
    if (found == irps.end()) {
        verifier::Report("IoFreeIrp of an address that is not an IRP", routine, Hex(irp));
        return;
    }
    IrpRecord& record = *found->second;
    if (record.state == IrpState::Freed) {
        verifier::Report("IRP freed twice", routine, IrpText(irp));
        return;
    }
    if (record.threaded && !byIoManager) {
        verifier::Report("IoFreeIrp of an IRP the I/O manager frees", routine,
                         IrpText(irp) + " was built by IoBuildDeviceIoControlRequest");
        return;
    }
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        verifier::Report("IRP freed with a cancel routine set", routine, IrpText(irp));
    }
    if (!record.guardReported && !GuardIntact(record)) {
        verifier::Report("write past the IRP's last stack location", routine, IrpText(irp));
    }
    QuarantineLocked(record);
}

void ForEachLiveIrp(const std::function<void(IrpRecord&)>& visit)
{
    for (auto& [irp, record] : irps) {
        if (record->state == IrpState::Live) {
            visit(*record);
        }
    }
}

void ReportIrpLeaks(PDRIVER_OBJECT driver)
{
    uint64_t outstanding = 0;
    {
        std::lock_guard lock(IrpMutex());
        for (const auto& [irp, record] : irps) {
            if (record->owner == driver && record->state != IrpState::Freed) {
                ++outstanding;
                record->owner = nullptr;
            }
        }
    }
    if (outstanding != 0) {
        verifier::Report("IRP outstanding at unload", "DriverUnload", std::to_string(outstanding) + " IRPs");
    }
}

void ResetIrps()
{
    std::lock_guard lock(IrpMutex());
    for (auto& [irp, record] : irps) {
        std::free(record->memory);
        record->memory = nullptr;
    }
    irps.clear();
    quarantine.clear();
}

CallFrame* FrameAt(IrpRecord& record, int location)
{
    const uint64_t self = CurrentThread().id;
    CallFrame* any = nullptr;
    for (auto it = record.frames.rbegin(); it != record.frames.rend(); ++it) {
        if ((*it)->location != location) {
            continue;
        }
        if ((*it)->thread == self) {
            return it->get();
        }
        if (any == nullptr) {
            any = it->get();
        }
    }
    return any;
}

}  // namespace emu::kernel

namespace emu {

uint64_t LiveIrps()
{
    std::lock_guard lock(kernel::IrpMutex());
    uint64_t live = 0;
    for (const auto& [irp, record] : kernel::irps) {
        live += record->state != kernel::IrpState::Freed ? 1 : 0;
    }
    return live;
}

}  // namespace emu

using namespace emu::kernel;

extern "C" {

// <= DISPATCH_LEVEL. The caller owns the IRP and frees it with IoFreeIrp
// (normally in its completion routine, which returns
// STATUS_MORE_PROCESSING_REQUIRED).
PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize < 1) {
        emu::verifier::Report("IRP with no stack location", "IoAllocateIrp", std::to_string(int(StackSize)));
        return nullptr;
    }
    if (emu::faults::ShouldFailCall()) {
        return nullptr;
    }
    return AllocateIrp(StackSize, ChargedDriver(), CurrentDriver());
}

// <= DISPATCH_LEVEL; only for IRPs the caller allocated.
void NTAPI IoFreeIrp(PIRP Irp)
{
    ReleaseIrp(Irp, false, "IoFreeIrp");
}

// Reinitializes an IRP its owner allocated, for sending it again.
void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    auto record = FindIrp(Irp);
    if (record == nullptr || record->state == IrpState::Freed) {
        emu::verifier::Report("IoReuseIrp of an IRP that is not live", "IoReuseIrp", Hex(Irp));
        return;
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        emu::verifier::Report("IRP reused with a cancel routine set", "IoReuseIrp", IrpText(Irp));
    }
    const UCHAR allocationFlags = Irp->AllocationFlags;
    InitializeIrp(Irp, record->stackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Status;
    std::lock_guard lock(IrpMutex());
    record->state = IrpState::Live;
    record->skippedAt = 0;
    record->lowestLocation = record->stackCount + 1;
}

}  // extern "C"
