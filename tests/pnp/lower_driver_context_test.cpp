// The emulated lower drivers use a request's DriverContext while they hold
// it, as a lower driver may, so that a driver above that keeps its own
// value there across a call down fails here as it would on Windows.
#include "tests/pnp/support/driver_fixture.h"

#include "emulator/kernel/system.h"

#include <array>

namespace pondrel::test {
namespace {

class LowerDriverContextTest : public DriverFixture {};

using Slots = std::array<PVOID, 4>;

// Keeps the request for the sender and notes the slots as they came back.
NTSTATUS NoteSlots(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* slots = static_cast<Slots*>(context);
    for (size_t slot = 0; slot < slots->size(); ++slot) {
        (*slots)[slot] = irp->Tail.Overlay.DriverContext[slot];
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A port-status request sent to the lower filter and to the bus's PDO
// comes back with none of the four values the sender left in DriverContext.
TEST_F(LowerDriverContextTest, LowerDriversOverwriteEverySlot)
{
    BringUp();
    const struct {
        const char* name;
        PDEVICE_OBJECT target;
    } cases[] = {{"lower filter", spy().Device()}, {"bus", device().Pdo()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emu::DriverScope scope(driver());
        PIRP irp = IoAllocateIrp(c.target->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        ULONG portStatus = 0;
        const Slots sent = {&portStatus, irp, c.target, fdo()};
        for (size_t slot = 0; slot < sent.size(); ++slot) {
            irp->Tail.Overlay.DriverContext[slot] = sent[slot];
        }
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        next->Parameters.Others.Argument1 = &portStatus;
        Slots back{};
        IoSetCompletionRoutine(irp, NoteSlots, &back, TRUE, TRUE, TRUE);
        ASSERT_EQ(IofCallDriver(c.target, irp), STATUS_SUCCESS);
        IoFreeIrp(irp);
        for (size_t slot = 0; slot < sent.size(); ++slot) {
            EXPECT_NE(back[slot], sent[slot]) << "slot " << slot;
        }
    }
}

}  // namespace
}  // namespace pondrel::test
