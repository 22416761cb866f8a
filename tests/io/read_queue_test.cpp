// Reads that overlap in time: one at a time owns the receive buffer, later
// ones wait in arrival order, and the queue is cancel-safe.
#include "tests/io/io_fixture.h"

#include "emulator/kernel/system.h"
#include "usb/configuration.h"

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace io_test {
namespace {

class ReadQueue : public HeldReads {
protected:
    void SetUp() override
    {
        HeldReads::SetUp();
        second_ = Open(u"\\PIPE4");  // bulk IN 0x82
    }

    emu::Handle second_ = 0;
};

// A read that arrives while another waits is queued, even when the buffer
// already holds enough for it: the bytes belong to the read ahead, and pass
// to the next read when that one is cancelled, which then sends its own bus
// read for what it still lacks.
TEST_F(ReadQueue, LaterReadDoesNotOvertakeTheOneWaiting)
{
    auto a = app().ReadAsync(in_, 100);
    Answer(2048, 50);  // a keeps waiting, with 50 bytes buffered
    WaitHeld(1);
    auto b = app().ReadAsync(second_, 1);
    auto c = app().ReadAsync(in_, 60);
    EXPECT_FALSE(b->Done()) << "a later read took bytes before the read ahead of it";
    EXPECT_EQ(device().Held().size(), 1u);
    a->Cancel();
    ExpectDone(*a, STATUS_CANCELLED, 0);
    ExpectDone(*b, STATUS_SUCCESS, 1);
    EXPECT_EQ(b->Data(), Stream(0, 1)) << "bytes gathered for the cancelled read were lost";
    Answer(2048, 11);  // c's own bus read
    ExpectDone(*c, STATUS_SUCCESS, 60);
    EXPECT_EQ(c->Data(), Stream(1, 60));
    EXPECT_EQ(ReceiveCount(), 0);
    EXPECT_EQ(IoRefCount(), 1);
}

// A queued read ended by its cancel or by the cleanup of its handle ends
// at once and takes no bytes; the reads of other handles, on the same pipe
// or another, keep their places.
TEST_F(ReadQueue, EndedQueuedReadLeavesTheOthersTheirPlaces)
{
    for (const bool byCleanup : {false, true}) {
        SCOPED_TRACE(byCleanup ? "cleanup" : "cancel");
        const emu::Handle third = Open(u"\\PIPE1");
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
    }
}

// Reads are served in arrival order with one bus read in flight: queued
// reads send none of their own. One bus read brings enough for hundreds of
// small queued reads: the buffer goes from one to the next in a loop, not
// in a recursion as deep as the queue, which a 24 KB kernel stack could not
// hold; what is left stays buffered.
TEST_F(ReadQueue, OneBusReadServesManyQueuedReadsInOrder)
{
    constexpr size_t Count = 511;  // 4 bytes of the bus read are left
    constexpr ULONG Each = 4;
    std::vector<std::unique_ptr<emu::PendingIo>> reads;
    reads.push_back(app().ReadAsync(in_, Each));
    WaitHeld(1);
    for (size_t i = 1; i < Count; ++i) {
        reads.push_back(app().ReadAsync(i % 2 ? second_ : in_, Each));
    }
    EXPECT_EQ(device().Held().size(), 1u) << "a queued read sent a bus read of its own";
    Answer(2048, 2048);
    for (size_t i = 0; i < Count; ++i) {
        ExpectDone(*reads[i], STATUS_SUCCESS, Each);
        EXPECT_EQ(reads[i]->Data(), Stream(i * Each, Each)) << "read " << i;
    }
    EXPECT_TRUE(device().Held().empty()) << "a bus read was sent with every read served";
    EXPECT_EQ(ReceiveCount(), 4);
    EXPECT_EQ(IoRefCount(), 1);
}

// Reads pending on a quiet pipe while the device drains for a sleep, a stop
// query or a removal query. The drain must end well within the grace period
// after which it aborts transfers the device does not answer: the reads
// wait without holding it up, send nothing to the bus meanwhile, and are
// served once the device is back, or end when it leaves for good.
struct DrainCase {
    const char* name;
    // The PnP requests that begin and end the drain; none: a sleep to S3
    // and the resume.
    NTSTATUS (emu::Pnp::*begin)();
    NTSTATUS (emu::Pnp::*end)();
    int reads;
    // STATUS_SUCCESS: the reads are served after the end; STATUS_CANCELLED:
    // the application cancels them while they wait.
    NTSTATUS ending;
};

void PrintTo(const DrainCase& c, std::ostream* out) { *out << c.name; }

class ReadsAcrossDrain : public ReadQueue, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(ReadsAcrossDrain, DrainEndsAtOnceAndReadsGoOnAfter)
{
    const DrainCase& c = GetParam();
    const auto grace = std::chrono::milliseconds(StuckTransferGracePeriod / 10'000);
    std::vector<std::unique_ptr<emu::PendingIo>> reads;
    for (int i = 0; i < c.reads; ++i) {
        reads.push_back(app().ReadAsync(i % 2 ? second_ : in_, 10));
    }
    WaitHeld(1);

    auto drain = std::async(std::launch::async, [&] {
        return c.begin ? (machine().pnp().*c.begin)() : machine().power().Sleep(PowerSystemSleeping3);
    });
    EXPECT_EQ(drain.wait_for(grace / 2), std::future_status::ready) << "the pending reads held the drain up";
    EXPECT_EQ(drain.get(), STATUS_SUCCESS);
    EXPECT_TRUE(device().Held().empty()) << "a bus read in flight while the device drained";
    for (auto& read : reads) {
        EXPECT_FALSE(read->Done()) << "a read ended before the device left";
        if (c.ending == STATUS_CANCELLED) {
            read->Cancel();
            ExpectDone(*read, STATUS_CANCELLED, 0);  // while the device is away
        }
    }
    ASSERT_EQ(c.end ? (machine().pnp().*c.end)() : machine().power().Resume(), STATUS_SUCCESS);
    if (c.ending != STATUS_SUCCESS) {
        for (auto& read : reads) {
            ExpectDone(*read, c.ending, 0);
        }
        EXPECT_TRUE(device().Held().empty()) << "an ended read went on to the bus";
        return;
    }
    Answer(2048, 10 * reads.size());
    for (size_t i = 0; i < reads.size(); ++i) {
        ExpectDone(*reads[i], STATUS_SUCCESS, 10);
        EXPECT_EQ(reads[i]->Data(), Stream(10 * i, 10)) << "read " << i;
    }
}

using P = emu::Pnp;
INSTANTIATE_TEST_SUITE_P(
    Drains, ReadsAcrossDrain,
    ::testing::Values(DrainCase{"SleepOne", nullptr, nullptr, 1, STATUS_SUCCESS},
                      DrainCase{"SleepFive", nullptr, nullptr, 5, STATUS_SUCCESS},
                      DrainCase{"QueryStopThree", &P::QueryStop, &P::CancelStop, 3, STATUS_SUCCESS},
                      DrainCase{"QueryRemoveTwo", &P::QueryRemove, &P::CancelRemove, 2, STATUS_SUCCESS},
                      DrainCase{"StopEndsThem", &P::QueryStop, &P::Stop, 3, STATUS_INVALID_DEVICE_STATE},
                      DrainCase{"RemoveEndsThem", &P::QueryRemove, &P::Remove, 3, STATUS_INVALID_DEVICE_STATE},
                      DrainCase{"SurpriseRemovalEndsThem", &P::QueryRemove, &P::SurpriseRemove, 3,
                                STATUS_INVALID_DEVICE_STATE},
                      DrainCase{"CancelledWhileAsleep", nullptr, nullptr, 3, STATUS_CANCELLED}),
    [](const ::testing::TestParamInfo<DrainCase>& info) { return std::string(info.param.name); });

// Pauses the first thread other than the test's that opens the bus gate for
// a read (the read's dispatch) at its next interlocked step (before the bus
// read goes down, no lock held), until the test lets it go on.
struct PauseAfterBusGate {
    static inline DeviceContext* context = nullptr;
    static inline std::thread::id testThread, opener;
    static inline std::atomic<bool> paused = false;
    static inline std::promise<void> reached, goOn;

    static void Hook(emu::sched::Point point, const void* object)
    {
        const auto self = std::this_thread::get_id();
        if (self == testThread) {
            return;
        }
        if (opener == std::thread::id{} && point == emu::sched::Point::SpinLockRelease &&
            object == &context->ReadQueueLock && context->BusReadPipe != nullptr) {
            opener = self;  // read while this thread still holds the lock
            return;
        }
        if (self != opener || point != emu::sched::Point::Interlocked || paused.exchange(true)) {
            return;
        }
        reached.set_value();
        goOn.get_future().wait();
    }
};

// A bus read that passed its gate just before a surprise removal reaches the
// bus after the removal aborted the open pipes, on a device still connected:
// nothing but the removal can end it, and the removal must, instead of
// waiting for its reference forever.
TEST_F(ReadQueue, RemovalEndsABusReadSentAfterTheSurpriseRemovalAborted)
{
    const auto grace = std::chrono::milliseconds(StuckTransferGracePeriod / 10'000);
    PauseAfterBusGate::context = Context();
    PauseAfterBusGate::testThread = std::this_thread::get_id();
    emu::sched::SetHook(PauseAfterBusGate::Hook);
    std::unique_ptr<emu::PendingIo> read;
    std::thread reader([&] { read = app().ReadAsync(in_, 10); });
    ASSERT_EQ(PauseAfterBusGate::reached.get_future().wait_for(kWait), std::future_status::ready)
        << "the read never reached the bus gate";
    const NTSTATUS surprise = machine().pnp().SurpriseRemove();
    PauseAfterBusGate::goOn.set_value();
    reader.join();
    EXPECT_EQ(surprise, STATUS_SUCCESS);
    WaitHeld(1);
    emu::sched::SetHook(nullptr);

    auto removal = std::async(std::launch::async, [&] { return machine().pnp().Remove(); });
    if (removal.wait_for(2 * grace) != std::future_status::ready) {
        ADD_FAILURE() << "the removal waits for a bus read nobody aborts";
        device().Disconnect();  // ends the bus read, so that the test can finish
    }
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    ExpectDone(*read, STATUS_CANCELLED, 0);
}

}  // namespace
}  // namespace io_test
