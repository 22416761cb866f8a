// Cancelling transfers in flight at the emulated PDO: IoCancelIrp, abort
// pipe, and the race between the device completing a transfer and its
// originator cancelling it, in which exactly one of the two must win.
#include "tests/usb/usb_fixture.h"

#include <atomic>
#include <thread>

namespace usb_test {
namespace {

using emu::usb::CompletionMode;

using CancelFixture = InEachMode<QuietDevice>;

TEST_P(CancelFixture, CancelledReadCompletesAsCancelledWithTheBytesMovedSoFar)
{
    std::vector<uint8_t> buffer(2048);
    BulkUrb urb(PipeFor(0x81), buffer.data(), 2048, USBD_TRANSFER_DIRECTION_IN);
    auto request = AsyncRequest::Urb(Pdo(), urb.urb);
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    if (GetParam() == CompletionMode::Held) {
        ASSERT_TRUE(device().WaitForHeld(1, kWait));
    } else {
        device().QueueInData(0x81, Pattern(1024));  // two full packets: the read still waits
        ASSERT_TRUE(device().WaitForPump(kWait));
        EXPECT_FALSE(request->Completed());
    }
    EXPECT_TRUE(request->Cancel());
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(request->Status(), STATUS_CANCELLED);
    EXPECT_EQ(urb.Status(), USBD_STATUS_CANCELED);
    EXPECT_EQ(urb.Transferred(), GetParam() == CompletionMode::Held ? 0u : 1024u);
    EXPECT_TRUE(device().Held().empty());
    EXPECT_FALSE(request->Cancel()) << "a completed request has no cancel routine";
}

TEST_P(CancelFixture, AbortPipeCancelsEveryTransferOnThatPipeOnly)
{
    std::vector<uint8_t> buffer(512);
    std::vector<std::unique_ptr<BulkUrb>> urbs;
    std::vector<std::unique_ptr<AsyncRequest>> requests;
    for (uint8_t endpoint : {0x81, 0x81, 0x82}) {
        urbs.push_back(std::make_unique<BulkUrb>(PipeFor(endpoint), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN));
        requests.push_back(AsyncRequest::Urb(Pdo(), urbs.back()->urb));
        EXPECT_EQ(requests.back()->Send(), STATUS_PENDING);
    }
    if (GetParam() == CompletionMode::Held) {
        ASSERT_TRUE(device().WaitForHeld(3, kWait));
    }
    PipeUrb abort(URB_FUNCTION_ABORT_PIPE, PipeFor(0x81));
    EXPECT_EQ(SubmitUrb(Pdo(), abort.urb), STATUS_SUCCESS);
    EXPECT_EQ(abort.urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    for (int i : {0, 1}) {
        ASSERT_TRUE(requests[i]->Wait());
        EXPECT_EQ(requests[i]->Status(), STATUS_CANCELLED);
        EXPECT_EQ(urbs[i]->Status(), USBD_STATUS_CANCELED);
    }
    EXPECT_FALSE(requests[2]->Wait(50ms)) << "a transfer on another pipe must survive the abort";
    EXPECT_EQ(device().Aborts(), 1u);
    // the pipe still works after an abort
    device().SetCompletionMode(CompletionMode::Synchronous);
    device().QueueInData(0x81, Pattern(5));
    BulkUrb after(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitUrb(Pdo(), after.urb), STATUS_SUCCESS);
    EXPECT_EQ(after.Transferred(), 5u);
    EXPECT_TRUE(requests[2]->Cancel());
}

TEST_P(CancelFixture, ARequestCancelledBeforeItReachesTheBusEndsCancelled)
{
    std::vector<uint8_t> buffer(512);
    BulkUrb urb(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
    auto request = AsyncRequest::Urb(Pdo(), urb.urb);
    EXPECT_FALSE(request->Cancel());  // Irp->Cancel set, no cancel routine yet
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(request->Status(), STATUS_CANCELLED);
    EXPECT_TRUE(device().Held().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, CancelFixture,
                         ::testing::Values(CompletionMode::BusThread, CompletionMode::Synchronous, CompletionMode::Held),
                         ModeName);

// Completion (data arriving, or the test releasing the transfer) and
// IoCancelIrp race from two threads; each round exactly one wins, the
// request completes exactly once, and the verifier sees nothing wrong.
class CancelRace : public InEachMode<QuietDevice> {};

TEST_P(CancelRace, ExactlyOneOfCompletionAndCancelWins)
{
    std::vector<uint8_t> buffer(512);
    for (int round = 0; round < 300; ++round) {
        BulkUrb urb(PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN);
        auto request = AsyncRequest::Urb(Pdo(), urb.urb);
        ASSERT_EQ(request->Send(), STATUS_PENDING);
        uint64_t heldId = 0;
        if (GetParam() == CompletionMode::Held) {
            ASSERT_TRUE(device().WaitForHeld(1, kWait));
            heldId = device().Held()[0].id;
        }
        std::atomic<bool> go{false};
        std::thread completer([&] {
            while (!go.load()) {
            }
            if (GetParam() == CompletionMode::Held) {
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
        if (request->Status() == STATUS_CANCELLED) {
            EXPECT_EQ(urb.Status(), USBD_STATUS_CANCELED);
        } else {
            ASSERT_EQ(request->Status(), STATUS_SUCCESS);
            EXPECT_EQ(urb.Transferred(), 7u);
        }
        // data that lost the race stays queued for the next reader; drain it
        if (GetParam() != CompletionMode::Held && request->Status() == STATUS_CANCELLED && urb.Transferred() == 0) {
            device().SetCompletionMode(CompletionMode::Synchronous);
            EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x81), buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN).first, STATUS_SUCCESS);
            device().SetCompletionMode(GetParam());
        }
    }
    EXPECT_TRUE(device().Held().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, CancelRace, ::testing::Values(CompletionMode::BusThread, CompletionMode::Held), ModeName);

}  // namespace
}  // namespace usb_test
