#include "tests/io/io_fixture.h"

#include "driver/entry_points.h"
#include "emulator/kernel/system.h"
#include "emulator/usb/usb_api.h"


namespace io_test {

emu::usb::DeviceModel QuietModel()
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.endpoints[0x01] = {emu::usb::EndpointBehaviour::Sink, std::nullopt};
    model.endpoints[0x02] = {emu::usb::EndpointBehaviour::Sink, std::nullopt};
    model.endpoints[0x81] = {emu::usb::EndpointBehaviour::Silent, std::nullopt};
    model.endpoints[0x82] = {emu::usb::EndpointBehaviour::Silent, std::nullopt};
    return model;
}

void IoFixture::SetUp()
{
    emu::MachineOptions options;
    options.device = Model();
    machine_ = std::make_unique<emu::Machine>(options);
    device_ = &machine_->Device();
    if (!StartAtSetUp()) {
        return;
    }
    ASSERT_EQ(machine_->BringUp(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(Context()->PnpState, DeviceRunning);
}

// Ends the device's life (removal if it is still there) and unloads the
// driver; afterwards no pool of the driver and no IRP may be left.
void IoFixture::TearDown()
{
    if (!HasFatalFailure()) {
        for (emu::Handle handle : open_) {
            app().Close(handle);
        }
        if (Fdo() && emu::IsDeviceObjectAlive(Fdo()) && Context()->PnpState != DeviceRemoved) {
            machine_->pnp().Remove();
        }
        if (machine_->Driver()) {
            machine_->UnloadDriver();
        }
        EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u) << "pool of the driver left behind";
        EXPECT_EQ(emu::LiveIrps(), 0u) << "requests left behind";
    }
    for (const auto& finding : machine_->Findings()) {
        ADD_FAILURE() << "verifier: " << finding.rule << " in " << finding.routine << " " << finding.detail;
    }
    machine_.reset();
}

uint64_t IoFixture::DriverAllocations()
{
    for (const auto& stats : emu::pool::Stats()) {
        if (stats.tag == PondrelPoolTag) {
            return stats.allocations;
        }
    }
    return 0;
}

emu::Handle IoFixture::Open(std::u16string_view name, NTSTATUS expected)
{
    std::u16string path = u"\\\\.\\pondrel";
    path += name;
    emu::Handle handle = 0;
    const NTSTATUS status = app().Open(std::u16string_view(path), &handle);
    EXPECT_EQ(status, expected) << "opening " << std::string(name.begin(), name.end());
    if (NT_SUCCESS(status)) {
        open_.push_back(handle);
    }
    return handle;
}

std::vector<emu::usb::UrbRecord> IoFixture::BulkUrbs(uint8_t endpoint)
{
    std::vector<emu::usb::UrbRecord> found;
    for (const auto& urb : device().Urbs()) {
        if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && urb.endpoint == endpoint) {
            found.push_back(urb);
        }
    }
    return found;
}

emu::IoResult IoFixture::SendRaw(UCHAR major, PFILE_OBJECT file, const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    PIRP irp = IoAllocateIrp(Fdo()->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    if (setup) {
        setup(next);
    }
    bool completed = false;
    const auto mark = [](PDEVICE_OBJECT, PIRP, PVOID done) NTAPI -> NTSTATUS {
        *static_cast<bool*>(done) = true;
        return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours to free
    };
    IoSetCompletionRoutine(irp, mark, &completed, TRUE, TRUE, TRUE);
    const NTSTATUS returned = IofCallDriver(Fdo(), irp);
    if (!completed) {
        ADD_FAILURE() << "a request the driver completes in its dispatch routine is still pending";
        return {};  // never free an IRP the driver still owns
    }
    const emu::IoResult result{irp->IoStatus.Status, irp->IoStatus.Information};
    EXPECT_EQ(returned, result.status);
    IoFreeIrp(irp);
    return result;
}

void HeldReads::SetUp()
{
    IoFixture::SetUp();
    device().SetCompletionMode(emu::usb::CompletionMode::Held);
    in_ = Open(u"\\PIPE1");
}

void HeldReads::Answer(uint32_t expectedLength, size_t bytes, NTSTATUS status)
{
    const auto held = WaitHeld(1);
    ASSERT_EQ(held.size(), 1u) << "not exactly one bus read in flight";
    EXPECT_TRUE(held[0].in);
    EXPECT_EQ(held[0].length, expectedLength);
    const auto data = Stream(sent_, bytes);
    sent_ += bytes;
    device().ReleaseWith(held[0].id, status, static_cast<uint32_t>(bytes), &data);
}

std::vector<uint8_t> HeldReads::Stream(size_t from, size_t length) const
{
    return {stream_.begin() + static_cast<ptrdiff_t>(from), stream_.begin() + static_cast<ptrdiff_t>(from + length)};
}

void HeldReads::ExpectDone(emu::PendingIo& read, NTSTATUS status, size_t information)
{
    ASSERT_TRUE(read.WaitFor(kWait)) << "the read never completed";
    EXPECT_EQ(read.Result().status, status);
    EXPECT_EQ(read.Result().information, information);
}

std::vector<emu::usb::HeldTransfer> HeldReads::WaitHeld(size_t count)
{
    EXPECT_TRUE(device().WaitForHeld(count, kWait)) << "the device never held " << count << " transfers";
    return device().Held();
}

}  // namespace io_test
