#include "tests/io/io_fixture.h"

#include "driver/entry_points.h"
#include "emulator/kernel/system.h"
#include "emulator/usb/usb_api.h"

#include <atomic>
#include <future>

namespace io_test {

std::vector<uint8_t> Pattern(size_t length, uint32_t seed)
{
    std::vector<uint8_t> bytes(length);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

emu::usb::DeviceModel QuietModel()
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.endpoints[0x01] = {emu::usb::EndpointBehaviour::Sink, std::nullopt};
    model.endpoints[0x02] = {emu::usb::EndpointBehaviour::Sink, std::nullopt};
    model.endpoints[0x81] = {emu::usb::EndpointBehaviour::Silent, std::nullopt};
    model.endpoints[0x82] = {emu::usb::EndpointBehaviour::Silent, std::nullopt};
    return model;
}

emu::usb::DeviceModel ManyPipesModel(uint8_t pipes)
{
    auto model = emu::usb::DeviceModel::Builtin();
    const uint8_t total = static_cast<uint8_t>(9 + 9 + 7 * pipes);
    model.configDescriptor = {
        9, USB_CONFIGURATION_DESCRIPTOR_TYPE, total, 0, 1, 1, 0, USB_CONFIG_BUS_POWERED, 50,
        9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, pipes, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0, 0,
    };
    model.endpoints.clear();
    for (uint8_t pipe = 0; pipe < pipes; ++pipe) {
        const uint8_t address = static_cast<uint8_t>(pipe + 1);
        const uint8_t endpoint[] = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0};
        model.configDescriptor.insert(model.configDescriptor.end(), std::begin(endpoint), std::end(endpoint));
        model.endpoints[address] = {emu::usb::EndpointBehaviour::Sink, std::nullopt};
    }
    return model;
}

void IoFixture::SetUp()
{
    emu::MachineOptions options;
    options.device = Model();
    machine_ = std::make_unique<emu::Machine>(options);
    device_ = &machine_->Device();
    if (StartAtSetUp()) {
        StartDriver();
    }
}

void IoFixture::StartDriver()
{
    ASSERT_EQ(machine_->BringUp(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(Context()->PnpState, DeviceRunning);
    startBlocks_ = emu::pool::LiveBlocks(PondrelPoolTag);
}

int64_t IoFixture::ExtraPoolBlocks()
{
    return static_cast<int64_t>(emu::pool::LiveBlocks(PondrelPoolTag)) - static_cast<int64_t>(startBlocks_);
}

void IoFixture::TearDown()
{
    if (!shutDown_ && !HasFatalFailure()) {
        ShutDown();
    }
    for (const auto& finding : machine_->Findings()) {
        ADD_FAILURE() << "verifier: " << finding.rule << " in " << finding.routine << " " << finding.detail;
    }
    machine_.reset();
}

void IoFixture::ShutDown()
{
    shutDown_ = true;
    for (emu::Handle handle : open_) {
        app().Close(handle);
    }
    open_.clear();
    if (Fdo() && emu::IsDeviceObjectAlive(Fdo()) && Context()->PnpState != DeviceRemoved) {
        machine_->pnp().Remove();
    }
    if (machine_->Driver()) {
        machine_->UnloadDriver();
    }
    EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u) << "pool of the driver left behind";
    EXPECT_EQ(emu::LiveIrps(), 0u) << "requests left behind";
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

LONG IoFixture::IoRefCount()
{
    return InterlockedCompareExchange(&Context()->IoRefCount, 0, 0);
}

LONG IoFixture::ReceiveCount()
{
    // Read while no read is in flight: its completion ordered the last change before this.
    return Context()->ReceiveCount;
}

NTSTATUS IoFixture::Open(std::u16string_view name, emu::Handle* handle)
{
    std::u16string path = u"\\\\.\\pondrel";
    path += name;
    *handle = 0;
    const NTSTATUS status = app().Open(std::u16string_view(path), handle);
    if (NT_SUCCESS(status)) {
        open_.push_back(*handle);
    }
    return status;
}

emu::Handle IoFixture::OpenOk(std::u16string_view name)
{
    emu::Handle handle = 0;
    const NTSTATUS status = Open(name, &handle);
    EXPECT_EQ(status, STATUS_SUCCESS) << "opening " << std::string(name.begin(), name.end());
    return handle;
}

void IoFixture::Close(emu::Handle handle)
{
    std::erase(open_, handle);
    app().Close(handle);
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

size_t IoFixture::BulkUrbCount()
{
    size_t count = 0;
    for (const auto& urb : device().Urbs()) {
        count += urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    }
    return count;
}

namespace {
struct RawCompletion {
    RawResult result;
    std::promise<void> done;
};

NTSTATUS RawCompletionRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* completion = static_cast<RawCompletion*>(context);
    completion->result = {irp->IoStatus.Status, irp->IoStatus.Information};
    completion->done.set_value();
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

RawResult IoFixture::SendRaw(UCHAR major, PFILE_OBJECT file, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup)
{
    PDEVICE_OBJECT top = Fdo();
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (!irp) {
        return {};
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    if (setup) {
        setup(irp, next);
    }
    RawCompletion completion;
    auto done = completion.done.get_future();
    IoSetCompletionRoutine(irp, RawCompletionRoutine, &completion, TRUE, TRUE, TRUE);
    IofCallDriver(top, irp);
    EXPECT_EQ(done.wait_for(kWait), std::future_status::ready) << "raw request did not complete";
    IoFreeIrp(irp);
    return completion.result;
}

void HeldReads::SetUp()
{
    IoFixture::SetUp();
    device().SetCompletionMode(emu::usb::CompletionMode::Held);
}

void HeldReads::Answer(uint32_t expectedLength, size_t bytes, NTSTATUS status)
{
    const auto held = WaitHeld(device(), 1);
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

std::vector<emu::usb::HeldTransfer> WaitHeld(emu::usb::UsbDevice& device, size_t count)
{
    EXPECT_TRUE(device.WaitForHeld(count, kWait)) << "the device never held " << count << " transfers";
    return device.Held();
}

}  // namespace io_test
