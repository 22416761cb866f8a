#include "tests/pnp/support/driver_fixture.h"

#include "driver/entry_points.h"

namespace pondrel::test {

void DriverFixture::Load(emu::usb::DeviceModel model)
{
    emu::MachineOptions options;
    options.device = std::move(model);
    options.removeAfterFailedStart = false;  // the tests look at what a failed start leaves
    machine_ = std::make_unique<emu::Machine>(std::move(options));
    device_ = &machine_->Device();
    ASSERT_EQ(machine_->LoadDriver(DriverEntry), STATUS_SUCCESS);
    driver_ = machine_->Driver();
}

void DriverFixture::AddSpy()
{
    spy_ = std::make_unique<LowerSpy>(machine_->Device().Pdo());
}

void DriverFixture::Add()
{
    ASSERT_EQ(TryAdd(), STATUS_SUCCESS);
    ASSERT_NE(fdo_, nullptr);
}

NTSTATUS DriverFixture::TryAdd()
{
    const NTSTATUS status = machine_->pnp().AddDevice();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    fdo_ = machine_->pnp().FunctionDevice();
    removed_ = false;
    if (spy_) {  // the spy notes the driver's PnP state and I/O references at each request
        spy_->Watch(fdo_, [](PDEVICE_OBJECT fdo, SeenRequest& seen) {
            seen.driverState = CurrentPnpState(ContextOf(fdo));
            seen.ioRefCount = InterlockedCompareExchange(&ContextOf(fdo)->IoRefCount, 0, 0);
        });
    }
    return status;
}

void DriverFixture::LoadWithSpy(emu::usb::DeviceModel model)
{
    Load(std::move(model));
    AddSpy();
    Add();
}

void DriverFixture::BringUp(emu::usb::DeviceModel model)
{
    LoadWithSpy(std::move(model));
    ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
    ASSERT_EQ(State(), DeviceRunning);
}

// The removal as Windows reaches it from the device's state: a pending stop
// is cancelled first, and a device whose query-remove is refused goes as if
// unplugged (surprise removal, then removal).
NTSTATUS DriverFixture::Remove()
{
    removed_ = true;
    if (pnp().Life() == emu::DeviceLife::StopPending) {
        pnp().CancelStop();
    }
    const NTSTATUS status = pnp().Remove();
    const emu::DeviceLife life = pnp().Life();
    if (life != emu::DeviceLife::Started && life != emu::DeviceLife::Stopped) {
        return status;
    }
    pnp().SurpriseRemove();
    return pnp().Remove();
}

uint64_t DriverFixture::LiveDriverBlocks()
{
    return emu::pool::LiveBlocks(PondrelPoolTag);
}

emu::Handle DriverFixture::OpenPipe(int index)
{
    emu::Handle handle = 0;
    EXPECT_EQ(machine().app().Open("\\\\.\\pondrel\\PIPE" + std::to_string(index), &handle), STATUS_SUCCESS);
    return handle;
}

PDEVICE_OBJECT DosLinkTarget()
{
    std::u16string remainder;
    return emu::ResolveDeviceName(u"\\DosDevices\\pondrel", &remainder);
}

void FailOnFindings(emu::Machine& machine)
{
    for (const emu::verifier::Finding& finding : machine.Findings()) {
        ADD_FAILURE() << "verifier: " << finding.rule << " in " << finding.routine << " (" << finding.detail << ")";
    }
}

void DriverFixture::TearDown()
{
    if (!machine_) {
        return;
    }
    if (fdo_ != nullptr && !removed_) {
        Remove();
    }
    spy_.reset();
    machine_->UnloadDriver();
    EXPECT_EQ(LiveDriverBlocks(), 0u) << "pool blocks of the driver left after unload";
    EXPECT_EQ(emu::LiveIrps(), 0u) << "requests left after unload";
    FailOnFindings(*machine_);
    machine_.reset();
    fdo_ = nullptr;
}

}  // namespace pondrel::test
