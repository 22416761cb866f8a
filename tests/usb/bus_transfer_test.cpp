// Bulk and interrupt transfers at the emulated PDO in the three completion
// modes: loopback data integrity across packet multiples, the old
// controllers' short-transfer policy, injected faults, a halted pipe and its
// reset, a disabled port and a disconnected device.
#include "tests/usb/usb_fixture.h"

namespace usb_test {
namespace {

using emu::usb::CompletionMode;
using emu::usb::DeviceModel;

class TransferModes : public InEachMode<BusFixture> {
protected:
    // Sends one transfer and sees it to its end: in Held mode the test
    // releases it as soon as the device holds it.
    struct Outcome {
        NTSTATUS returned;
        NTSTATUS status;
        ULONG transferred;
        USBD_STATUS usbd;
        KIRQL irql;
    };
    Outcome Run(uint8_t endpoint, void* buffer, ULONG length, ULONG flags)
    {
        BulkUrb urb(PipeFor(endpoint), buffer, length, flags);
        auto request = AsyncRequest::Urb(Pdo(), urb.urb);
        const NTSTATUS returned = request->Send();
        if (GetParam() == CompletionMode::Held && returned == STATUS_PENDING) {
            EXPECT_TRUE(device().WaitForHeld(1, kWait));
            for (const auto& held : device().Held()) {
                device().Release(held.id);
            }
        }
        EXPECT_TRUE(request->Wait());
        return {returned, request->Status(), urb.Transferred(), urb.Status(), request->CompletionIrql()};
    }
};

TEST_P(TransferModes, LoopbackReturnsEveryByteAcrossPacketMultiples)
{
    for (ULONG length : {1u, 100u, 511u, 512u, 513u, 1024u, 1500u, 2048u, 4096u}) {
        const auto data = Pattern(length, static_cast<uint8_t>(length));
        std::vector<uint8_t> copy = data;
        const Outcome out = Run(0x01, copy.data(), length, USBD_TRANSFER_DIRECTION_OUT);
        ASSERT_EQ(out.status, STATUS_SUCCESS) << length;
        EXPECT_EQ(out.transferred, length);
        // Read it back in one transfer larger than what was written: it ends
        // at the short or zero-length packet the device sends last.
        std::vector<uint8_t> back(length + 1024, 0xEE);
        const Outcome in = Run(0x81, back.data(), length + 1024, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        ASSERT_EQ(in.status, STATUS_SUCCESS) << length;
        ASSERT_EQ(in.transferred, length);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin())) << length;
        EXPECT_EQ(back[length], 0xEE);
    }
    EXPECT_EQ(device().ReceivedOut(0x01).size(), 1u + 100 + 511 + 512 + 513 + 1024 + 1500 + 2048 + 4096);
}

TEST_P(TransferModes, CompletionHappensWhereTheModeSays)
{
    std::vector<uint8_t> data = Pattern(64);
    const Outcome out = Run(0x02, data.data(), 64, 0);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    if (GetParam() == CompletionMode::Synchronous) {
        EXPECT_EQ(out.returned, STATUS_SUCCESS);
        EXPECT_EQ(out.irql, PASSIVE_LEVEL);
    } else {
        EXPECT_EQ(out.returned, STATUS_PENDING);
        EXPECT_EQ(out.irql, DISPATCH_LEVEL);
    }
    const auto urb = device().Urbs().back();
    EXPECT_EQ(std::tuple(urb.function, urb.endpoint, urb.in, urb.requestedLength, urb.actualLength),
              std::tuple(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x02, false, 64u, 64u));
}

TEST_P(TransferModes, StalledTransferHaltsThePipeUntilReset)
{
    device().StallTransfer(0x02, 2);
    std::vector<uint8_t> data = Pattern(16);
    EXPECT_EQ(Run(0x02, data.data(), 16, 0).status, STATUS_SUCCESS);
    const Outcome stalled = Run(0x02, data.data(), 16, 0);
    EXPECT_EQ(stalled.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled.usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x02), data.data(), 16), std::pair(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED));
    const auto record = device().Urbs().back();
    EXPECT_EQ(std::tuple(record.endpoint, record.requestedLength, record.actualLength, record.usbdStatus),
              std::tuple(0x02, 16u, 0u, static_cast<uint32_t>(USBD_STATUS_ENDPOINT_HALTED)));
    PipeUrb reset(URB_FUNCTION_RESET_PIPE, PipeFor(0x02));
    EXPECT_EQ(SubmitUrb(Pdo(), reset.urb), STATUS_SUCCESS);
    EXPECT_EQ(Run(0x02, data.data(), 16, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(device().ReceivedOut(0x02).size(), 32u);
}

TEST_P(TransferModes, FailedTransferCarriesTheChosenStatusAndMovesNothing)
{
    device().FailTransfer(0x01, 1, static_cast<uint32_t>(USBD_STATUS_CRC));
    std::vector<uint8_t> data = Pattern(32);
    const Outcome failed = Run(0x01, data.data(), 32, 0);
    EXPECT_EQ(failed.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failed.usbd, USBD_STATUS_CRC);
    EXPECT_EQ(failed.transferred, 0u);
    EXPECT_TRUE(device().ReceivedOut(0x01).empty());
    EXPECT_EQ(Run(0x01, data.data(), 32, 0).status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Modes, TransferModes,
                         ::testing::Values(CompletionMode::BusThread, CompletionMode::Synchronous, CompletionMode::Held),
                         ModeName);

// The device sends exactly what the test queues; a transfer the packet rules
// leave open stays pending at the bus until more comes (the rules
// themselves are the endpoint engine's tests).
struct SweepCase {
    ULONG queued;
    bool zeroLengthPacket;
    ULONG asked;
    bool completes;
    ULONG transferred;
};

TEST_F(QuietDevice, InTransferEndsAtShortOrZeroLengthPacketOrWaits)
{
    const std::vector<SweepCase> cases = {
        {0, true, 512, true, 0},
        {511, false, 512, true, 511},
        {512, false, 1024, false, 512},
        {1536, true, 2048, true, 1536},
    };
    for (const auto& c : cases) {
        const auto data = Pattern(c.queued, static_cast<uint8_t>(c.queued));
        if (c.queued != 0) {
            device().QueueInData(0x81, data);
        }
        if (c.zeroLengthPacket) {
            device().QueueInData(0x81, {});
        }
        std::vector<uint8_t> buffer(c.asked);
        BulkUrb urb(PipeFor(0x81), buffer.data(), c.asked, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        auto request = AsyncRequest::Urb(Pdo(), urb.urb);
        EXPECT_EQ(request->Send(), STATUS_PENDING);
        if (!c.completes) {
            EXPECT_FALSE(request->Wait(100ms)) << c.queued << " of " << c.asked << " must wait for more";
            device().QueueInData(0x81, {});  // a zero-length packet ends it
        }
        ASSERT_TRUE(request->Wait()) << c.queued << " of " << c.asked;
        EXPECT_EQ(request->Status(), STATUS_SUCCESS);
        EXPECT_EQ(urb.Transferred(), c.transferred) << c.queued << " of " << c.asked;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
    }
}

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
    device().QueueInData(0x81, Pattern(10));
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK).first,
              STATUS_SUCCESS);
    device().QueueInData(0x81, Pattern(10));
    BulkUrb strict(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitUrb(Pdo(), strict.urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict.Status(), USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(strict.Transferred(), 10u);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK),
              std::pair(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED));
}

TEST_F(QuietDevice, RefusedRequests)
{
    std::vector<uint8_t> buffer(64);
    struct Case {
        const char* finding;  // null: refused without a finding
        std::function<void(PURB)> spoil;
        NTSTATUS status;
        USBD_STATUS usbd;
    };
    const std::vector<Case> cases = {
        {nullptr, [](PURB u) { u->UrbBulkOrInterruptTransfer.PipeHandle = reinterpret_cast<void*>(0x1234); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"direction does not match",
         [](PURB u) { u->UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN; }, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
        {"without a buffer", [](PURB u) { u->UrbBulkOrInterruptTransfer.TransferBuffer = nullptr; },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"linked URBs", [](PURB u) { u->UrbBulkOrInterruptTransfer.UrbLink = u; }, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
        {"shorter than its structure", [](PURB u) { u->UrbHeader.Length = 40; }, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        BulkUrb urb(PipeFor(0x01), buffer.data(), 64, 0);
        c.spoil(urb.urb);
        auto send = [&] {
            EXPECT_EQ(SubmitUrb(Pdo(), urb.urb), c.status);
            EXPECT_EQ(urb.Status(), c.usbd);
        };
        if (c.finding != nullptr) {
            ExpectFinding(c.finding, send);
        } else {
            send();
        }
    }
    void* small = ExAllocatePoolWithTag(NonPagedPool, 16, TestPoolTag);
    BulkUrb overrun(PipeFor(0x01), small, 64, 0);
    ExpectFinding("runs past the end of its pool block",
                  [&] { EXPECT_EQ(SubmitUrb(Pdo(), overrun.urb), STATUS_INVALID_PARAMETER); });
    ExFreePool(small);
    EXPECT_TRUE(device().ReceivedOut(0x01).empty());
}

TEST_F(QuietDevice, ZeroLengthOutTransferIsLegal)
{
    BulkUrb urb(PipeFor(0x01), nullptr, 0, 0);
    EXPECT_EQ(SubmitUrb(Pdo(), urb.urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.Transferred(), 0u);
}

TEST_F(QuietDevice, DisabledPortFailsPendingAndNewTransfersUntilThePortIsReset)
{
    std::vector<uint8_t> buffer(512);
    BulkUrb pending(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    auto request = AsyncRequest::Urb(Pdo(), pending.urb);
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    device().SetPortEnabled(false);
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(request->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pending.Status(), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x01), buffer.data(), 8), std::pair(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
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
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(completedBeforeHandler);
    EXPECT_EQ(request->Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pending.Status(), USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x01), buffer.data(), 8), std::pair(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE));
    emu::usb::Bus::Instance().SetSurpriseRemovalHandler(nullptr);
}

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
    ASSERT_TRUE(reading->Wait());
    ASSERT_TRUE(writing->Wait());
    EXPECT_EQ(reading->Status(), STATUS_SUCCESS);
    EXPECT_EQ(in.Transferred(), 8u);
    EXPECT_EQ((std::vector<uint8_t>(buffer.begin(), buffer.begin() + 9)), (std::vector<uint8_t>{1, 2, 3, 0, 0, 0, 0, 0, 0xEE}));
    EXPECT_EQ(writing->Status(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(write.Transferred(), 100u);
    EXPECT_TRUE(device().ReceivedOut(0x02).empty());
    EXPECT_TRUE(device().Held().empty());
}

TEST_F(QuietDevice, ReleasedTransferWithoutDataWaitsForTheDevice)
{
    device().SetCompletionMode(CompletionMode::Held);
    std::vector<uint8_t> buffer(512);
    BulkUrb in(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    auto reading = AsyncRequest::Urb(Pdo(), in.urb);
    EXPECT_EQ(reading->Send(), STATUS_PENDING);
    ASSERT_TRUE(device().WaitForHeld(1, kWait));
    device().Release(device().Held()[0].id);
    EXPECT_TRUE(device().Held().empty());
    ASSERT_TRUE(device().WaitForPump(kWait));
    EXPECT_FALSE(reading->Completed());
    device().QueueInData(0x81, Pattern(20));
    ASSERT_TRUE(reading->Wait());
    EXPECT_EQ(in.Transferred(), 20u);
}

}  // namespace
}  // namespace usb_test
