// Faults the random lives found, each kept as a deterministic test.
#include "driver/device_context.h"
#include "driver/entry_points.h"
#include "emulator/machine.h"
#include "tools/stress/life_context.h"

#include <gtest/gtest.h>

namespace lives {
namespace {

// The built-in device's pipes: OUT 0x01, IN 0x81 (first loopback pair),
// interrupt IN 0x83, OUT 0x02, IN 0x82 (second pair).
constexpr int FirstLoopbackInPipe = 1;

// A machine brought up with the driver on the built-in device; at the end
// its life is ended and nothing may be left behind (the test main fails the
// test on every verifier finding).
class Regressions : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(machine.BringUp(DriverEntry), STATUS_SUCCESS); }
    void TearDown() override
    {
        EXPECT_EQ(machine.pnp().Remove(), STATUS_SUCCESS);
        EXPECT_TRUE(machine.app().WaitUntilAllClosed(std::chrono::seconds(10))) << "a file object was never closed";
        if (machine.Driver() != nullptr) {
            machine.UnloadDriver();
        }
        EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u);
        EXPECT_EQ(emu::LiveIrps(), 0u);
    }
    emu::Handle Open(int pipe)
    {
        emu::Handle handle = 0;
        EXPECT_EQ(OpenPipe(machine.app(), pipe, &handle), STATUS_SUCCESS) << "pipe " << pipe;
        return handle;
    }

    emu::Machine machine;
};

// A request the I/O manager could not build (no IRP) kept its handle's
// close back for ever; and a cleanup or close whose IRP an injected fault
// took was never sent. Both left the device object behind at unload.
TEST_F(Regressions, RequestsThatCannotBeBuiltDoNotHoldTheCloseBack)
{
    for (const bool failTheRead : {true, false}) {
        SCOPED_TRACE(failTheRead ? "read without an IRP" : "cleanup without an IRP at first");
        const emu::Handle handle = Open(FirstLoopbackInPipe);
        emu::faults::FailNthCall(1);
        if (failTheRead) {
            uint8_t buffer[16];
            EXPECT_EQ(machine.app().Read(handle, buffer, sizeof(buffer)).status, STATUS_INSUFFICIENT_RESOURCES);
        }
        machine.app().Close(handle);
        emu::faults::Clear();
    }
}

}  // namespace
}  // namespace lives
