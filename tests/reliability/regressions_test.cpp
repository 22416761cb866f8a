// Faults the random lives found, each kept as a deterministic test.
#include "driver/device_context.h"
#include "driver/entry_points.h"
#include "emulator/machine.h"
#include "tests/reliability/life_context.h"

#include <gtest/gtest.h>

namespace lives {
namespace {

// Ends a machine's life and checks that nothing was left behind.
void RemoveAndUnload(emu::Machine& machine)
{
    EXPECT_EQ(machine.pnp().Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(machine.app().WaitUntilAllClosed(std::chrono::seconds(10))) << "a file object was never closed";
    if (machine.Driver() != nullptr) {
        machine.UnloadDriver();
    }
    for (const auto& finding : machine.Findings()) {
        ADD_FAILURE() << "verifier: " << finding.rule << " in " << finding.routine << " " << finding.detail;
    }
    EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u);
    EXPECT_EQ(emu::LiveIrps(), 0u);
}

// A request the I/O manager could not build (no IRP) kept its handle's
// close back for ever; and a cleanup or close whose IRP an injected fault
// took was never sent. Both left the device object behind at unload.
TEST(Regressions, RequestsThatCannotBeBuiltDoNotHoldTheCloseBack)
{
    const struct {
        const char* name;
        bool failTheRead;   // the read's IRP allocation fails
        bool failTheClose;  // the cleanup's IRP allocation fails
    } cases[] = {
        {"read without an IRP", true, false},
        {"cleanup without an IRP at first", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emu::Machine machine;
        ASSERT_EQ(machine.BringUp(DriverEntry), STATUS_SUCCESS);
        emu::Handle handle = 0;
        ASSERT_EQ(OpenPipe(machine.app(), FirstLoopbackInPipe, &handle), STATUS_SUCCESS);
        if (c.failTheRead) {
            emu::faults::FailNthCall(1);
            uint8_t buffer[16];
            EXPECT_EQ(machine.app().Read(handle, buffer, sizeof(buffer)).status, STATUS_INSUFFICIENT_RESOURCES);
        }
        if (c.failTheClose) {
            emu::faults::FailNthCall(1);
        }
        machine.app().Close(handle);
        emu::faults::Clear();
        RemoveAndUnload(machine);
    }
}

}  // namespace
}  // namespace lives
