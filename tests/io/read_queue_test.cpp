// Reads that overlap in time: one at a time owns the receive buffer, later
// ones wait in arrival order, and the queue is cancel-safe.
#include "tests/io/io_fixture.h"

#include "emulator/kernel/system.h"

#include <thread>

namespace io_test {
namespace {

class ReadQueue : public HeldReads {
protected:
    void SetUp() override
    {
        HeldReads::SetUp();
        second_ = OpenOk(u"\\PIPE4");  // bulk IN 0x82
    }

    emu::Handle second_ = 0;
};

TEST_F(ReadQueue, ReadsAreServedInArrivalOrderWithOneBusReadInFlight)
{
    auto a = app().ReadAsync(in_, 10);
    WaitHeld(1);
    auto b = app().ReadAsync(second_, 20);
    auto c = app().ReadAsync(in_, 5);
    EXPECT_EQ(device().Held().size(), 1u) << "a queued read sent a bus read of its own";

    Answer(2048, 40);
    ExpectDone(*a, STATUS_SUCCESS, 10);
    ExpectDone(*b, STATUS_SUCCESS, 20);
    ExpectDone(*c, STATUS_SUCCESS, 5);
    EXPECT_EQ(a->Data(), Stream(0, 10));
    EXPECT_EQ(b->Data(), Stream(10, 20));
    EXPECT_EQ(c->Data(), Stream(30, 5));
    EXPECT_EQ(ReceiveCount(), 5);
    EXPECT_EQ(IoRefCount(), 1);
    EXPECT_EQ(ExtraPoolBlocks(), 0);
}

// A read that arrives while another waits is queued, even when the buffer
// already holds enough for it: the bytes belong to the read ahead.
TEST_F(ReadQueue, LaterReadDoesNotOvertakeTheOneWaiting)
{
    auto a = app().ReadAsync(in_, 100);
    Answer(2048, 50);  // a keeps waiting, with 50 bytes buffered
    WaitHeld(1);
    auto b = app().ReadAsync(second_, 1);
    EXPECT_FALSE(b->Done()) << "a later read took bytes before the read ahead of it";
    EXPECT_EQ(device().Held().size(), 1u);
    Answer(2048, 60);
    ExpectDone(*a, STATUS_SUCCESS, 100);
    ExpectDone(*b, STATUS_SUCCESS, 1);
    EXPECT_EQ(a->Data(), Stream(0, 100));
    EXPECT_EQ(b->Data(), Stream(100, 1));
    EXPECT_EQ(ReceiveCount(), 9);
}

// A queued read ended by its cancel or by the cleanup of its handle ends
// at once and takes no bytes; the reads of other handles, on the same pipe
// or another, keep their places.
TEST_F(ReadQueue, EndedQueuedReadLeavesTheOthersTheirPlaces)
{
    for (const bool byCleanup : {false, true}) {
        SCOPED_TRACE(byCleanup ? "cleanup" : "cancel");
        const emu::Handle third = OpenOk(u"\\PIPE1");
        auto a = app().ReadAsync(in_, 10);
        WaitHeld(1);
        auto b = app().ReadAsync(third, 10);
        auto c = app().ReadAsync(second_, 10);
        if (byCleanup) {
            Close(third);
        } else {
            b->Cancel();
        }
        ExpectDone(*b, STATUS_CANCELLED, 0);
        EXPECT_FALSE(a->Done());
        EXPECT_FALSE(c->Done());
        Answer(2048, 20);
        ExpectDone(*a, STATUS_SUCCESS, 10);
        ExpectDone(*c, STATUS_SUCCESS, 10);
        EXPECT_EQ(c->Data(), Stream(sent_ - 10, 10)) << "the ended read took bytes";
        EXPECT_EQ(IoRefCount(), 1);
        EXPECT_EQ(ExtraPoolBlocks(), 0);
    }
}

TEST_F(ReadQueue, CancelledActiveReadHandsTheBufferOn)
{
    auto a = app().ReadAsync(in_, 30);
    Answer(2048, 10);  // a keeps waiting for 20 more
    auto b = app().ReadAsync(second_, 15);
    WaitHeld(1);
    a->Cancel();
    ExpectDone(*a, STATUS_CANCELLED, 0);
    Answer(2048, 5);  // b's own bus read
    ExpectDone(*b, STATUS_SUCCESS, 15);
    EXPECT_EQ(b->Data(), Stream(0, 15)) << "bytes gathered for the cancelled read were lost";
    EXPECT_EQ(IoRefCount(), 1);
}

TEST_F(ReadQueue, LeavingRunningEndsTheQueuedReads)
{
    auto a = app().ReadAsync(in_, 10);
    WaitHeld(1);
    auto b = app().ReadAsync(second_, 10);
    // The query waits for a's reference; the queued read must not hold it up.
    std::thread query([this] { EXPECT_EQ(machine().pnp().QueryStop(), STATUS_SUCCESS); });
    ExpectDone(*b, STATUS_INVALID_DEVICE_STATE, 0);
    Answer(2048, 10);
    ExpectDone(*a, STATUS_SUCCESS, 10);
    query.join();
    EXPECT_EQ(Context()->PnpState, DeviceStopPending);
    ASSERT_EQ(machine().pnp().CancelStop(), STATUS_SUCCESS);
    EXPECT_EQ(IoRefCount(), 1);
    EXPECT_EQ(ExtraPoolBlocks(), 0);
}

}  // namespace
}  // namespace io_test
