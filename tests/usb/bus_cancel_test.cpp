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
    // Sends the transfer `urb` holds and expects it to stay pending.
    std::unique_ptr<AsyncRequest> Read(BulkUrb& urb)
    {
        auto request = AsyncRequest::Urb(Pdo(), urb.urb);
        EXPECT_EQ(request->Send(), STATUS_PENDING);
        return request;
    }
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(2048);
};

// Cancelled after two full packets arrived, a read ends cancelled with the
// bytes moved so far; cancelled before it reaches the bus, it ends cancelled.
TEST_P(CancelFixture, CancelledReadCompletesAsCancelledWithTheBytesMovedSoFar)
{
    BulkUrb urb(PipeFor(0x81), buffer_.data(), 2048, USBD_TRANSFER_DIRECTION_IN);
    auto request = Read(urb);
    if (Held()) {
        ASSERT_TRUE(device().WaitForHeld(1, kWait));
    } else {
        device().QueueInData(0x81, Pattern(1024));
        ASSERT_TRUE(device().WaitForPump(kWait));
        EXPECT_FALSE(request->Completed());
    }
    EXPECT_TRUE(request->Cancel());
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(std::tuple(request->Status(), urb.Status(), urb.Transferred()),
              std::tuple(STATUS_CANCELLED, USBD_STATUS_CANCELED, Held() ? 0u : 1024u));
    EXPECT_TRUE(device().Held().empty());
    EXPECT_FALSE(request->Cancel()) << "a completed request has no cancel routine";

    BulkUrb early(PipeFor(0x81), buffer_.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    auto cancelledFirst = AsyncRequest::Urb(Pdo(), early.urb);
    EXPECT_FALSE(cancelledFirst->Cancel());  // Irp->Cancel set, no cancel routine yet
    EXPECT_EQ(cancelledFirst->Send(), STATUS_PENDING);
    ASSERT_TRUE(cancelledFirst->Wait());
    EXPECT_EQ(cancelledFirst->Status(), STATUS_CANCELLED);
    EXPECT_TRUE(device().Held().empty());
}

TEST_P(CancelFixture, AbortPipeCancelsEveryTransferOnThatPipeOnly)
{
    std::vector<std::unique_ptr<BulkUrb>> urbs;
    std::vector<std::unique_ptr<AsyncRequest>> requests;
    for (uint8_t endpoint : {0x81, 0x81, 0x82}) {
        urbs.push_back(std::make_unique<BulkUrb>(PipeFor(endpoint), buffer_.data(), 512, USBD_TRANSFER_DIRECTION_IN));
        requests.push_back(Read(*urbs.back()));
    }
    if (Held()) {
        ASSERT_TRUE(device().WaitForHeld(3, kWait));
    }
    PipeUrb abort(URB_FUNCTION_ABORT_PIPE, PipeFor(0x81));
    EXPECT_EQ(SendUrb(abort), std::pair(STATUS_SUCCESS, USBD_STATUS_SUCCESS));
    for (int i : {0, 1}) {
        ASSERT_TRUE(requests[i]->Wait());
        EXPECT_EQ(std::pair(requests[i]->Status(), urbs[i]->Status()), std::pair(STATUS_CANCELLED, USBD_STATUS_CANCELED));
    }
    EXPECT_FALSE(requests[2]->Wait(50ms)) << "a transfer on another pipe must survive the abort";
    EXPECT_EQ(device().Aborts(), 1u);
    device().SetCompletionMode(CompletionMode::Synchronous);  // the pipe still works after an abort
    device().QueueInData(0x81, Pattern(5));
    BulkUrb after(PipeFor(0x81), buffer_.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SendUrb(after).first, STATUS_SUCCESS);
    EXPECT_EQ(after.Transferred(), 5u);
    EXPECT_TRUE(requests[2]->Cancel());
}

INSTANTIATE_TEST_SUITE_P(Modes, CancelFixture,
                         ::testing::Values(CompletionMode::BusThread, CompletionMode::Synchronous, CompletionMode::Held),
                         ModeName);

// Completion (data arriving, or the test releasing the transfer) and
// IoCancelIrp race from two threads; each round exactly one wins, the
// request completes exactly once, and the verifier sees nothing wrong.
class CancelRace : public CancelFixture {};

TEST_P(CancelRace, ExactlyOneOfCompletionAndCancelWins)
{
    for (int round = 0; round < 300; ++round) {
        BulkUrb urb(PipeFor(0x81), buffer_.data(), 512, USBD_TRANSFER_DIRECTION_IN);
        auto request = Read(urb);
        uint64_t heldId = 0;
        if (Held()) {
            ASSERT_TRUE(device().WaitForHeld(1, kWait));
            heldId = device().Held()[0].id;
        }
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
        if (cancelled) {
            EXPECT_EQ(urb.Status(), USBD_STATUS_CANCELED);
        } else {
            EXPECT_EQ(std::pair(request->Status(), urb.Transferred()), std::pair(STATUS_SUCCESS, 7u));
        }
        // data that lost the race stays queued for the next reader; drain it
        if (!Held() && cancelled && urb.Transferred() == 0) {
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
