// Bulk reads through the receive buffer: served from it at once when it
// holds enough, otherwise after bus reads that fill it, within its room.
#include "tests/io/io_fixture.h"

#include "emulator/kernel/system.h"
#include "emulator/usb/usb_api.h"

namespace io_test {
namespace {

class Reads : public HeldReads {
protected:
    // A read served from the buffer: no allocation, no bus request, no
    // reference left.
    void ExpectServedAtOnce(emu::Handle handle, size_t length, size_t from)
    {
        const size_t urbs = device().Urbs().size();
        const uint64_t allocations = DriverAllocations();
        std::vector<uint8_t> buffer(length);
        const auto result = app().Read(handle, buffer.data(), static_cast<ULONG>(length));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, length);
        EXPECT_EQ(buffer, Stream(from, length));
        EXPECT_EQ(device().Urbs().size(), urbs) << "a read the buffer could serve went to the bus";
        EXPECT_EQ(DriverAllocations(), allocations) << "a read the buffer could serve allocated";
        EXPECT_TRUE(device().Held().empty());
        EXPECT_EQ(IoRefCount(), 1);
    }
};

// A short or empty bus read is followed by another; what the read leaves
// serves later reads at once, down to the last byte, and a read wanting one
// byte more than is buffered waits for a bus read and takes the buffered
// bytes first.
TEST_F(Reads, WorkedExample)
{
    auto read = app().ReadAsync(in_, 100);
    Answer(2048, 0);
    Answer(2048, 64);
    Answer(2048, 512);  // placed behind the 64
    ExpectDone(*read, STATUS_SUCCESS, 100);
    EXPECT_EQ(read->Data(), Stream(0, 100));
    EXPECT_EQ(ReceiveCount(), 476);
    ExpectServedAtOnce(in_, 400, 100);

    auto more = app().ReadAsync(in_, 77);
    Answer(2048, 5);
    ExpectDone(*more, STATUS_SUCCESS, 77);
    EXPECT_EQ(more->Data(), Stream(500, 77));
    ExpectServedAtOnce(in_, 4, 577);
    EXPECT_EQ(ReceiveCount(), 0);
    EXPECT_EQ(BulkUrbs(0x81).size(), 4u);
}

// A 100-byte read gets 20 bytes, then its next bus read fails reporting
// some bytes: the read fails with nothing, and the bytes gathered before
// and those the failed bus read moved stay for the next read. A bus read
// that fails before the bus touched it still carries the length it asked
// for: none of that is taken as received.
TEST_F(Reads, FailedBusReadKeepsTheBytesGatheredAndMoved)
{
    const struct {
        uint32_t reported;
        NTSTATUS status;
        size_t kept;
    } cases[] = {{0, STATUS_UNSUCCESSFUL, 20}, {30, STATUS_CANCELLED, 50}, {2048, STATUS_DEVICE_NOT_CONNECTED, 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE("status " + std::to_string(c.status));
        auto read = app().ReadAsync(in_, 100);
        Answer(2048, 20);
        Answer(2048, c.reported, c.status);
        ExpectDone(*read, c.status, 0);
        EXPECT_EQ(ReceiveCount(), static_cast<LONG>(c.kept));
        const size_t from = sent_ - (c.status == STATUS_DEVICE_NOT_CONNECTED ? 2048 : 0) - c.kept;
        ExpectServedAtOnce(in_, c.kept, from);
    }
}

// When a whole bus read no longer fits in the buffer, the read first takes
// what is buffered into its own buffer, so that every bus read is whole. A
// read that then fails reports the bytes it holds, and those of its last bus
// reads stay for later reads.
TEST_F(Reads, LongReadTakesTheBufferBeforeABusReadWouldNotFitAndFailsWithWhatItHolds)
{
    auto read = app().ReadAsync(in_, 20000);
    for (int i = 0; i < 7; ++i) {
        Answer(2048, 2048);
    }
    Answer(2048, 1000);  // 15336 buffered, 1048 free: taken by the read
    EXPECT_EQ(ReceiveCount(), 0) << "the read did not take the buffered bytes";
    Answer(2048, 100);
    Answer(2048, 0, STATUS_UNSUCCESSFUL);
    ExpectDone(*read, STATUS_UNSUCCESSFUL, 15336);
    EXPECT_EQ(read->Data(), Stream(0, 15336));
    ExpectServedAtOnce(in_, 100, 15336);
}

// Buffered bytes belong to the device, not to a handle: a zero-length read,
// reads refused on the device handle or outside DeviceRunning leave them,
// and once their handle is closed a handle to the other bulk IN pipe reads
// them.
TEST_F(Reads, BufferedBytesOutliveRefusalsAndTheirHandle)
{
    auto first = app().ReadAsync(in_, 1);
    Answer(2048, 41);
    ExpectDone(*first, STATUS_SUCCESS, 1);
    const emu::Handle deviceHandle = Open(u"");
    uint8_t buffer[10];
    const size_t urbs = device().Urbs().size();
    const auto empty = app().Read(in_, buffer, 0);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);
    EXPECT_EQ(device().Urbs().size(), urbs) << "a zero-length read went to the bus";
    EXPECT_EQ(app().Read(deviceHandle, buffer, 10).status, STATUS_INVALID_HANDLE);
    ASSERT_EQ(machine().pnp().QueryStop(), STATUS_SUCCESS);
    const auto refused = app().Read(in_, buffer, 10);
    EXPECT_EQ(refused.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(refused.information, 0u);
    EXPECT_EQ(ReceiveCount(), 40);
    ASSERT_EQ(machine().pnp().CancelStop(), STATUS_SUCCESS);

    Close(in_);
    ExpectServedAtOnce(Open(u"\\PIPE4"), 40, 1);  // bulk IN 0x82
}

// A bus that completes each bus read inside IofCallDriver, with the data
// already waiting: a read that needs many bus reads loops instead of nesting
// one completion per bus read. The device sends each run of `packet` bytes
// as a transfer of its own (a short last packet ends it).
class SynchronousBusReads : public HeldReads {};

TEST_F(SynchronousBusReads, ManyBusReadsGetEveryByteInOrder)
{
    device().SetCompletionMode(emu::usb::CompletionMode::Synchronous);
    // A long read, and one whose bytes come in transfers of 10 bytes.
    for (const auto& [length, run] : {std::pair<ULONG, size_t>{65536, 65536}, {3000, 10}}) {
        SCOPED_TRACE("read of " + std::to_string(length));
        const auto data = Pattern(length, length);
        for (size_t at = 0; at < data.size(); at += run) {
            device().QueueInData(0x81, std::vector<uint8_t>(data.begin() + at, data.begin() + at + run));
        }
        std::vector<uint8_t> got(length);
        const auto result = app().Read(in_, got.data(), length);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, length);
        EXPECT_EQ(got, data);
        EXPECT_EQ(ReceiveCount(), 0);
        EXPECT_EQ(IoRefCount(), 1);
    }
}

}  // namespace
}  // namespace io_test
