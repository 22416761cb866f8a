// The pool: per-tag accounting, block bounds, fault injection, and the
// failable-call counter shared by every routine that can run out.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <functional>

namespace emu::test {
namespace {

class Pool : public KernelTest {};

constexpr ULONG TagA = 0x41747354;  // 'TstA'
constexpr ULONG TagB = 0x42747354;  // 'TstB'

pool::TagStats StatsOf(ULONG tag)
{
    for (const auto& stats : pool::Stats()) {
        if (stats.tag == tag) {
            return stats;
        }
    }
    return {tag, 0, 0, 0, 0};
}

TEST_F(Pool, AccountsPerTag)
{
    PVOID a1 = ExAllocatePoolWithTag(NonPagedPool, 10, TagA);
    PVOID a2 = ExAllocatePoolWithTag(PagedPool, 30, TagA);
    PVOID b1 = ExAllocatePoolWithTag(NonPagedPool, 7, TagB);
    ASSERT_TRUE(a1 && a2 && b1);
    EXPECT_EQ(StatsOf(TagA).liveBytes, 40u);
    ExFreePoolWithTag(a1, TagA);
    ExFreePool(b1);
    const pool::TagStats a = StatsOf(TagA);
    EXPECT_EQ(a.liveBlocks, 1u);
    EXPECT_EQ(a.allocations, 2u);
    EXPECT_EQ(a.frees, 1u);
    EXPECT_EQ(pool::LiveBlocks(TagB), 0u);
    ExFreePool(a2);
}

TEST_F(Pool, BlocksAreAlignedPatternFilledAndFindable)
{
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 24, TagA));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(block) % 16, 0u);
    EXPECT_NE(block[0], 0);  // uninitialised contents are not zero
    const void* start = nullptr;
    SIZE_T bytes = 0;
    ASSERT_TRUE(pool::FindBlock(block + 20, &start, &bytes));
    EXPECT_EQ(start, block);
    EXPECT_EQ(bytes, 24u);
    EXPECT_FALSE(pool::FindBlock(block + 24, &start, &bytes));
    ExFreePool(block);
    EXPECT_FALSE(pool::FindBlock(block, &start, &bytes));
    EXPECT_FALSE(MmIsAddressValid(block));
}

struct FaultCase {
    const char* name;
    std::function<void()> arm;
    bool fails[4];  // outcome of four allocations: TagA 16, TagA 32, TagB 16, TagA 16
};

TEST_F(Pool, FaultInjectionByNthSizeAndTag)
{
    const FaultCase cases[] = {
        {"second from now", [] { pool::FailNthAllocation(2); }, {false, true, false, false}},
        {"size 32", [] { pool::FailAllocationsOfSize(32); }, {false, true, false, false}},
        {"size 16", [] { pool::FailAllocationsOfSize(16); }, {true, false, true, true}},
        {"tag B", [] { pool::FailAllocationsWithTag(TagB); }, {false, false, true, false}},
        {"none", [] {}, {false, false, false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.arm();
        const std::pair<SIZE_T, ULONG> requests[] = {{16, TagA}, {32, TagA}, {16, TagB}, {16, TagA}};
        for (int i = 0; i < 4; ++i) {
            PVOID block = ExAllocatePoolWithTag(NonPagedPool, requests[i].first, requests[i].second);
            EXPECT_EQ(block == nullptr, c.fails[i]) << "allocation " << i;
            if (block != nullptr) {
                ExFreePool(block);
            }
        }
        pool::ClearFaults();
    }
}

// Every call that can run out of resources counts, and the n-th fails.
TEST_F(Pool, FailNthCallCoversEveryFailableRoutine)
{
    TestStack stack(1);  // the IRP it builds completes at once and frees itself
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    const struct {
        const char* name;
        std::function<bool()> failed;  // makes the call, releases what it got
    } calls[] = {
        {"ExAllocatePoolWithTag",
         [] {
             PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, TagA);
             if (p) ExFreePool(p);
             return p == nullptr;
         }},
        {"IoAllocateIrp",
         [&] {
             PIRP irp = IoAllocateIrp(1, FALSE);
             if (irp) IoFreeIrp(irp);
             return irp == nullptr;
         }},
        {"IoBuildDeviceIoControlRequest",
         [&] {
             PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack.Top(), nullptr, 0, nullptr, 0, TRUE, &event,
                                                      &iosb);
             if (irp) IoCallDriver(stack.Top(), irp);
             return irp == nullptr;
         }},
        {"MmGetSystemAddressForMdlSafe",
         [] {
             UCHAR user[16] = {};
             PMDL mdl = IoAllocateMdl(user, sizeof(user), FALSE, FALSE, nullptr);
             MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
             const bool failed = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) == nullptr;
             MmUnlockPages(mdl);
             IoFreeMdl(mdl);
             return failed;
         }},
        {"IoAllocateWorkItem",
         [&] {
             PIO_WORKITEM item = IoAllocateWorkItem(stack.Top());
             if (item) IoFreeWorkItem(item);
             return item == nullptr;
         }},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.name);
        const uint64_t before = faults::FailableCalls();
        EXPECT_FALSE(call.failed());
        EXPECT_EQ(faults::FailableCalls(), before + 1);
        faults::FailNthCall(1);
        EXPECT_TRUE(call.failed());
        EXPECT_FALSE(call.failed());
    }
}

}  // namespace
}  // namespace emu::test
