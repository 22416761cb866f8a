// MDLs: what they describe, and their mapping into system space at an
// address other than the caller's.
#include "tests/support/kernel_test.h"

#include <vector>

namespace emu::test {
namespace {

class Mdls : public KernelTest {};

TEST_F(Mdls, DescribeTheBufferAndChainOnTheIrp)
{
    std::vector<UCHAR> buffer(3 * PAGE_SIZE);
    UCHAR* start = buffer.data() + 100;
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL primary = IoAllocateMdl(start, 2 * PAGE_SIZE, FALSE, FALSE, irp);
    PMDL secondary = IoAllocateMdl(buffer.data(), 8, TRUE, FALSE, irp);
    ASSERT_NE(primary, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(primary), start);
    EXPECT_EQ(MmGetMdlByteCount(primary), 2u * PAGE_SIZE);
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, 2 * PAGE_SIZE);
    EXPECT_EQ(primary->Size, static_cast<CSHORT>(sizeof(MDL) + pages * sizeof(PFN_NUMBER)));
    EXPECT_EQ(irp->MdlAddress, primary);
    EXPECT_EQ(primary->Next, secondary);
    IoFreeMdl(secondary);
    IoFreeMdl(primary);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
}

// The system address is an alias of its own, mapped once; what the driver
// writes there reaches the caller's buffer when the pages are unlocked, for
// an operation that writes into the buffer. Nonpaged pool maps to itself.
TEST_F(Mdls, SystemMappingIsAnAliasWrittenBackOnUnlock)
{
    const struct {
        const char* name;
        LOCK_OPERATION operation;
        bool writtenBack;
    } cases[] = {{"read into the buffer", IoWriteAccess, true}, {"write from the buffer", IoReadAccess, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UCHAR> user = {1, 2, 3, 4};
        PMDL mdl = IoAllocateMdl(user.data(), 4, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, UserMode, c.operation);
        auto* system = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        ASSERT_NE(system, nullptr);
        EXPECT_NE(system, user.data());
        EXPECT_EQ(system[2], 3);
        EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), system);
        system[0] = 0xEE;
        EXPECT_EQ(user[0], 1);
        MmUnlockPages(mdl);
        EXPECT_EQ(user[0], c.writtenBack ? 0xEE : 1);
        IoFreeMdl(mdl);
    }
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 64, 0x6C646D54));
    PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), block);
    IoFreeMdl(mdl);
    ExFreePool(block);
}

}  // namespace
}  // namespace emu::test
