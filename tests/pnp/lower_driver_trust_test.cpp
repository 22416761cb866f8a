// What passes between the driver and the drivers below it: URBs handed
// over clean, a pipe count not taken on trust, and DriverContext left to
// whichever driver holds the request.
#include "tests/pnp/support/driver_fixture.h"

#include "emulator/kernel/system.h"
#include "usb/bus_requests.h"
#include "usb/configuration.h"

#include <cstring>

namespace pondrel::test {
namespace {

class LowerDriverTrustTest : public DriverFixture {};

// The URBs of the start, a write of three chunks, a pipe reset and an abort
// arrive with the header's Status, UsbdDeviceHandle and UsbdFlags zero.
TEST_F(LowerDriverTrustTest, EveryUrbArrivesWithACleanHeader)
{
    BringUp();
    const emu::Handle pipe0 = OpenPipe(0);
    const std::vector<uint8_t> data(3 * WriteChunkLength, 0x5A);
    EXPECT_EQ(machine().app().Write(pipe0, data.data(), 3 * WriteChunkLength).status, STATUS_SUCCESS);
    machine().app().Close(pipe0);
    emu::DriverScope scope(driver());
    EXPECT_EQ(SendPipeReset(fdo(), &context()->InterfaceInfo->Pipes[1]), STATUS_SUCCESS);
    EXPECT_EQ(AbortAllPipes(fdo()), STATUS_SUCCESS);
    for (USHORT function : {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_SELECT_CONFIGURATION,
                            URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, URB_FUNCTION_RESET_PIPE, URB_FUNCTION_ABORT_PIPE}) {
        EXPECT_NE(spy().CountUrbs(function), 0u) << function;
        for (const SeenRequest& urb : spy().SeenUrbs(function)) {
            EXPECT_TRUE(urb.urbHeaderClear) << function;
        }
    }
}

// A bus that reports far more pipes than its interface block holds: the
// driver keeps those that fit, and refuses to open the next.
TEST_F(LowerDriverTrustTest, PipeCountIsCutToTheInterfaceBlock)
{
    LoadWithSpy();
    ULONG fits = 0;
    spy().EditUrbs([&](PURB urb) {
        if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
            fits = urb->UrbSelectConfiguration.Interface.NumberOfPipes;
            urb->UrbSelectConfiguration.Interface.NumberOfPipes += 1000;
        }
    });
    ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
    EXPECT_EQ(context()->InterfaceInfo->NumberOfPipes, fits);
    emu::Handle handle = 0;
    EXPECT_EQ(machine().app().Open("\\\\.\\pondrel\\PIPE" + std::to_string(fits), &handle), STATUS_INVALID_PARAMETER);
}

NTSTATUS NTAPI NoteSlots(PDEVICE_OBJECT, PIRP irp, PVOID slots)
{
    std::memcpy(slots, irp->Tail.Overlay.DriverContext, sizeof irp->Tail.Overlay.DriverContext);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A request the lower filter or the bus held comes back with none of the
// four values its sender left in DriverContext.
TEST_F(LowerDriverTrustTest, LowerDriversUseEveryDriverContextSlot)
{
    BringUp();
    for (PDEVICE_OBJECT target : {spy().Device(), device().Pdo()}) {
        emu::DriverScope scope(driver());
        PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
        ULONG portStatus = 0;
        PVOID sent[4] = {&portStatus, irp, target, fdo()};
        PVOID back[4] = {};
        std::memcpy(irp->Tail.Overlay.DriverContext, sent, sizeof sent);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        next->Parameters.Others.Argument1 = &portStatus;
        IoSetCompletionRoutine(irp, NoteSlots, back, TRUE, TRUE, TRUE);
        EXPECT_EQ(IofCallDriver(target, irp), STATUS_SUCCESS);
        IoFreeIrp(irp);
        for (int slot = 0; slot < 4; ++slot) {
            EXPECT_NE(back[slot], sent[slot]) << "slot " << slot << (target == spy().Device() ? " filter" : " bus");
        }
    }
}

}  // namespace
}  // namespace pondrel::test
