// The executive pool: tagged blocks with per-tag accounting, owner
// attribution, pattern-filled contents, guard bytes checked on free, a
// quarantine of freed blocks (double frees are caught, not reused) and fault
// injection by n-th allocation, size or tag.
#include "emulator/kernel/keep_newest.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <atomic>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace emu::kernel {
namespace {

constexpr size_t GuardBytes = 16;
constexpr UCHAR GuardFill = 0xFD;
constexpr UCHAR NewBlockFill = 0xCD;
constexpr UCHAR FreedBlockFill = 0xDD;
constexpr size_t QuarantineBlocks = 4096;

struct Block {
    UCHAR* raw;            // the allocation, front guard first
    SIZE_T bytes;          // as requested
    SIZE_T rounded;        // bytes rounded up to 16
    ULONG tag;
    POOL_TYPE type;
    PDRIVER_OBJECT owner;  // null: the system
};

std::mutex poolMutex;
std::map<uintptr_t, Block> live;     // by user address; guarded by poolMutex
// Bumped (under poolMutex) whenever `live` changes, so that a thread may
// keep the last block it found for as long as the number stays the same.
std::atomic<uint64_t> liveGeneration{0};
std::map<uintptr_t, Block> freed;    // quarantine, same key
std::deque<uintptr_t> freedOrder;    // oldest first
std::map<ULONG, pool::TagStats> stats;
uint64_t poolAllocations = 0;        // failable allocations so far
uint64_t failAllocationAt = 0;       // 0: none
std::set<SIZE_T> failSizes;
std::set<ULONG> failTags;

bool IsKnownPoolType(POOL_TYPE type)
{
    switch (type) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
    case NonPagedPoolNx:
        return true;
    default:
        return false;
    }
}

bool IsPaged(POOL_TYPE type)
{
    return type == PagedPool || type == PagedPoolCacheAligned;
}

// Non-paged pool whose pages the processor may execute: data placed there is
// code an attacker can jump to, which memory integrity refuses.
bool IsExecutable(POOL_TYPE type)
{
    return type == NonPagedPool || type == NonPagedPoolCacheAligned;
}

// Decides, under poolMutex, whether fault injection fails this allocation.
bool InjectedFailureLocked(SIZE_T bytes, ULONG tag)
{
    ++poolAllocations;
    if (failAllocationAt != 0 && poolAllocations == failAllocationAt) {
        failAllocationAt = 0;
        return true;
    }
    return failSizes.count(bytes) != 0 || failTags.count(tag) != 0;
}

bool GuardsIntact(const Block& block)
{
    for (size_t i = 0; i < GuardBytes; ++i) {
        if (block.raw[i] != GuardFill) {
            return false;
        }
    }
    const UCHAR* tail = block.raw + GuardBytes + block.bytes;
    const size_t tailBytes = block.rounded - block.bytes + GuardBytes;
    for (size_t i = 0; i < tailBytes; ++i) {
        if (tail[i] != GuardFill) {
            return false;
        }
    }
    return true;
}

void QuarantineLocked(uintptr_t address, const Block& block)
{
    memset(block.raw + GuardBytes, FreedBlockFill, block.rounded);
    freed[address] = block;
    KeepNewest(freedOrder, address, QuarantineBlocks, [](uintptr_t oldest) {
        auto found = freed.find(oldest);
        if (found != freed.end()) {
            std::free(found->second.raw);
            freed.erase(found);
        }
    });
}

std::string BlockText(const void* address, const Block& block)
{
    return Hex(address) + " tag " + TagText(block.tag) + ", " + std::to_string(block.bytes) + " bytes";
}

void CheckFreeContext(const char* routine)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, routine);
}

// Takes the block out of the live set; reports what is wrong with the free.
bool TakeLiveBlock(PVOID address, const char* routine, Block* block)
{
    std::lock_guard lock(poolMutex);
    const auto key = reinterpret_cast<uintptr_t>(address);
    auto found = live.find(key);
    if (found == live.end()) {
        if (freed.count(key) != 0) {
            verifier::Report("pool freed twice", routine, Hex(address) + " tag " + TagText(freed[key].tag));
        } else {
            verifier::Report("free of an address that is not a pool block", routine, Hex(address));
        }
        return false;
    }
    *block = found->second;
    live.erase(found);
    liveGeneration++;
    auto& tagStats = stats[block->tag];
    tagStats.frees++;
    tagStats.liveBlocks--;
    tagStats.liveBytes -= block->bytes;
    return true;
}

}  // namespace

std::string Hex(const void* pointer)
{
    char text[32];
    snprintf(text, sizeof(text), "%p", pointer);
    return text;
}

std::string Hex(ULONG value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

std::string TagText(ULONG tag)
{
    std::string text = "'";
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text + "'";
}

PVOID AllocatePool(POOL_TYPE type, SIZE_T bytes, ULONG tag, PDRIVER_OBJECT owner, bool failable)
{
    const SIZE_T rounded = (bytes + 15) & ~SIZE_T(15);
    {
        std::lock_guard lock(poolMutex);
        if (failable && InjectedFailureLocked(bytes, tag)) {
            return nullptr;
        }
    }
    if (failable && faults::ShouldFailCall()) {
        return nullptr;
    }
    auto* raw = static_cast<UCHAR*>(std::aligned_alloc(16, GuardBytes + (rounded ? rounded : 16) + GuardBytes));
    if (raw == nullptr) {
        return nullptr;
    }
    memset(raw, GuardFill, GuardBytes + rounded + GuardBytes);
    memset(raw + GuardBytes, NewBlockFill, bytes);
    UCHAR* user = raw + GuardBytes;
    std::lock_guard lock(poolMutex);
    live[reinterpret_cast<uintptr_t>(user)] = Block{raw, bytes, rounded, tag, type, owner};
    liveGeneration++;
    auto& tagStats = stats[tag];
    tagStats.tag = tag;
    tagStats.allocations++;
    tagStats.liveBlocks++;
    tagStats.liveBytes += bytes;
    return user;
}

void FreePool(PVOID address, const char* routine)
{
    Block block{};
    if (!TakeLiveBlock(address, routine, &block)) {
        return;
    }
    if (IsPaged(block.type) && CurrentThread().irql > APC_LEVEL) {
        verifier::Report("paged pool freed above APC_LEVEL", routine, BlockText(address, block));
    }
    if (!GuardsIntact(block)) {
        verifier::Report("pool block overrun", routine, BlockText(address, block));
    }
    std::lock_guard lock(poolMutex);
    QuarantineLocked(reinterpret_cast<uintptr_t>(address), block);
}

bool IsFreedPool(const void* address)
{
    std::lock_guard lock(poolMutex);
    const auto key = reinterpret_cast<uintptr_t>(address);
    auto next = freed.upper_bound(key);
    if (next == freed.begin()) {
        return false;
    }
    --next;
    return key < next->first + std::max<SIZE_T>(next->second.bytes, 1);
}

void ReportPoolLeaks(PDRIVER_OBJECT driver)
{
    std::map<ULONG, std::pair<uint64_t, uint64_t>> leaks;  // tag -> blocks, bytes
    {
        std::lock_guard lock(poolMutex);
        for (auto it = live.begin(); it != live.end();) {
            const Block& block = it->second;
            if (block.owner != driver) {
                ++it;
                continue;
            }
            auto& leak = leaks[block.tag];
            leak.first++;
            leak.second += block.bytes;
            auto& tagStats = stats[block.tag];
            tagStats.liveBlocks--;
            tagStats.liveBytes -= block.bytes;
            std::free(block.raw);
            it = live.erase(it);
            liveGeneration++;
        }
    }
    for (const auto& [tag, leak] : leaks) {
        verifier::Report("pool leaked at unload", "DriverUnload",
                         "tag " + TagText(tag) + ": " + std::to_string(leak.first) + " blocks, " +
                             std::to_string(leak.second) + " bytes");
    }
}

void ResetPool()
{
    std::lock_guard lock(poolMutex);
    for (auto& [address, block] : live) {
        std::free(block.raw);
    }
    for (auto& [address, block] : freed) {
        std::free(block.raw);
    }
    live.clear();
    liveGeneration++;
    freed.clear();
    freedOrder.clear();
    stats.clear();
    poolAllocations = 0;
    failAllocationAt = 0;
    failSizes.clear();
    failTags.clear();
}

}  // namespace emu::kernel

namespace emu::pool {

std::vector<TagStats> Stats()
{
    std::lock_guard lock(kernel::poolMutex);
    std::vector<TagStats> result;
    for (const auto& [tag, tagStats] : kernel::stats) {
        result.push_back(tagStats);
    }
    return result;
}

uint64_t LiveBlocks(ULONG tag)
{
    std::lock_guard lock(kernel::poolMutex);
    auto found = kernel::stats.find(tag);
    return found == kernel::stats.end() ? 0 : found->second.liveBlocks;
}

namespace {

// What one lookup learnt, good while the pool's generation stays the same:
// the range [low, high) is one live block (`block`), or a gap between
// blocks where no address is pool.
struct KnownRange {
    uint64_t generation = UINT64_MAX;
    uintptr_t low = 0;
    uintptr_t high = 0;
    bool block = false;
};

// The bus asks about a few addresses per transfer (the URB, the transfer
// buffer, which is often no pool block at all) over and over: each thread
// keeps the last few ranges it was told about.
constexpr size_t KnownRanges = 4;
struct KnownRangeCache {
    KnownRange ranges[KnownRanges];
    size_t next = 0;
};
thread_local KnownRangeCache knownRanges;

const KnownRange* FindKnownRange(uintptr_t key, uint64_t generation)
{
    for (const KnownRange& range : knownRanges.ranges) {
        if (range.generation == generation && key >= range.low && key < range.high) {
            return &range;
        }
    }
    return nullptr;
}

// The range `key` lies in, looked up in `live`. Caller holds poolMutex.
KnownRange LookUpRangeLocked(uintptr_t key, uint64_t generation)
{
    auto next = kernel::live.upper_bound(key);
    const uintptr_t gapHigh = next == kernel::live.end() ? UINTPTR_MAX : next->first;
    if (next == kernel::live.begin()) {
        return {generation, 0, gapHigh, false};
    }
    --next;
    const uintptr_t blockEnd = next->first + std::max<SIZE_T>(next->second.bytes, 1);
    if (key >= blockEnd) {
        return {generation, blockEnd, gapHigh, false};
    }
    return {generation, next->first, next->first + next->second.bytes, true};
}

}  // namespace

bool FindBlock(const void* address, const void** start, SIZE_T* bytes)
{
    const auto key = reinterpret_cast<uintptr_t>(address);
    const uint64_t generation = kernel::liveGeneration.load(std::memory_order_acquire);
    const KnownRange* known = FindKnownRange(key, generation);
    KnownRange looked;
    if (known == nullptr) {
        std::lock_guard lock(kernel::poolMutex);
        looked = LookUpRangeLocked(key, kernel::liveGeneration.load(std::memory_order_relaxed));
        knownRanges.ranges[knownRanges.next] = looked;
        knownRanges.next = (knownRanges.next + 1) % KnownRanges;
        known = &looked;
    }
    if (!known->block) {
        return false;
    }
    *start = reinterpret_cast<const void*>(known->low);
    *bytes = known->high - known->low;
    return true;
}

void FailNthAllocation(uint64_t n)
{
    std::lock_guard lock(kernel::poolMutex);
    kernel::failAllocationAt = n == 0 ? 0 : kernel::poolAllocations + n;
}

void FailAllocationsOfSize(SIZE_T bytes)
{
    std::lock_guard lock(kernel::poolMutex);
    kernel::failSizes.insert(bytes);
}

void FailAllocationsWithTag(ULONG tag)
{
    std::lock_guard lock(kernel::poolMutex);
    kernel::failTags.insert(tag);
}

void ClearFaults()
{
    std::lock_guard lock(kernel::poolMutex);
    kernel::failAllocationAt = 0;
    kernel::failSizes.clear();
    kernel::failTags.clear();
}

}  // namespace emu::pool

using namespace emu::kernel;

extern "C" {

// NonPagedPool at <= DISPATCH_LEVEL, PagedPool at <= APC_LEVEL. Null on
// exhaustion (or when fault injection says so). A driver's data belongs in
// NonPagedPoolNx: executable pool from a driver is a finding.
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    const KIRQL irql = emu::CurrentIrql();
    if (!IsKnownPoolType(PoolType)) {
        emu::verifier::Report("unknown pool type", "ExAllocatePoolWithTag", std::to_string(int(PoolType)));
        return nullptr;
    }
    if (IsPaged(PoolType) && irql > APC_LEVEL) {
        emu::verifier::Report("paged pool allocated above APC_LEVEL", "ExAllocatePoolWithTag",
                              "IRQL " + std::to_string(irql));
    } else {
        CheckIrqlAtMost(DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    }
    if (NumberOfBytes == 0) {
        emu::verifier::Report("zero-byte pool allocation", "ExAllocatePoolWithTag", "tag " + TagText(Tag));
    }
    CheckPowerDownAllocate("ExAllocatePoolWithTag");
    PDRIVER_OBJECT driver = ChargedDriver();
    if (driver != nullptr && IsExecutable(PoolType)) {
        emu::verifier::Report("executable pool allocated by a driver", "ExAllocatePoolWithTag",
                              "tag " + TagText(Tag) + " by " + DriverText(driver));
    }
    return AllocatePool(PoolType, NumberOfBytes, Tag, driver, true);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    constexpr ULONG NoTag = 0x656E6F4E;  // 'None'
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, NoTag);
}

// <= DISPATCH_LEVEL (paged blocks: <= APC_LEVEL).
void NTAPI ExFreePool(PVOID P)
{
    CheckFreeContext("ExFreePool");
    FreePool(P, "ExFreePool");
}

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    CheckFreeContext("ExFreePoolWithTag");
    const void* start = nullptr;
    SIZE_T bytes = 0;
    if (emu::pool::FindBlock(P, &start, &bytes) && start == P) {
        std::unique_lock lock(poolMutex);
        const ULONG actual = live[reinterpret_cast<uintptr_t>(P)].tag;
        lock.unlock();
        if (actual != Tag) {
            emu::verifier::Report("pool freed with the wrong tag", "ExFreePoolWithTag",
                                  Hex(P) + " has tag " + TagText(actual) + ", freed as " + TagText(Tag));
        }
    }
    FreePool(P, "ExFreePoolWithTag");
}

}  // extern "C"
