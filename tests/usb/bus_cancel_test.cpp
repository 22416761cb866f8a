// Cancelling transfers in flight at the emulated PDO: IoCancelIrp, abort
// pipe, and the race between the device completing a transfer and its
// originator cancelling it, in which exactly one of the two must win.
#include "tests/usb/usb_fixture.h"

#include <atomic>
#include <thread>

namespace usb_test {
namespace {

using emu::usb::CompletionMode;

class CancelFixture : public InEachMode<QuietDevice> {
protected:
    bool Held() { return GetParam() == CompletionMode::Held; }
    // A read of `length` bytes on `endpoint`, sent and expected to stay pending.
    std::pair<std::unique_ptr<BulkUrb>, std::unique_ptr<AsyncRequest>> Read(uint8_t endpoint, ULONG length = 512)
    {
        auto urb = std::make_unique<BulkUrb>(PipeFor(endpoint), buffer_.data(), length, USBD_TRANSFER_DIRECTION_IN);
        auto request = AsyncRequest::Urb(Pdo(), urb->urb);
        EXPECT_EQ(request->Send(), STATUS_PENDING);
        return {std::move(urb), std::move(request)};
    }
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(2048);
};

// Cancelled after two full packets arrived, a read ends cancelled with the
// bytes moved so far; cancelled before it reaches the bus, it ends cancelled.
TEST_P(CancelFixture, CancelledReadCompletesAsCancelledWithTheBytesMovedSoFar)
{
    auto [urb, request] = Read(0x81, 2048);
    if (Held()) {
        ASSERT_TRUE(device().WaitForHeld(1, kWait));
    } else {
        device().QueueInData(0x81, Pattern(1024));
        ASSERT_TRUE(device().WaitForPump(kWait));
        EXPECT_FALSE(request->Completed());
    }
    EXPECT_TRUE(request->Cancel());
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(std::tuple(request->Status(), urb->Status(), urb->Transferred()),
              std::tuple(STATUS_CANCELLED, USBD_STATUS_CANCELED, Held() ? 0u : 1024u));
    EXPECT_FALSE(request->Cancel()) << "a completed request has no cancel routine";

    BulkUrb early(PipeFor(0x81), buffer_.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    auto cancelledFirst = AsyncRequest::Urb(Pdo(), early.urb);
    EXPECT_FALSE(cancelledFirst->Cancel());  // Irp->Cancel set, no cancel routine yet
    EXPECT_EQ(cancelledFirst->Send(), STATUS_PENDING);
    ASSERT_TRUE(cancelledFirst->Wait());
    EXPECT_EQ(cancelledFirst->Status(), STATUS_CANCELLED);
    EXPECT_TRUE(device().Held().empty());
}

// Abort pipe cancels every transfer on that pipe only; the pipe still works.
TEST_P(CancelFixture, AbortPipeCancelsEveryTransferOnThatPipeOnly)
{
    auto first = Read(0x81), second = Read(0x81), other = Read(0x82);
    if (Held()) {
        ASSERT_TRUE(device().WaitForHeld(3, kWait));
    }
    EXPECT_EQ(SendUrb(PipeUrb(URB_FUNCTION_ABORT_PIPE, PipeFor(0x81))), std::pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS));
    for (auto* read : {&first, &second}) {
        ASSERT_TRUE(read->second->Wait());
        EXPECT_EQ(std::pair(read->second->Status(), read->first->Status()), std::pair(STATUS_CANCELLED, USBD_STATUS_CANCELED));
    }
    EXPECT_FALSE(other.second->Wait(50ms)) << "a transfer on another pipe must survive the abort";
    EXPECT_EQ(device().Aborts(), 1u);
    device().SetCompletionMode(CompletionMode::Synchronous);
    device().QueueInData(0x81, Pattern(5));
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x81), buffer_.data(), 512, USBD_TRANSFER_DIRECTION_IN), std::pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS));
    EXPECT_TRUE(other.second->Cancel());
}

INSTANTIATE_TEST_SUITE_P(Modes, CancelFixture,
                         ::testing::Values(CompletionMode::BusThread, CompletionMode::Synchronous, CompletionMode::Held),
                         ModeName);

// Completion (data arriving, or the test releasing the transfer) and
// IoCancelIrp race from two threads; each round exactly one wins, the
// request completes exactly once, and the verifier sees nothing wrong.
using CancelRace = CancelFixture;

TEST_P(CancelRace, ExactlyOneOfCompletionAndCancelWins)
{
    for (int round = 0; round < 300; ++round) {
        auto [urb, request] = Read(0x81);
        const uint64_t heldId = Held() && device().WaitForHeld(1, kWait) ? device().Held()[0].id : 0;
        std::atomic<bool> go{false};
        std::thread completer([&] {
            while (!go.load()) {
            }
            if (Held()) {
                device().ReleaseWith(heldId, STATUS_SUCCESS, 7, nullptr);
            } else {
                device().QueueInData(0x81, Pattern(7));
            }
        });
        go.store(true);
        if (round % 2 == 0) {
            std::this_thread::yield();
        }
        request->Cancel();
        completer.join();
        ASSERT_TRUE(request->Wait());
        const bool cancelled = request->Status() == STATUS_CANCELLED;
        EXPECT_EQ(std::tuple(request->Status(), urb->Status(), urb->Transferred()),
                  std::tuple(request->Status(), cancelled ? USBD_STATUS_CANCELED : USBD_STATUS_SUCCESS,
                             cancelled ? urb->Transferred() : 7u));
        EXPECT_TRUE(cancelled || request->Status() == STATUS_SUCCESS) << request->Status();
        // data that lost the race stays queued for the next reader; drain it
        if (!Held() && cancelled && urb->Transferred() == 0) {
            device().SetCompletionMode(CompletionMode::Synchronous);
            EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x81), buffer_.data(), 512, USBD_TRANSFER_DIRECTION_IN).first, STATUS_SUCCESS);
            device().SetCompletionMode(GetParam());
        }
    }
    EXPECT_TRUE(device().Held().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, CancelRace, ::testing::Values(CompletionMode::BusThread, CompletionMode::Held), ModeName);

}  // namespace
}  // namespace usb_test
