// Loading and unloading the driver: the registry path copy it keeps, and
// the path it refuses. (A load without pool is in the low-resources sweep.)
#include "tests/pnp/support/driver_fixture.h"

#include "driver/entry_points.h"
#include "emulator/kernel/system.h"

#include <string>

namespace pondrel::test {
namespace {

class DriverEntryTest : public ::testing::Test {
protected:
    void TearDown() override { FailOnFindings(machine_); }

    emu::Machine machine_{emu::MachineOptions{.plugDevice = false}};
};

// The copy holds the path and one more (zero) character, whatever the
// length, up to the longest whose size with the terminator fits 16 bits.
TEST_F(DriverEntryTest, KeepsAZeroTerminatedCopyOfThePath)
{
    const struct {
        const char* name;
        std::u16string path;
    } cases[] = {
        {"empty path", u""},
        {"service key", u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pondrel"},
        {"longest that fits", std::u16string(0xFFFC / sizeof(char16_t), u'k')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(machine_.LoadDriver(DriverEntry, c.path), STATUS_SUCCESS);
        EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 1u);
        EXPECT_EQ(LiveDriverBytes(), c.path.size() * sizeof(char16_t) + sizeof(char16_t));
        machine_.UnloadDriver();
        EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u);
    }
}

// 0xFFFE bytes plus the terminator do not fit a 16-bit MaximumLength: the
// sum would wrap to 0 and the copy overrun the block.
TEST_F(DriverEntryTest, RefusesAPathTooLongForTheTerminator)
{
    const std::u16string longest(0xFFFE / sizeof(char16_t), u'k');
    EXPECT_EQ(machine_.LoadDriver(DriverEntry, longest), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(machine_.Driver(), nullptr);
    EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u);
}

}  // namespace
}  // namespace pondrel::test
