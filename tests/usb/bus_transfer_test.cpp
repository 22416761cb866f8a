// Bulk transfers at the emulated PDO: loopback data across packet multiples
// in the three completion modes and where completion runs, injected faults,
// the old controllers' short-transfer policy, refused requests, a disabled
// port and a disconnected device.
#include "tests/usb/usb_fixture.h"

#include "emulator/usb/bus_timing.h"
#include "emulator/usb/emulated_device.h"
#include "emulator/usb/endpoint_fault.h"

#include <condition_variable>
#include <ctime>
#include <iterator>
#include <mutex>
#include <thread>
#include <sstream>

namespace usb_test {
namespace {

using emu::usb::CompletionMode;
using emu::usb::DeviceModel;

using TransferModes = InEachMode<BusFixture>;

// Each length goes out on 0x01 and is read back on 0x81 in one larger
// transfer that ends at the short or zero-length packet the device sends
// last; Held mode releases each transfer as soon as the device holds it.
TEST_P(TransferModes, LoopbackReturnsEveryByteAndCompletesWhereTheModeSays)
{
    const auto run = [&](uint8_t endpoint, std::vector<uint8_t>& buffer, ULONG flags) {
        BulkUrb urb(PipeFor(endpoint), buffer.data(), static_cast<ULONG>(buffer.size()), flags);
        auto request = AsyncRequest::Urb(Pdo(), urb.urb);
        const NTSTATUS returned = request->Send();
        if (GetParam() == CompletionMode::Held && device().WaitForHeld(1, kWait)) {
            device().Release(device().Held().at(0).id);
        }
        EXPECT_TRUE(request->Wait());
        EXPECT_EQ(std::tuple(returned, request->CompletionIrql()), GetParam() == CompletionMode::Synchronous
                                                                       ? std::tuple(STATUS_SUCCESS, KIRQL(PASSIVE_LEVEL))
                                                                       : std::tuple(STATUS_PENDING, KIRQL(DISPATCH_LEVEL)));
        return std::tuple(request->Status(), urb.Transferred());
    };
    size_t total = 0;
    for (ULONG length : {1u, 511u, 512u, 513u, 1024u, 4096u}) {
        std::vector<uint8_t> data = Pattern(length, static_cast<uint8_t>(length));
        ASSERT_EQ(run(0x01, data, 0), std::tuple(STATUS_SUCCESS, length));
        std::vector<uint8_t> back(length + 1024, 0xEE);
        ASSERT_EQ(run(0x81, back, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK), std::tuple(STATUS_SUCCESS, length));
        data.push_back(0xEE);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin())) << length;
        total += length;
    }
    EXPECT_EQ(device().ReceivedOut(0x01).size(), total);
    const auto urb = device().Urbs().back();
    EXPECT_EQ(std::tuple(urb.function, urb.endpoint, urb.in, urb.requestedLength, urb.actualLength),
              std::tuple(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x81, true, 5120u, 4096u));
}

INSTANTIATE_TEST_SUITE_P(Modes, TransferModes,
                         ::testing::Values(CompletionMode::BusThread, CompletionMode::Synchronous, CompletionMode::Held),
                         ModeName);

// Each fault kind, told once by a device file's fault line and once at run
// time as the session's fault command tells it, then transfers at the PDO;
// some are told more while the first transfer waits.
struct FaultStep {
    uint8_t endpoint;
    ULONG length;
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG moved;
    bool holds = false;  // still pending 100 ms after it was sent
};

struct FaultCase {
    const char* name;
    uint8_t endpoint;
    const char* words;
    std::vector<FaultStep> steps;
    bool leaves = false;             // the bus hears the device leave
    const char* whileWaiting = nullptr;  // told while the first transfer waits
    void (*plan)(emu::usb::UsbDevice&) = nullptr;  // faults planned for the nth transfer from now
};

constexpr NTSTATUS kGone = STATUS_DEVICE_NOT_CONNECTED;
constexpr ULONG kRefused = ~0u;  // refused before it reached the device: no byte count is written
constexpr USBD_STATUS kOk = USBD_STATUS_SUCCESS;

const FaultCase kFaultCases[] = {
    {"Stall", 0x02, "stall after 1",
     {{0x02, 16, STATUS_SUCCESS, kOk, 16},
      {0x02, 16, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
      {0x02, 16, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, kRefused}}},
    {"Nak", 0x02, "nak 400", {{0x02, 16, STATUS_SUCCESS, kOk, 16, true}}},
    {"Short", 0x02, "short 10", {{0x02, 16, STATUS_SUCCESS, kOk, 10}}},
    // Without the zero-length packet after the full 512-byte echo, the read
    // runs on into the next echo.
    {"ZlpOff", 0x81, "zlp off",
     {{0x01, 512, STATUS_SUCCESS, kOk, 512}, {0x01, 10, STATUS_SUCCESS, kOk, 10}, {0x81, 1024, STATUS_SUCCESS, kOk, 522}}},
    {"FailAfter", 0x02, "fail-after 20 USBD_STATUS_CRC",
     {{0x02, 16, STATUS_SUCCESS, kOk, 16}, {0x02, 16, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, 4},
      {0x02, 16, STATUS_SUCCESS, kOk, 16}}},
    {"LeaveAfter", 0x02, "leave-after 20",
     {{0x02, 16, STATUS_SUCCESS, kOk, 16}, {0x02, 16, kGone, USBD_STATUS_DEVICE_GONE, 4},
      {0x02, 16, kGone, USBD_STATUS_DEVICE_GONE, kRefused}},
     true},
    // marks at a transfer's end hit the next one; a window of 0 ms is over
    {"FailAtATransferBoundary", 0x02, "fail-after 16 USBD_STATUS_XACT_ERROR",
     {{0x02, 16, STATUS_SUCCESS, kOk, 16}, {0x02, 16, STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR, 0}}},
    {"LeaveAtATransferBoundary", 0x02, "leave-after 16",
     {{0x02, 16, STATUS_SUCCESS, kOk, 16}, {0x02, 16, kGone, USBD_STATUS_DEVICE_GONE, kRefused}}, true},
    {"NakWindowOver", 0x02, "nak 0", {{0x02, 16, STATUS_SUCCESS, kOk, 16}}},
    {"ClearEndsAStallToCome", 0x02, "stall after 1", {{0x02, 16, STATUS_SUCCESS, kOk, 16}, {0x02, 16, STATUS_SUCCESS, kOk, 16}},
     false, "clear"},
    // as tests and the stress lives plan them: each hits its nth transfer only
    {"PlannedForTheNth", 0x02, "zlp on",
     {{0x02, 16, STATUS_SUCCESS, kOk, 16}, {0x02, 16, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, 0},
      {0x02, 16, STATUS_SUCCESS, kOk, 5}, {0x02, 16, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0}},
     false, nullptr,
     [](emu::usb::UsbDevice& d) {
         d.FailTransfer(0x02, 2, static_cast<uint32_t>(USBD_STATUS_CRC));
         d.ShortTransfer(0x02, 3, 5);
         d.StallTransfer(0x02, 4);
     }},
    {"SilentUntilCleared", 0x02, "silent", {{0x02, 16, STATUS_SUCCESS, kOk, 16, true}}, false, "clear"},
    // a stall without `after` ends the oldest waiting transfer
    {"StallWhileWaiting", 0x81, "zlp on", {{0x81, 512, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, true}}, false, "stall"},
};

std::optional<emu::usb::EndpointFault> FaultOf(const char* text)
{
    std::istringstream stream(text);
    const std::vector<std::string> words{std::istream_iterator<std::string>(stream), {}};
    return emu::usb::ParseEndpointFault(std::vector<std::string_view>(words.begin(), words.end()), nullptr);
}

// The fault comes with the device model, as a device file's fault line
// brings it, or is applied at run time, as the session's fault command does.
class FaultFromFileOrCommand : public BusFixture, public ::testing::WithParamInterface<std::tuple<FaultCase, bool>> {
protected:
    bool FromFile() const { return std::get<1>(GetParam()); }
    const FaultCase& Case() const { return std::get<0>(GetParam()); }

    DeviceModel Model() override
    {
        DeviceModel model = DeviceModel::Builtin();
        model.endpoints.erase(0x02);  // a sink, and 0x82 silent; 0x01 and 0x81 stay a loopback pair
        model.endpoints.erase(0x82);
        if (FromFile()) {
            model.faults.emplace_back(Case().endpoint, FaultOf(Case().words).value());
        }
        return model;
    }

    void SetUp() override
    {
        BusFixture::SetUp();
        emu::usb::Bus::Instance().SetSurpriseRemovalHandler([this](emu::usb::UsbDevice&) { leaving_.set_value(); });
        ASSERT_FALSE(Configure().empty());
        auto fault = FaultOf(Case().words);
        ASSERT_TRUE(fault.has_value());
        ASSERT_TRUE(FromFile() || device().ApplyFault(Case().endpoint, *fault));
        if (Case().plan != nullptr) {
            Case().plan(device());
        }
    }

    void TearDown() override
    {
        emu::usb::Bus::Instance().SetSurpriseRemovalHandler(nullptr);
        BusFixture::TearDown();
    }

    std::promise<void> leaving_;
    std::future<void> left_ = leaving_.get_future();
};

TEST_P(FaultFromFileOrCommand, ShapesTheTransfersThatFollow)
{
    int n = 0;
    for (const auto& step : Case().steps) {
        SCOPED_TRACE("step " + std::to_string(++n));
        const bool in = (step.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
        std::vector<uint8_t> buffer = Pattern(step.length);
        BulkUrb urb(PipeFor(step.endpoint), buffer.data(), step.length,
                    in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0);
        auto request = AsyncRequest::Urb(Pdo(), urb.urb);
        request->Send();
        EXPECT_EQ(request->Wait(100ms), !step.holds);
        if (n == 1 && Case().whileWaiting != nullptr) {
            ASSERT_TRUE(device().ApplyFault(Case().endpoint, FaultOf(Case().whileWaiting).value()));
        }
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(std::tuple(request->Status(), urb.Status()), std::tuple(step.status, step.usbd));
        if (step.moved != kRefused) {
            EXPECT_EQ(urb.Transferred(), step.moved);
        }
    }
    EXPECT_EQ(left_.wait_for(Case().leaves ? kWait : 0ms) == std::future_status::ready, Case().leaves);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultFromFileOrCommand,
                         ::testing::Combine(::testing::ValuesIn(kFaultCases), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "FromFile" : "FromCommand");
                         });

// A timed bus carries no more than its speed allows, and no less: writes
// to a sink and reads from a source all sent at once share the wire's 13
// packets of 512 bytes a microframe at high speed, and each direction has
// its own 48 packets of 1024 bytes a bus interval at SuperSpeed. Figured on
// the bus's own time; the wall clock only paces the completions, never
// ahead of it.
// The calling thread's processor time.
std::chrono::nanoseconds ThreadCpuTime()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

struct SpeedCase {
    emu::usb::BusSpeed speed;
    int minFrames, maxFrames;  // microframes 8 writes and 8 reads of 64 KiB take
};

class TimedBus : public BusFixture, public ::testing::WithParamInterface<SpeedCase> {
protected:
    DeviceModel Model() override
    {
        DeviceModel model = DeviceModel::Builtin().AtSpeed(GetParam().speed);
        model.endpoints[0x02] = {emu::usb::EndpointBehaviour::Sink, std::nullopt};
        model.endpoints[0x82] = {emu::usb::EndpointBehaviour::Source, std::nullopt};
        return model;
    }
};

TEST_P(TimedBus, BothDirectionsShareTheWireAsTheSpeedSays)
{
    ASSERT_FALSE(Configure().empty());
    constexpr ULONG kLength = 65536;
    std::vector<std::vector<uint8_t>> buffers(16, std::vector<uint8_t>(kLength));
    std::vector<std::unique_ptr<BulkUrb>> urbs;
    std::vector<std::unique_ptr<AsyncRequest>> requests;
    const emu::usb::BusTime busBegin = device().BusNow();
    const auto wallBegin = std::chrono::steady_clock::now();
    const auto cpuBegin = ThreadCpuTime();
    {
        // One burst: the sends arrive where the time line stood plus this
        // thread's processor time, not however long the host kept the test
        // from sending the next one while the bus worked on the first.
        const emu::usb::CompletionOnThisThread burst(dynamic_cast<emu::usb::EmulatedDevice*>(&device()), busBegin);
        for (size_t k = 0; k < buffers.size(); ++k) {
            const bool in = k % 2 != 0;
            urbs.push_back(std::make_unique<BulkUrb>(PipeFor(in ? 0x82 : 0x02), buffers[k].data(), kLength,
                                                     in ? USBD_TRANSFER_DIRECTION_IN : 0));
            requests.push_back(AsyncRequest::Urb(Pdo(), urbs.back()->urb));
            requests.back()->Send();
        }
    }
    const auto sendCpu = ThreadCpuTime() - cpuBegin;
    for (auto& request : requests) {
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(request->Status(), STATUS_SUCCESS);
    }
    const auto busTook = device().BusNow() - busBegin;
    const auto wallTook = std::chrono::steady_clock::now() - wallBegin;
    constexpr auto kFrame = std::chrono::microseconds(125);
    EXPECT_GE(busTook, GetParam().minFrames * kFrame);
    EXPECT_LE(busTook, GetParam().maxFrames * kFrame + sendCpu);
    EXPECT_GE(wallTook, busTook - kFrame) << "completions are never handed over ahead of the bus";
}

// 2048 packets sharing 13 a microframe: 157.5 microframes (78.8 were the
// directions apart); 512 each way of 48: 10.7 (21.3 were they shared), to
// which the upper bound adds the processor time the sends took.
INSTANTIATE_TEST_SUITE_P(Speeds, TimedBus,
                         ::testing::Values(SpeedCase{emu::usb::BusSpeed::High, 157, 160},
                                           SpeedCase{emu::usb::BusSpeed::Super, 10, 12}),
                         [](const auto& info) { return std::string(emu::usb::BusSpeedName(info.param.speed)); });

// The bus keeps its own time: a transfer is booked from when its request
// reached the bus. A driver sending each next 768-byte transfer (two packets
// of one microframe at high speed) from the previous one's completion is
// charged the processor time it spends there and any wait it hands the
// sending to another thread; a completion routine the host preempts, which
// is also the bus thread waking late for whatever is due next, is not.
struct ChainCase {
    const char* name;
    std::chrono::microseconds spin;   // processor time the completion routine spends
    std::chrono::microseconds sleep;  // wall time it loses (or the other thread waits)
    bool handOff;                     // the next transfer is sent from a work item
    int framesPerLink;                // microframes each transfer after the first costs
    // Above framesPerLink: the kernel's and the test driver's own processor
    // time per link, several microframes in a sanitizer build on a loaded
    // machine, and still short of what charging the 2 ms of wall time would cost.
    int slackFrames;
};

class TimedChain : public BusFixture, public ::testing::WithParamInterface<ChainCase> {
protected:
    DeviceModel Model() override { return DeviceModel::Builtin().AtSpeed(emu::usb::BusSpeed::High); }
};

// A driver's chain of transfers on one IRP, each next one sent as the case says.
class Chain {
public:
    Chain(emu::usb::UsbDevice& device, USBD_PIPE_HANDLE pipe, const ChainCase& how, int links)
        : device_(device), how_(how), left_(links), data_(768, 0x5A), urb_(pipe, data_.data(), 768, 0),
          irp_(IoAllocateIrp(device.Pdo()->StackSize, FALSE)), item_(IoAllocateWorkItem(device.Pdo()))
    {
    }
    ~Chain()
    {
        IoFreeWorkItem(item_);
        IoFreeIrp(irp_);
    }

    // Sends the first transfer; true once the last one completed.
    bool Run()
    {
        Send();
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return done_; });
    }
    emu::usb::BusTime lastReport{};

private:
    void Send()
    {
        --left_;
        IoReuseIrp(irp_, STATUS_NOT_SUPPORTED);
        urb_.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 768;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb_.urb;
        IoSetCompletionRoutine(irp_, &Chain::OnComplete, this, TRUE, TRUE, TRUE);
        IofCallDriver(device_.Pdo(), irp_);
    }

    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<Chain*>(context);
        self->lastReport = self->device_.BusNow();
        if (!NT_SUCCESS(irp->IoStatus.Status) || self->left_ == 0) {
            std::lock_guard lock(self->mutex_);
            self->done_ = true;
            self->changed_.notify_all();
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        if (self->how_.handOff) {
            IoQueueWorkItem(self->item_, &Chain::FromWorkItem, DelayedWorkQueue, self);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        for (const auto start = ThreadCpuTime(); ThreadCpuTime() - start < self->how_.spin;) {
        }
        std::this_thread::sleep_for(self->how_.sleep);
        self->Send();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    static void NTAPI FromWorkItem(PDEVICE_OBJECT, PVOID context)
    {
        auto* self = static_cast<Chain*>(context);
        std::this_thread::sleep_for(self->how_.sleep);
        self->Send();
    }

    emu::usb::UsbDevice& device_;
    const ChainCase how_;
    int left_;
    std::vector<uint8_t> data_;
    BulkUrb urb_;
    PIRP irp_;
    PIO_WORKITEM item_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
};

TEST_P(TimedChain, ChargesTheDriversTimeNotTheHosts)
{
    ASSERT_FALSE(Configure().empty());
    constexpr int kLinks = 8;
    constexpr auto kFrame = std::chrono::microseconds(125);
    Chain chain(device(), PipeFor(0x02), GetParam(), kLinks);
    const emu::usb::BusTime first = device().BusNow();
    ASSERT_TRUE(chain.Run());
    const auto took = chain.lastReport - first;
    EXPECT_GE(took, (kLinks - 1) * GetParam().framesPerLink * kFrame);
    EXPECT_LT(took, ((kLinks - 1) * (GetParam().framesPerLink + GetParam().slackFrames) + 2) * kFrame);
}

INSTANTIATE_TEST_SUITE_P(Delays, TimedChain,
                         ::testing::Values(ChainCase{"AtOnce", 0us, 0us, false, 1, 8},
                                           ChainCase{"Spinning300us", 300us, 0us, false, 3, 8},
                                           ChainCase{"Preempted2ms", 0us, 2000us, false, 1, 8},
                                           ChainCase{"FromAWorkItemAfter1ms", 0us, 1000us, true, 9, 16}),
                         [](const auto& info) { return std::string(info.param.name); });

class OldHostController : public QuietDevice {
protected:
    DeviceModel Model() override
    {
        DeviceModel model = QuietDevice::Model();
        model.shortTransferIsError = true;
        return model;
    }
};

TEST_F(OldHostController, ShortPacketWithoutShortTransferOkIsAnErrorThatHaltsThePipe)
{
    std::vector<uint8_t> buffer(512);
    const auto read = [&](ULONG flags) {
        device().QueueInData(0x81, Pattern(10));
        BulkUrb urb(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN | flags);
        const NTSTATUS status = SubmitUrb(Pdo(), urb.urb);
        return std::tuple(status, urb.Status(), urb.Transferred());
    };
    EXPECT_EQ(read(USBD_SHORT_TRANSFER_OK), std::tuple(STATUS_SUCCESS, USBD_STATUS_SUCCESS, 10u));
    EXPECT_EQ(read(0), std::tuple(STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, 10u));
    EXPECT_EQ(std::get<1>(read(USBD_SHORT_TRANSFER_OK)), USBD_STATUS_ENDPOINT_HALTED);
}

// Each spoiled transfer is refused with its statuses, the ones the verifier
// names with a finding; a zero-length OUT transfer without a buffer is legal.
TEST_F(QuietDevice, RefusedRequests)
{
    std::vector<uint8_t> buffer(64);
    void* small = ExAllocatePoolWithTag(NonPagedPool, 16, TestPoolTag);
    const USBD_STATUS bad = USBD_STATUS_INVALID_PARAMETER;
    const struct {
        const char* finding;  // null: refused without a finding
        std::function<void(_URB_BULK_OR_INTERRUPT_TRANSFER&)> spoil;
        USBD_STATUS usbd;
    } cases[] = {
        {nullptr, [](auto& u) { u.PipeHandle = reinterpret_cast<void*>(0x1234); }, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"direction does not match", [](auto& u) { u.TransferFlags = USBD_TRANSFER_DIRECTION_IN; }, bad},
        {"without a buffer", [](auto& u) { u.TransferBuffer = nullptr; }, bad},
        {"linked URBs", [](auto& u) { u.UrbLink = reinterpret_cast<PURB>(&u); }, bad},
        {"shorter than its structure", [](auto& u) { u.Hdr.Length = 40; }, bad},
        {"runs past the end of its pool block", [&](auto& u) { u.TransferBuffer = small; }, bad},
    };
    for (const auto& c : cases) {
        BulkUrb urb(PipeFor(0x01), buffer.data(), 64, 0);
        c.spoil(urb.urb->UrbBulkOrInterruptTransfer);
        auto send = [&] { EXPECT_EQ(SendUrb(urb), std::pair(STATUS_INVALID_PARAMETER, c.usbd)); };
        if (c.finding != nullptr) {
            ExpectFinding(c.finding, send);
        } else {
            send();
        }
    }
    ExFreePool(small);
    EXPECT_TRUE(device().ReceivedOut(0x01).empty());
    BulkUrb empty(PipeFor(0x01), nullptr, 0, 0);
    EXPECT_EQ(SendUrb(empty), std::pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS));
    EXPECT_EQ(empty.Transferred(), 0u);
}

// A held OUT transfer released with a failure and a byte count ends with
// them, and the device takes none of its bytes; a held read released
// without a chosen outcome waits for the device's data.
TEST_F(QuietDevice, HeldTransfersReleasedWithOrWithoutAChosenOutcome)
{
    device().SetCompletionMode(CompletionMode::Held);
    std::vector<uint8_t> out = Pattern(300);
    BulkUrb write(PipeFor(0x02), out.data(), 300, 0);
    auto writing = AsyncRequest::Urb(Pdo(), write.urb);
    EXPECT_EQ(writing->Send(), STATUS_PENDING);
    ASSERT_TRUE(device().WaitForHeld(1, kWait));
    device().ReleaseWith(device().Held().at(0).id, STATUS_IO_DEVICE_ERROR, 100);
    ASSERT_TRUE(writing->Wait());
    EXPECT_EQ(std::tuple(writing->Status(), write.Transferred(), device().ReceivedOut(0x02).size()),
              std::tuple(STATUS_IO_DEVICE_ERROR, 100u, size_t{0}));

    BulkUrb read(PipeFor(0x81), out.data(), 300, USBD_TRANSFER_DIRECTION_IN);
    auto reading = AsyncRequest::Urb(Pdo(), read.urb);
    EXPECT_EQ(reading->Send(), STATUS_PENDING);
    ASSERT_TRUE(device().WaitForHeld(1, kWait));
    device().Release(device().Held().at(0).id);
    ASSERT_TRUE(device().WaitForPump(kWait));
    EXPECT_FALSE(reading->Completed());
    device().QueueInData(0x81, Pattern(20));
    ASSERT_TRUE(reading->Wait());
    EXPECT_EQ(read.Transferred(), 20u);
}

ULONG PortStatus(PDEVICE_OBJECT pdo)
{
    ULONG bits = 0xFFFFFFFF;
    EXPECT_EQ(SendInternal(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    return bits;
}

// A disabled port fails the transfer in flight and works again once the
// port is reset; a disconnect fails the transfer in flight before the PnP
// manager hears of it, once, and leaves the port empty.
TEST_F(QuietDevice, DisabledPortThenDisconnectFailTheTransferInFlight)
{
    std::vector<uint8_t> buffer(512);
    const auto pendingRead = [&](auto&& then) {
        BulkUrb pending(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
        auto request = AsyncRequest::Urb(Pdo(), pending.urb);
        EXPECT_EQ(request->Send(), STATUS_PENDING);
        then(*request);
        EXPECT_TRUE(request->Wait());
        return std::pair(request->Status(), pending.Status());
    };
    const auto notResponding = std::pair(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(pendingRead([&](AsyncRequest&) { device().SetPortEnabled(false); }), notResponding);
    EXPECT_EQ(SendInternal(Pdo(), IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(PortStatus(Pdo()), device().PortResets()), std::tuple(ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED), 1u));
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x01), buffer.data(), 8).first, STATUS_SUCCESS);

    int calls = 0;
    const auto gone = std::pair(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(pendingRead([&](AsyncRequest& request) {
                  emu::usb::Bus::Instance().SetSurpriseRemovalHandler([&](emu::usb::UsbDevice& left) {
                      EXPECT_EQ(std::tuple(++calls, request.Completed(), &left), std::tuple(1, true, &device()));
                  });
                  device().Disconnect();
                  device().Disconnect();  // a second disconnect changes nothing
              }),
              gone);
    emu::usb::Bus::Instance().SetSurpriseRemovalHandler(nullptr);
    EXPECT_EQ(std::tuple(calls, PortStatus(Pdo()), SendInternal(Pdo(), IOCTL_INTERNAL_USB_RESET_PORT)),
              std::tuple(1, 0u, STATUS_DEVICE_NOT_CONNECTED));
}

}  // namespace
}  // namespace usb_test
