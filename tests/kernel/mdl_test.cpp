// MDLs: what they describe, and their mapping into system space at an
// address other than the caller's.
#include "tests/support/kernel_test.h"

#include <vector>

namespace emu::test {
namespace {

class Mdls : public KernelTest {};

TEST_F(Mdls, DescribeTheBuffer)
{
    std::vector<UCHAR> buffer(3 * PAGE_SIZE);
    UCHAR* start = buffer.data() + 100;
    PMDL mdl = IoAllocateMdl(start, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 2u * PAGE_SIZE);
    EXPECT_EQ(mdl->ByteOffset, BYTE_OFFSET(start));
    EXPECT_EQ(mdl->StartVa, PAGE_ALIGN(start));
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, 2 * PAGE_SIZE);
    EXPECT_EQ(mdl->Size, static_cast<CSHORT>(sizeof(MDL) + pages * sizeof(PFN_NUMBER)));
    IoFreeMdl(mdl);
}

struct MappingCase {
    const char* name;
    LOCK_OPERATION operation;
    bool writtenBack;
};

// The system address is an alias of its own; what the driver writes there
// reaches the caller's buffer when the pages are unlocked, for an operation
// that writes into the buffer.
TEST_F(Mdls, SystemMappingIsAnAliasWrittenBackOnUnlock)
{
    const MappingCase cases[] = {{"read into the buffer", IoWriteAccess, true},
                                 {"write from the buffer", IoReadAccess, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UCHAR> user = {1, 2, 3, 4};
        PMDL mdl = IoAllocateMdl(user.data(), 4, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, UserMode, c.operation);
        auto* system = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        ASSERT_NE(system, nullptr);
        EXPECT_NE(system, user.data());
        EXPECT_EQ(system[2], 3);
        EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), system);  // mapped once
        system[0] = 0xEE;
        EXPECT_EQ(user[0], 1);
        MmUnlockPages(mdl);
        EXPECT_EQ(user[0], c.writtenBack ? 0xEE : 1);
        IoFreeMdl(mdl);
    }
}

TEST_F(Mdls, NonPagedPoolMdlMapsToItself)
{
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 64, 0x6C646D54));
    PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), block);
    IoFreeMdl(mdl);
    ExFreePool(block);
}

TEST_F(Mdls, MappingFailsUnderFaultInjection)
{
    std::vector<UCHAR> user(16);
    PMDL mdl = IoAllocateMdl(user.data(), 16, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    faults::FailNthCall(1);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST_F(Mdls, IrpMdlChain)
{
    std::vector<UCHAR> first(8), second(8);
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL primary = IoAllocateMdl(first.data(), 8, FALSE, FALSE, irp);
    PMDL secondary = IoAllocateMdl(second.data(), 8, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, primary);
    EXPECT_EQ(primary->Next, secondary);
    IoFreeMdl(secondary);
    IoFreeMdl(primary);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace emu::test
