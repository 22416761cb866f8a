// Bulk and interrupt transfers at the emulated PDO in the three completion
// modes: loopback data integrity across packet multiples, where completion
// runs, the old controllers' short-transfer policy, injected faults, a
// halted pipe and its reset, a disabled port and a disconnected device.
#include "tests/usb/usb_fixture.h"

#include "emulator/usb/endpoint_fault.h"

#include <iterator>
#include <sstream>

namespace usb_test {
namespace {

using emu::usb::CompletionMode;
using emu::usb::DeviceModel;

struct Outcome {
    NTSTATUS returned, status;
    ULONG transferred;
    USBD_STATUS usbd;
    KIRQL irql;
};

class TransferModes : public InEachMode<BusFixture> {
protected:
    // Sends one transfer and sees it to its end: in Held mode the test
    // releases it as soon as the device holds it.
    Outcome Run(uint8_t endpoint, void* buffer, ULONG length, ULONG flags = 0)
    {
        BulkUrb urb(PipeFor(endpoint), buffer, length, flags);
        auto request = AsyncRequest::Urb(Pdo(), urb.urb);
        const NTSTATUS returned = request->Send();
        if (GetParam() == CompletionMode::Held && returned == STATUS_PENDING) {
            EXPECT_TRUE(device().WaitForHeld(1, kWait));
            device().Release(device().Held().at(0).id);
        }
        EXPECT_TRUE(request->Wait());
        return {returned, request->Status(), urb.Transferred(), urb.Status(), request->CompletionIrql()};
    }
};

TEST_P(TransferModes, LoopbackReturnsEveryByteAndCompletesWhereTheModeSays)
{
    const bool synchronous = GetParam() == CompletionMode::Synchronous;
    for (ULONG length : {1u, 100u, 511u, 512u, 513u, 1024u, 1500u, 2048u, 4096u}) {
        const auto data = Pattern(length, static_cast<uint8_t>(length));
        std::vector<uint8_t> copy = data;
        const Outcome out = Run(0x01, copy.data(), length);
        ASSERT_EQ(std::tuple(out.status, out.transferred), std::tuple(STATUS_SUCCESS, length));
        EXPECT_EQ(std::tuple(out.returned, out.irql), synchronous ? std::tuple(STATUS_SUCCESS, KIRQL(PASSIVE_LEVEL))
                                                                  : std::tuple(STATUS_PENDING, KIRQL(DISPATCH_LEVEL)));
        // Read back in one larger transfer: it ends at the short or
        // zero-length packet the device sends last.
        std::vector<uint8_t> back(length + 1024, 0xEE);
        const Outcome in = Run(0x81, back.data(), length + 1024, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        ASSERT_EQ(std::tuple(in.status, in.transferred), std::tuple(STATUS_SUCCESS, length));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin())) << length;
        EXPECT_EQ(back[length], 0xEE);
    }
    EXPECT_EQ(device().ReceivedOut(0x01).size(), 1u + 100 + 511 + 512 + 513 + 1024 + 1500 + 2048 + 4096);
    const auto urb = device().Urbs().back();
    EXPECT_EQ(std::tuple(urb.function, urb.endpoint, urb.in, urb.requestedLength, urb.actualLength),
              std::tuple(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x81, true, 5120u, 4096u));
}

// A stall halts the pipe until RESET_PIPE; a failure moves nothing and
// leaves the pipe working.
TEST_P(TransferModes, StallHaltsThePipeUntilResetAndAFailureMovesNothing)
{
    device().StallTransfer(0x02, 2);
    device().FailTransfer(0x01, 1, static_cast<uint32_t>(USBD_STATUS_CRC));
    std::vector<uint8_t> data = Pattern(16);
    EXPECT_EQ(Run(0x02, data.data(), 16).status, STATUS_SUCCESS);
    const Outcome stalled = Run(0x02, data.data(), 16);
    EXPECT_EQ(std::tuple(stalled.status, stalled.usbd), std::tuple(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x02), data.data(), 16), std::pair(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED));
    const auto record = device().Urbs().back();
    EXPECT_EQ(std::tuple(record.endpoint, record.requestedLength, record.actualLength, record.usbdStatus),
              std::tuple(0x02, 16u, 0u, static_cast<uint32_t>(USBD_STATUS_ENDPOINT_HALTED)));
    PipeUrb reset(URB_FUNCTION_RESET_PIPE, PipeFor(0x02));
    EXPECT_EQ(SubmitUrb(Pdo(), reset.urb), STATUS_SUCCESS);
    EXPECT_EQ(Run(0x02, data.data(), 16).status, STATUS_SUCCESS);
    EXPECT_EQ(device().ReceivedOut(0x02).size(), 32u);

    const Outcome failed = Run(0x01, data.data(), 16);
    EXPECT_EQ(std::tuple(failed.status, failed.usbd, failed.transferred), std::tuple(STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, 0u));
    EXPECT_TRUE(device().ReceivedOut(0x01).empty());
    EXPECT_EQ(Run(0x01, data.data(), 16).status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Modes, TransferModes,
                         ::testing::Values(CompletionMode::BusThread, CompletionMode::Synchronous, CompletionMode::Held),
                         ModeName);

// Each fault kind, told once by a device file's fault line and once at run
// time as the session's fault command tells it, then transfers at the PDO.
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
    bool leaves = false;  // the bus hears the device leave
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
        emu::usb::Bus::Instance().SetSurpriseRemovalHandler([this](emu::usb::UsbDevice&) { left_.Set(); });
        ASSERT_FALSE(Configure().empty());
        auto fault = FaultOf(Case().words);
        ASSERT_TRUE(fault.has_value());
        ASSERT_TRUE(FromFile() || device().ApplyFault(Case().endpoint, *fault));
    }

    void TearDown() override
    {
        emu::usb::Bus::Instance().SetSurpriseRemovalHandler(nullptr);
        BusFixture::TearDown();
    }

    Signal left_;
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
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(std::tuple(request->Status(), urb.Status()), std::tuple(step.status, step.usbd));
        if (step.moved != kRefused) {
            EXPECT_EQ(urb.Transferred(), step.moved);
        }
    }
    EXPECT_EQ(left_.Wait(Case().leaves ? kWait : 0ms), Case().leaves);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultFromFileOrCommand,
                         ::testing::Combine(::testing::ValuesIn(kFaultCases), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "FromFile" : "FromCommand");
                         });

// Told while a transfer waits: silent holds it until cleared, a stall
// without `after` ends the oldest waiting transfer.
TEST_F(QuietDevice, SilenceHoldsUntilClearedAndAStallEndsTheWaitingTransfer)
{
    using Kind = emu::usb::EndpointFault::Kind;
    std::vector<uint8_t> buffer(512);
    ASSERT_TRUE(device().ApplyFault(0x02, {Kind::Silent}));
    BulkUrb write(PipeFor(0x02), buffer.data(), 64, 0);
    auto writing = AsyncRequest::Urb(Pdo(), write.urb);
    EXPECT_EQ(writing->Send(), STATUS_PENDING);
    EXPECT_FALSE(writing->Wait(100ms));
    device().ApplyFault(0x02, {Kind::Clear});
    ASSERT_TRUE(writing->Wait());
    EXPECT_EQ(writing->Status(), STATUS_SUCCESS);

    BulkUrb read(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    auto reading = AsyncRequest::Urb(Pdo(), read.urb);
    EXPECT_EQ(reading->Send(), STATUS_PENDING);
    ASSERT_TRUE(device().WaitForPump(kWait));
    device().ApplyFault(0x81, {Kind::Stall});
    ASSERT_TRUE(reading->Wait());
    EXPECT_EQ(read.Status(), USBD_STATUS_STALL_PID);
    EXPECT_FALSE(device().ApplyFault(0x05, {Kind::Stall})) << "no such endpoint";
}

// A timed bus carries no more than its speed allows (USB 2.0: 19 bulk
// packets of 64 bytes a 1 ms frame at full speed, 13 of 512 bytes a 125 us
// microframe at high speed). Only a loaded machine makes it slower, so the
// lower bound is loose: it catches a model far off, not the scheduler.
struct SpeedCase {
    emu::usb::BusSpeed speed;
    double bytesPerSecond;
    ULONG transfer;
    int count;
};

class TimedBus : public BusFixture, public ::testing::WithParamInterface<SpeedCase> {
protected:
    DeviceModel Model() override
    {
        DeviceModel model = DeviceModel::Builtin();
        model.speed = GetParam().speed;
        return model;
    }
};

TEST_P(TimedBus, CarriesNoMoreThanItsSpeedAllows)
{
    ASSERT_FALSE(Configure().empty());
    std::vector<uint8_t> data = Pattern(GetParam().transfer);
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < GetParam().count; ++i) {
        ASSERT_EQ(SendBulk(Pdo(), PipeFor(0x02), data.data(), GetParam().transfer).first, STATUS_SUCCESS);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - begin;
    const double rate = GetParam().transfer * static_cast<double>(GetParam().count) / elapsed.count();
    EXPECT_LE(rate, GetParam().bytesPerSecond);
    EXPECT_GE(rate, GetParam().bytesPerSecond / 20);
}

INSTANTIATE_TEST_SUITE_P(Speeds, TimedBus,
                         ::testing::Values(SpeedCase{emu::usb::BusSpeed::Full, 1.216e6, 16384, 8},
                                           SpeedCase{emu::usb::BusSpeed::High, 53.248e6, 65536, 32}),
                         [](const auto& info) { return std::string(emu::usb::BusSpeedName(info.param.speed)); });

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
    const ULONG in = USBD_TRANSFER_DIRECTION_IN;
    std::vector<uint8_t> buffer(512);
    device().QueueInData(0x81, Pattern(10));
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x81), buffer.data(), 512, in | USBD_SHORT_TRANSFER_OK).first, STATUS_SUCCESS);
    device().QueueInData(0x81, Pattern(10));
    BulkUrb strict(PipeFor(0x81), buffer.data(), 512, in);
    EXPECT_EQ(SubmitUrb(Pdo(), strict.urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(std::tuple(strict.Status(), strict.Transferred()), std::tuple(USBD_STATUS_ERROR_SHORT_TRANSFER, 10u));
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x81), buffer.data(), 512, in | USBD_SHORT_TRANSFER_OK),
              std::pair(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED));
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

TEST_F(QuietDevice, DisabledPortFailsPendingAndNewTransfersUntilThePortIsReset)
{
    std::vector<uint8_t> buffer(512);
    BulkUrb pending(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    auto request = AsyncRequest::Urb(Pdo(), pending.urb);
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    device().SetPortEnabled(false);
    ASSERT_TRUE(request->Wait());
    const auto notResponding = std::pair(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(std::pair(request->Status(), pending.Status()), notResponding);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x01), buffer.data(), 8), notResponding);
    PipeUrb reset(URB_FUNCTION_RESET_PIPE, PipeFor(0x01));
    EXPECT_EQ(SubmitUrb(Pdo(), reset.urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendInternal(Pdo(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x01), buffer.data(), 8).first, STATUS_SUCCESS);
}

TEST_F(QuietDevice, DisconnectFailsPendingTransfersFirstThenTellsThePnpManager)
{
    std::vector<uint8_t> buffer(512);
    BulkUrb pending(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    auto request = AsyncRequest::Urb(Pdo(), pending.urb);
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    bool completedBeforeHandler = false;
    int calls = 0;
    emu::usb::Bus::Instance().SetSurpriseRemovalHandler([&](emu::usb::UsbDevice& gone) {
        ++calls;
        completedBeforeHandler = request->Completed();
        EXPECT_EQ(&gone, &device());
    });
    device().Disconnect();
    device().Disconnect();  // a second disconnect changes nothing
    EXPECT_EQ(std::tuple(calls, completedBeforeHandler), std::tuple(1, true));
    const auto gone = std::pair(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(std::pair(request->Status(), pending.Status()), gone);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x01), buffer.data(), 8), gone);
    emu::usb::Bus::Instance().SetSurpriseRemovalHandler(nullptr);
}

// A held transfer released with a chosen status, byte count and data ends
// with them.
TEST_F(QuietDevice, ReleaseWithChosenStatusBytesAndData)
{
    device().SetCompletionMode(CompletionMode::Held);
    std::vector<uint8_t> buffer(512, 0xEE);
    BulkUrb in(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto reading = AsyncRequest::Urb(Pdo(), in.urb);
    std::vector<uint8_t> out = Pattern(300);
    BulkUrb write(PipeFor(0x02), out.data(), 300, 0);
    auto writing = AsyncRequest::Urb(Pdo(), write.urb);
    EXPECT_EQ(reading->Send(), STATUS_PENDING);
    EXPECT_EQ(writing->Send(), STATUS_PENDING);
    ASSERT_TRUE(device().WaitForHeld(2, kWait));
    const auto held = device().Held();
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(std::tuple(held[0].endpoint, held[0].in, held[0].length), std::tuple(0x81, true, 512u));
    EXPECT_EQ(std::tuple(held[1].endpoint, held[1].in, held[1].length), std::tuple(0x02, false, 300u));
    const std::vector<uint8_t> given = {1, 2, 3};
    device().ReleaseWith(held[0].id, STATUS_SUCCESS, 8, &given);
    device().ReleaseWith(held[1].id, STATUS_IO_DEVICE_ERROR, 100);
    ASSERT_TRUE(reading->Wait() && writing->Wait());
    EXPECT_EQ(std::tuple(reading->Status(), in.Transferred()), std::tuple(STATUS_SUCCESS, 8u));
    EXPECT_EQ((std::vector<uint8_t>(buffer.begin(), buffer.begin() + 9)), (std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 0, 0, 0xEE}));
    EXPECT_EQ(std::tuple(writing->Status(), write.Transferred()), std::tuple(STATUS_IO_DEVICE_ERROR, 100u));
    EXPECT_TRUE(device().ReceivedOut(0x02).empty());
    EXPECT_TRUE(device().Held().empty());

    // Released without a chosen outcome, a read waits for the device's data.
    BulkUrb plain(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    auto waiting = AsyncRequest::Urb(Pdo(), plain.urb);
    EXPECT_EQ(waiting->Send(), STATUS_PENDING);
    ASSERT_TRUE(device().WaitForHeld(1, kWait));
    device().Release(device().Held()[0].id);
    EXPECT_TRUE(device().Held().empty());
    ASSERT_TRUE(device().WaitForPump(kWait));
    EXPECT_FALSE(waiting->Completed());
    device().QueueInData(0x81, Pattern(20));
    ASSERT_TRUE(waiting->Wait());
    EXPECT_EQ(plain.Transferred(), 20u);
}

}  // namespace
}  // namespace usb_test
