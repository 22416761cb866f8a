// IRP allocation and release: IoAllocateIrp lays the IRP out as the kernel
// does (stack locations right after it, CurrentLocation one past the top),
// adds a guard after the last location, and keeps a record per IRP. Freed
// IRPs are poisoned and quarantined, so that a late completion or a second
// free is caught instead of reusing memory.
//
// Every IRP lives in a slot of an arena the kernel reserves once and never
// gives back, behind a hidden header that points at its record: every call
// that takes an IRP finds the record from the address alone, without a lock.
// An address is an IRP only if it lies in the arena exactly where a slot
// puts an IRP and that slot's header names it, so an address the kernel did
// not hand out is told apart without reading anything outside the arena.
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/kernel_internal.h"

#include <array>
#include <atomic>
#include <deque>
#include <vector>

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

namespace emu::kernel {
namespace {

constexpr size_t GuardBytes = sizeof(IO_STACK_LOCATION);
// Bit 0 clear: a pending mark past the last location (SL_PENDING_RETURNED
// ORed into the guard by a driver with no location of its own) must change it.
constexpr UCHAR GuardFill = 0xFC;
constexpr UCHAR FreedFill = 0xDD;
constexpr size_t QuarantineIrps = 1024;

// In front of each IRP: the record of the IRP the slot holds now (null
// while the slot is free). Written under IrpMutex(), which also keeps the
// record alive while the caller reads it.
struct IrpHeader {
    IrpRecord* record;
};
constexpr size_t HeaderBytes = 64;  // keeps the IRP 64-byte aligned
static_assert(sizeof(IrpHeader) <= HeaderBytes);

// Slot sizes: an IRP of up to 127 stack locations fits the largest.
struct SlotClass {
    size_t slotBytes;
    size_t slots;
};
constexpr std::array<SlotClass, 3> SlotClasses{{{1024, 32768}, {4096, 8192}, {16384, 4096}}};
static_assert(HeaderBytes + sizeof(IRP) + 127 * sizeof(IO_STACK_LOCATION) + GuardBytes <= 16384);

struct Arena {
    UCHAR* base = nullptr;
    std::array<UCHAR*, SlotClasses.size()> regions{};
    std::array<size_t, SlotClasses.size()> used{};              // slots handed out at least once
    std::array<std::vector<UCHAR*>, SlotClasses.size()> freed{};  // slots to hand out again
};

// Reserved on first use, never unmapped: a stale or forged address that
// falls in it reads the kernel's own memory, never a hole. Guarded by
// IrpMutex() except the region bounds, fixed once set.
std::atomic<UCHAR*> arenaBase{nullptr};
Arena arena;

size_t ArenaBytes()
{
    size_t bytes = 0;
    for (const auto& slotClass : SlotClasses) {
        bytes += slotClass.slotBytes * slotClass.slots;
    }
    return bytes;
}

// Caller holds IrpMutex().
bool ReserveArenaLocked()
{
    if (arena.base != nullptr) {
        return true;
    }
    void* memory = mmap(nullptr, ArenaBytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
        return false;
    }
    arena.base = static_cast<UCHAR*>(memory);
    UCHAR* region = arena.base;
    for (size_t i = 0; i < SlotClasses.size(); ++i) {
        arena.regions[i] = region;
        region += SlotClasses[i].slotBytes * SlotClasses[i].slots;
    }
    arenaBase.store(arena.base, std::memory_order_release);
    return true;
}

// The header of the slot whose IRP would be at `irp`; null when no slot
// puts an IRP there.
IrpHeader* HeaderOf(const IRP* irp)
{
    UCHAR* base = arenaBase.load(std::memory_order_acquire);
    const auto address = reinterpret_cast<uintptr_t>(irp);
    const auto start = reinterpret_cast<uintptr_t>(base);
    if (base == nullptr || address < start + HeaderBytes) {
        return nullptr;
    }
    uintptr_t offset = address - start - HeaderBytes;
    for (const auto& slotClass : SlotClasses) {
        const uintptr_t regionBytes = slotClass.slotBytes * slotClass.slots;
        if (offset < regionBytes) {
            if (offset % slotClass.slotBytes != 0) {
                return nullptr;
            }
            return reinterpret_cast<IrpHeader*>(address - HeaderBytes);
        }
        offset -= regionBytes;
    }
    return nullptr;
}

// Under AddressSanitizer the slot past the IRP's guard is out of bounds,
// as the space past a heap block would be.
UCHAR* Fitted(UCHAR* slot, size_t slotBytes, size_t bytes)
{
    ASAN_UNPOISON_MEMORY_REGION(slot + HeaderBytes, bytes);
    ASAN_POISON_MEMORY_REGION(slot + HeaderBytes + bytes, slotBytes - HeaderBytes - bytes);
    return slot;
}

// A slot for `bytes` of IRP and guard, or null. Caller holds IrpMutex().
UCHAR* TakeSlotLocked(size_t bytes)
{
    if (!ReserveArenaLocked()) {
        return nullptr;
    }
    for (size_t i = 0; i < SlotClasses.size(); ++i) {
        const size_t slotBytes = SlotClasses[i].slotBytes;
        if (HeaderBytes + bytes > slotBytes) {
            continue;
        }
        if (!arena.freed[i].empty()) {
            UCHAR* slot = arena.freed[i].back();
            arena.freed[i].pop_back();
            return Fitted(slot, slotBytes, bytes);
        }
        if (arena.used[i] < SlotClasses[i].slots) {
            return Fitted(arena.regions[i] + slotBytes * arena.used[i]++, slotBytes, bytes);
        }
        return nullptr;  // as many IRPs of this size live or quarantined as the arena holds
    }
    return nullptr;
}

// Caller holds IrpMutex().
void ReturnSlotLocked(IrpRecord& record)
{
    UCHAR* slot = record.memory - HeaderBytes;
    reinterpret_cast<IrpHeader*>(slot)->record = nullptr;
    record.memory = nullptr;
    for (size_t i = 0; i < SlotClasses.size(); ++i) {
        const size_t regionBytes = SlotClasses[i].slotBytes * SlotClasses[i].slots;
        if (slot >= arena.regions[i] && slot < arena.regions[i] + regionBytes) {
            // Under AddressSanitizer a use of the IRP from here on is a use after free.
            ASAN_POISON_MEMORY_REGION(slot + HeaderBytes, SlotClasses[i].slotBytes - HeaderBytes);
            arena.freed[i].push_back(slot);
            return;
        }
    }
}

// Every live and quarantined record, for the reports that look at all of
// them (leaks, kept requests); the lookups go through the headers.
std::vector<std::shared_ptr<IrpRecord>> records;  // guarded by IrpMutex()
std::deque<std::shared_ptr<IrpRecord>> quarantine;  // oldest first; guarded by IrpMutex()

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

// Caller holds IrpMutex().
void ForgetLocked(IrpRecord& record)
{
    ReturnSlotLocked(record);
    const size_t index = record.registryIndex;
    records[index] = std::move(records.back());
    records[index]->registryIndex = index;
    records.pop_back();
}

void QuarantineLocked(IrpRecord& record)
{
    NoteReleased(record);
    memset(record.memory, FreedFill, record.bytes);
    record.state = IrpState::Freed;
    quarantine.push_back(records[record.registryIndex]);
    while (quarantine.size() > QuarantineIrps) {
        std::shared_ptr<IrpRecord> oldest = std::move(quarantine.front());
        quarantine.pop_front();
        ForgetLocked(*oldest);
    }
}

}  // namespace

IrpLock& IrpMutex()
{
    static IrpLock lock;
    return lock;
}

IrpRecord* FindIrpLocked(const IRP* irp)
{
    IrpHeader* header = HeaderOf(irp);
    if (header == nullptr || header->record == nullptr || header->record->irp != irp) {
        return nullptr;
    }
    return header->record;
}

std::shared_ptr<IrpRecord> FindIrp(const IRP* irp)
{
    std::lock_guard lock(IrpMutex());
    IrpRecord* record = FindIrpLocked(irp);
    return record != nullptr ? records[record->registryIndex] : nullptr;
}

std::string IrpText(const IRP* irp)
{
    return "IRP " + Hex(irp);
}

PIRP AllocateIrp(CCHAR stackSize, PDRIVER_OBJECT owner, PDRIVER_OBJECT creator)
{
    const size_t bytes = IoSizeOfIrp(stackSize) + GuardBytes;
    auto record = std::make_shared<IrpRecord>();
    std::lock_guard lock(IrpMutex());
    UCHAR* slot = TakeSlotLocked(bytes);
    if (slot == nullptr) {
        return nullptr;
    }
    UCHAR* memory = slot + HeaderBytes;
    memset(memory + bytes - GuardBytes, GuardFill, GuardBytes);
    auto irp = reinterpret_cast<PIRP>(memory);
    InitializeIrp(irp, stackSize);
    record->irp = irp;
    record->memory = memory;
    record->bytes = bytes;
    record->stackCount = stackSize;
    record->owner = owner;
    record->creator = creator;
    record->lowestLocation = stackSize + 1;
    record->registryIndex = records.size();
    records.push_back(record);
    reinterpret_cast<IrpHeader*>(slot)->record = record.get();
    return irp;
}

void ReleaseIrp(PIRP irp, bool byIoManager, const char* routine)
{
    std::lock_guard lock(IrpMutex());
    IrpRecord* found = FindIrpLocked(irp);
    if (found == nullptr) {
        verifier::Report("IoFreeIrp of an address that is not an IRP", routine, Hex(irp));
        return;
    }
    IrpRecord& record = *found;
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
    for (auto& record : records) {
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
        for (const auto& record : records) {
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
    for (auto& record : records) {
        ReturnSlotLocked(*record);
    }
    records.clear();
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
            return *it;
        }
        if (any == nullptr) {
            any = *it;
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
    for (const auto& record : kernel::records) {
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
