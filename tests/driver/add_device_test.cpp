// AddDevice: the context a new device starts with, the names and the
// attachment, and what failures leave behind.
#include "tests/pnp/support/driver_fixture.h"

#include "driver/device_names.h"
#include "emulator/kernel/system.h"
#include "emulator/usb/usb_device.h"

namespace pondrel::test {
namespace {

class AddDeviceTest : public DriverFixture {};

// A new device is attached above its PDO, idle at full power with only its
// own reference, named and linked, power-pagable as its PDO is; its
// interface waits for the start. (No configuration or capabilities yet: the
// extension comes zeroed, as on Windows.)
TEST_F(AddDeviceTest, GivesTheContextItsValuesAtCreation)
{
    for (const bool pagable : {false, true}) {
        SCOPED_TRACE(pagable ? "PDO pagable" : "PDO not pagable");
        Load();
        PDEVICE_OBJECT pdo = device().Pdo();
        pdo->Flags = pagable ? (pdo->Flags | DO_POWER_PAGABLE) : (pdo->Flags & ~DO_POWER_PAGABLE);
        Add();
        DeviceContext* c = context();
        EXPECT_EQ((fdo()->Flags & DO_POWER_PAGABLE) != 0, pagable);
        EXPECT_EQ(c->LowerDevice, pdo);
        EXPECT_EQ(c->PhysicalDevice, pdo);
        EXPECT_GT(c->InterfaceLinkName.Length, 0);
        EXPECT_EQ(c->PnpState, DeviceNew);
        EXPECT_EQ(c->PreviousPnpState, DeviceNew);
        EXPECT_EQ(c->CurrentSystemPower, PowerSystemWorking);
        EXPECT_EQ(c->CurrentDevicePower, PowerDeviceD0);
        EXPECT_FALSE(KeReadStateEvent(&c->FinalReleaseEvent));
        EXPECT_TRUE(KeReadStateEvent(&c->QuiesceEvent));
        EXPECT_EQ(c->IoRefCount, 1);
        EXPECT_EQ(c->WakeCancelFlag | c->WakeOutstanding | c->RemoteWakeCapable | c->ReceiveCount, 0);
        EXPECT_NE(fdo()->Flags & DO_DIRECT_IO, 0u);
        EXPECT_EQ(fdo()->Flags & DO_DEVICE_INITIALIZING, 0u);
        EXPECT_EQ(fdo()->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
        EXPECT_EQ(fdo()->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
        EXPECT_TRUE(emu::EnabledInterfaces(PondrelInterfaceClass).empty());
        TearDown();
    }
}

// What a failed AddDevice for `pdo` leaves: nothing attached to it, and no
// device object, link or pool beyond what was there (`first`, `blocks`).
void ExpectNothingLeft(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT first, uint64_t blocks)
{
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(driver->DeviceObject, first);
    EXPECT_TRUE(first == nullptr || first->NextDevice == nullptr);
    EXPECT_EQ(DosLinkTarget(), first);
    EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), blocks);
}

// The device name is fixed: a second device fails in IoCreateDevice, and the
// first keeps its name, link, context and stack. A physical device already
// being deleted takes no new device: the attach fails.
TEST_F(AddDeviceTest, RefusedDeviceLeavesNothingBehind)
{
    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "second device" : "PDO being deleted");
        Load();
        if (first) {
            Add();
        }
        std::shared_ptr<emu::usb::UsbDevice> other = emu::usb::Bus::Instance().Plug(emu::usb::DeviceModel::Builtin());
        PDEVICE_OBJECT pdo = other->Pdo();
        emu::ReferenceDeviceObject(pdo);  // a deletion waits for this reference
        if (!first) {
            emu::usb::Bus::Instance().Unplug(other);
        }
        const uint64_t blocksBefore = LiveDriverBlocks();
        EXPECT_EQ(emu::CallAddDevice(driver(), pdo), first ? STATUS_OBJECT_NAME_COLLISION : STATUS_NO_SUCH_DEVICE);
        ExpectNothingLeft(driver(), pdo, first ? fdo() : nullptr, blocksBefore);
        if (first) {
            EXPECT_EQ(emu::LowerDeviceOf(fdo()), device().Pdo());
            EXPECT_EQ(std::pair(context()->IoRefCount, context()->PnpState), std::pair(LONG{1}, DeviceNew));
            emu::usb::Bus::Instance().Unplug(other);
            EXPECT_EQ(pnp().Start(), STATUS_SUCCESS);
        }
        emu::DereferenceDeviceObject(pdo);
        EXPECT_FALSE(emu::IsDeviceObjectAlive(pdo));
        TearDown();
    }
}

// Each kernel call of AddDevice that can fail for lack of resources fails in
// turn: AddDevice returns a failure and leaves nothing behind; once no call
// fails, it succeeds.
TEST_F(AddDeviceTest, LeavesNothingWhenAResourceIsMissing)
{
    int failures = 0;
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE("failable call " + std::to_string(nth));
        ASSERT_LT(nth, 20u) << "AddDevice never succeeded";
        Load();
        const uint64_t blocksBefore = LiveDriverBlocks();
        emu::faults::FailNthCall(nth);
        const NTSTATUS status = TryAdd();
        emu::faults::Clear();
        if (NT_SUCCESS(status)) {
            break;
        }
        ++failures;
        ExpectNothingLeft(driver(), device().Pdo(), nullptr, blocksBefore);
        TearDown();
    }
    EXPECT_GE(failures, 1);
}

}  // namespace
}  // namespace pondrel::test
