// What the driver does not take on trust from the bus driver: it hands each
// URB over with a clean header even when the bus wrote into the block last
// time, and keeps no more pipes than its copy of the interface holds.
#include "tests/pnp/support/driver_fixture.h"

#include "emulator/kernel/system.h"
#include "usb/bus_requests.h"
#include "usb/configuration.h"

namespace pondrel::test {
namespace {

class UrbHardeningTest : public DriverFixture {};

// Every URB of the start, a pipe reset, an abort and a write of three chunks
// (whose URB the bus wrote into after each) arrives with its header's
// Status, UsbdDeviceHandle and UsbdFlags zero.
TEST_F(UrbHardeningTest, EveryUrbArrivesWithACleanHeader)
{
    BringUp();
    const emu::Handle pipe0 = OpenPipe(0);
    EXPECT_EQ(machine().app().Write(pipe0, std::vector<uint8_t>(3 * WriteChunkLength, 0x5A).data(),
                                    3 * WriteChunkLength).status,
              STATUS_SUCCESS);
    {
        emu::DriverScope scope(driver());
        EXPECT_EQ(SendPipeReset(fdo(), &context()->InterfaceInfo->Pipes[1]), STATUS_SUCCESS);
        EXPECT_EQ(AbortAllPipes(fdo()), STATUS_SUCCESS);
    }
    machine().app().Close(pipe0);
    const USHORT functions[] = {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_SELECT_CONFIGURATION,
                                URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, URB_FUNCTION_RESET_PIPE,
                                URB_FUNCTION_ABORT_PIPE};
    for (USHORT function : functions) {
        SCOPED_TRACE("URB function " + std::to_string(function));
        const std::vector<SeenRequest> seen = spy().SeenUrbs(function);
        EXPECT_FALSE(seen.empty());
        for (const SeenRequest& urb : seen) {
            EXPECT_TRUE(urb.urbHeaderClear);
        }
    }
}

// A bus that reports more pipes than the interface block it returned has
// room for: the driver keeps the pipes that fit, and a pipe index beyond
// them is refused at open.
TEST_F(UrbHardeningTest, PipeCountIsCutToTheInterfaceBlock)
{
    const struct {
        const char* name;
        ULONG extraPipes;
    } cases[] = {{"one too many", 1}, {"far too many", 1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoadWithSpy();
        ULONG fits = 0;
        spy().EditUrbs([&](PURB urb) {
            if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
                fits = urb->UrbSelectConfiguration.Interface.NumberOfPipes;
                urb->UrbSelectConfiguration.Interface.NumberOfPipes += c.extraPipes;
            }
        });
        ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
        ASSERT_NE(fits, 0u);
        EXPECT_EQ(context()->InterfaceInfo->NumberOfPipes, fits);
        emu::Handle handle = 0;
        EXPECT_EQ(machine().app().Open("\\\\.\\pondrel\\PIPE" + std::to_string(fits), &handle),
                  STATUS_INVALID_PARAMETER);
        spy().EditUrbs(nullptr);
        TearDown();
    }
}

}  // namespace
}  // namespace pondrel::test
