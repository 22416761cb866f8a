// Loading and unloading the driver: the registry path copy it keeps, and
// the path it refuses. (A load without pool is in the low-resources sweep.)
#include "tests/pnp/support/driver_fixture.h"

#include "driver/entry_points.h"
#include "emulator/kernel/system.h"

#include <algorithm>
#include <string>

namespace pondrel::test {
namespace {

class DriverEntryTest : public ::testing::Test {
protected:
    void TearDown() override { FailOnFindings(machine_); }

    emu::Machine machine_{emu::MachineOptions{.plugDevice = false}};
};

// The copy holds the path and one more (zero) character, whatever the
// length, up to the longest whose size with the terminator fits 16 bits;
// 0xFFFE bytes plus the terminator would wrap MaximumLength to 0 and the
// copy overrun its block, so that path is refused with nothing kept.
TEST_F(DriverEntryTest, KeepsAZeroTerminatedCopyOfThePath)
{
    const struct { const char* name; std::u16string path; NTSTATUS status; } cases[] = {
        {"empty path", u"", STATUS_SUCCESS},
        {"service key", u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pondrel", STATUS_SUCCESS},
        {"longest that fits", std::u16string(0xFFFC / sizeof(char16_t), u'k'), STATUS_SUCCESS},
        {"too long for the terminator", std::u16string(0xFFFE / sizeof(char16_t), u'k'), STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(machine_.LoadDriver(DriverEntry, c.path), c.status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(machine_.Driver(), nullptr);
            EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u);
            continue;
        }
        EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 1u);
        const std::vector<emu::pool::TagStats> stats = emu::pool::Stats();
        const auto ours = std::find_if(stats.begin(), stats.end(), [](const auto& s) { return s.tag == PondrelPoolTag; });
        ASSERT_NE(ours, stats.end());
        EXPECT_EQ(ours->liveBytes, c.path.size() * sizeof(char16_t) + sizeof(char16_t));
        machine_.UnloadDriver();
        EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u);
    }
}

}  // namespace
}  // namespace pondrel::test
