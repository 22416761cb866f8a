// Loading and unloading the driver: the registry path copy and the dispatch
// table.
#include "tests/pnp/support/driver_fixture.h"

#include "driver/entry_points.h"
#include "emulator/kernel/system.h"

#include <string>

namespace pondrel::test {
namespace {

class DriverEntryTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        emu::pool::ClearFaults();
        for (const emu::verifier::Finding& finding : machine_.Findings()) {
            ADD_FAILURE() << "verifier: " << finding.rule << " in " << finding.routine << " (" << finding.detail << ")";
        }
    }

    static uint64_t LiveBytes()
    {
        for (const emu::pool::TagStats& stats : emu::pool::Stats()) {
            if (stats.tag == PondrelPoolTag) {
                return stats.liveBytes;
            }
        }
        return 0;
    }

    emu::Machine machine_{emu::MachineOptions{.plugDevice = false}};
};

// The copy holds the path and one more (zero) character, whatever the length.
TEST_F(DriverEntryTest, KeepsAZeroTerminatedCopyOfThePath)
{
    const struct {
        const char* name;
        std::u16string path;
    } cases[] = {
        {"empty path", u""},
        {"service key", u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pondrel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(machine_.LoadDriver(DriverEntry, c.path), STATUS_SUCCESS);
        EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 1u);
        EXPECT_EQ(LiveBytes(), c.path.size() * sizeof(char16_t) + sizeof(char16_t));
        machine_.UnloadDriver();
        EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u);
    }
}

TEST_F(DriverEntryTest, FailsWithoutPoolAndLeavesNothing)
{
    emu::pool::FailAllocationsWithTag(PondrelPoolTag);
    EXPECT_EQ(machine_.LoadDriver(DriverEntry), STATUS_INSUFFICIENT_RESOURCES);
    emu::pool::ClearFaults();
    EXPECT_EQ(machine_.Driver(), nullptr);
    EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u);
}

// 0xFFFE bytes plus the terminator do not fit a 16-bit MaximumLength: the
// sum would wrap to 0 and the copy overrun the block.
TEST_F(DriverEntryTest, RefusesAPathTooLongForTheTerminator)
{
    const std::u16string longest(0xFFFE / sizeof(char16_t), u'k');
    EXPECT_EQ(machine_.LoadDriver(DriverEntry, longest), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u);

    const std::u16string fits(0xFFFC / sizeof(char16_t), u'k');
    ASSERT_EQ(machine_.LoadDriver(DriverEntry, fits), STATUS_SUCCESS);
    EXPECT_EQ(LiveBytes(), 0xFFFEu);
    machine_.UnloadDriver();
}

}  // namespace
}  // namespace pondrel::test
