// Memory descriptor lists. A caller's buffer is mapped into "system space"
// at an alias different from its own address: the system address is a
// separate buffer filled from the caller's when mapped and written back
// when unmapped, unlocked or freed. A driver that uses the caller's address
// (StartVa, UserBuffer) as a kernel pointer therefore loses its data, as it
// would on Windows. Mapping is a failable call.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace emu::kernel {
namespace {

struct MdlRecord {
    std::unique_ptr<UCHAR[]> alias;  // the system-space copy while mapped
    LOCK_OPERATION operation = IoReadAccess;
};

std::mutex mdlMutex;
std::map<const MDL*, MdlRecord> mdls;  // guarded by mdlMutex

PVOID CallerAddress(PMDL mdl)
{
    return MmGetMdlVirtualAddress(mdl);
}

// Writes the alias back to the caller's buffer (for a write operation)
// and drops it. Caller holds mdlMutex.
void UnmapLocked(PMDL mdl, MdlRecord& record)
{
    if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || !record.alias) {
        return;
    }
    if (record.operation != IoReadAccess) {
        memcpy(CallerAddress(mdl), record.alias.get(), mdl->ByteCount);
    }
    record.alias.reset();
    mdl->MappedSystemVa = nullptr;
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

MdlRecord* FindLocked(PMDL mdl, const char* routine)
{
    auto found = mdls.find(mdl);
    if (found == mdls.end()) {
        verifier::Report(mdl == nullptr ? "NULL MDL" : "an address that is not an MDL", routine, Hex(mdl));
        return nullptr;
    }
    return &found->second;
}

}  // namespace

void ResetMdls()
{
    std::lock_guard lock(mdlMutex);
    for (auto& [mdl, record] : mdls) {
        std::free(const_cast<MDL*>(mdl));
    }
    mdls.clear();
}

}  // namespace emu::kernel

using namespace emu::kernel;

extern "C" {

// <= DISPATCH_LEVEL. Describes [VirtualAddress, +Length); with an IRP it
// becomes the IRP's MDL (or is chained after it, for a secondary buffer).
PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    const size_t bytes = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    auto mdl = static_cast<PMDL>(std::calloc(1, bytes));
    if (mdl == nullptr) {
        return nullptr;
    }
    mdl->Size = static_cast<CSHORT>(bytes);
    mdl->StartVa = PAGE_ALIGN(VirtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    mdl->ByteCount = Length;
    auto* frames = reinterpret_cast<PFN_NUMBER*>(mdl + 1);
    for (ULONG i = 0; i < pages; ++i) {
        frames[i] = (reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT) + i;
    }
    {
        std::lock_guard lock(mdlMutex);
        mdls[mdl] = MdlRecord{};
    }
    if (Irp == nullptr) {
        return mdl;
    }
    if (!SecondaryBuffer) {
        Irp->MdlAddress = mdl;
        return mdl;
    }
    PMDL* tail = &Irp->MdlAddress;
    while (*tail != nullptr) {
        tail = &(*tail)->Next;
    }
    *tail = mdl;
    return mdl;
}

// <= DISPATCH_LEVEL.
void NTAPI IoFreeMdl(PMDL Mdl)
{
    std::lock_guard lock(mdlMutex);
    MdlRecord* record = FindLocked(Mdl, "IoFreeMdl");
    if (record == nullptr) {
        return;
    }
    UnmapLocked(Mdl, *record);
    mdls.erase(Mdl);
    std::free(Mdl);
}

// The buffer is nonpaged pool: its system address is its own.
void NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    std::lock_guard lock(mdlMutex);
    if (FindLocked(MemoryDescriptorList, "MmBuildMdlForNonPagedPool") == nullptr) {
        return;
    }
    MemoryDescriptorList->MappedSystemVa = CallerAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

// <= APC_LEVEL (DISPATCH_LEVEL for nonpaged memory).
void NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    UNREFERENCED_PARAMETER(AccessMode);
    std::lock_guard lock(mdlMutex);
    MdlRecord* record = FindLocked(MemoryDescriptorList, "MmProbeAndLockPages");
    if (record == nullptr) {
        return;
    }
    if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) {
        emu::verifier::Report("MDL pages locked twice", "MmProbeAndLockPages", Hex(MemoryDescriptorList));
        return;
    }
    record->operation = Operation;
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED | (Operation != IoReadAccess ? MDL_WRITE_OPERATION : 0);
}

// <= DISPATCH_LEVEL. Writes back and drops any system mapping.
void NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    std::lock_guard lock(mdlMutex);
    MdlRecord* record = FindLocked(MemoryDescriptorList, "MmUnlockPages");
    if (record == nullptr) {
        return;
    }
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        emu::verifier::Report("MDL pages unlocked but not locked", "MmUnlockPages", Hex(MemoryDescriptorList));
        return;
    }
    UnmapLocked(MemoryDescriptorList, *record);
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

// <= DISPATCH_LEVEL, kernel mode only. Null when mapping fails. A driver
// maps data with MdlMappingNoExecute in the priority; an executable mapping
// from a driver is a finding.
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress, ULONG BugCheckOnFailure,
                                         ULONG Priority)
{
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    CheckIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    if (ChargedDriver() != nullptr && !(Priority & MdlMappingNoExecute)) {
        emu::verifier::Report("MDL mapped executable by a driver", "MmMapLockedPagesSpecifyCache",
                              Hex(MemoryDescriptorList) + " by " + DriverText(ChargedDriver()));
    }
    if (AccessMode != KernelMode || BaseAddress != nullptr) {
        emu::verifier::Report("user-mode or fixed-address mapping is not supported", "MmMapLockedPagesSpecifyCache");
        return nullptr;
    }
    std::lock_guard lock(mdlMutex);
    MdlRecord* record = FindLocked(MemoryDescriptorList, "MmMapLockedPagesSpecifyCache");
    if (record == nullptr) {
        return nullptr;
    }
    PMDL mdl = MemoryDescriptorList;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return mdl->MappedSystemVa;
    }
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        emu::verifier::Report("MDL mapped without its pages locked", "MmMapLockedPagesSpecifyCache", Hex(mdl));
    }
    if (emu::faults::ShouldFailCall()) {
        return nullptr;
    }
    // Every byte of the alias is copied from the caller's buffer, so it is
    // not zeroed first: for a read the copy is what the unmap writes back
    // where the driver wrote nothing.
    record->alias = std::make_unique_for_overwrite<UCHAR[]>(mdl->ByteCount ? mdl->ByteCount : 1);
    memcpy(record->alias.get(), CallerAddress(mdl), mdl->ByteCount);
    mdl->MappedSystemVa = record->alias.get();
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

void NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    std::lock_guard lock(mdlMutex);
    MdlRecord* record = FindLocked(MemoryDescriptorList, "MmUnmapLockedPages");
    if (record == nullptr) {
        return;
    }
    if (BaseAddress != MemoryDescriptorList->MappedSystemVa) {
        emu::verifier::Report("unmap of an address the MDL is not mapped at", "MmUnmapLockedPages", Hex(BaseAddress));
        return;
    }
    UnmapLocked(MemoryDescriptorList, *record);
}

// <= DISPATCH_LEVEL. False for null and low addresses and for freed pool.
BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "MmIsAddressValid");
    constexpr ULONG_PTR LowestValidAddress = 0x10000;
    if (reinterpret_cast<ULONG_PTR>(VirtualAddress) < LowestValidAddress) {
        return FALSE;
    }
    return IsFreedPool(VirtualAddress) ? FALSE : TRUE;
}

}  // extern "C"
