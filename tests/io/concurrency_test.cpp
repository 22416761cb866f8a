// Four writers and four readers at once on the loopback device: what is
// written on pipe 0 comes back on pipe 1 and reaches the readers through
// the one receive buffer.
#include "tests/io/io_fixture.h"
#include "tests/io/stream_check.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

namespace io_test {
namespace {

constexpr int kThreads = 4;
constexpr int kWritesPerWriter = 5;
constexpr ULONG kMaximumLength = 65536;

// Every byte a writer sends carries the writer in its two top bits, so the
// device's stream can be split back into what each writer sent; the six
// low bits follow the writer's own sequence.
std::vector<uint8_t> WriterBytes(int writer, size_t offset, size_t length, uint32_t seed)
{
    const auto payload = Pattern(offset + length, seed * 31 + static_cast<uint32_t>(writer));
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(writer << 6 | (payload[offset + i] & 0x3F));
    }
    return bytes;
}

std::vector<uint8_t> BytesOfWriter(const std::vector<uint8_t>& stream, int writer)
{
    std::vector<uint8_t> bytes;
    for (uint8_t byte : stream) {
        if (byte >> 6 == writer) {
            bytes.push_back(byte);
        }
    }
    return bytes;
}

uint32_t TestSeed()
{
    const char* text = std::getenv("PONDREL_SEED");
    return text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 20240611u;
}

// The shared plan of one run: each writer's writes, decided in advance, and
// the budget of bytes the readers may still ask for.
struct StreamRun {
    explicit StreamRun(uint32_t seed) : seed(seed)
    {
        std::mt19937 random(seed);
        std::uniform_int_distribution<ULONG> length(1, kMaximumLength);
        for (int writer = 0; writer < kThreads; ++writer) {
            size_t offset = 0;
            for (int i = 0; i < kWritesPerWriter; ++i) {
                const ULONG size = length(random);
                writes[writer].push_back({WriterBytes(writer, offset, size, seed), false});
                offset += size;
                total += size;
            }
        }
        unclaimed = static_cast<int64_t>(total);
    }

    // Takes up to `wanted` bytes of the readers' budget; 0 when none is left.
    ULONG Claim(ULONG wanted)
    {
        int64_t left = unclaimed.load();
        while (left > 0 && !unclaimed.compare_exchange_weak(left, left - std::min<int64_t>(left, wanted))) {
        }
        return static_cast<ULONG>(std::max<int64_t>(0, std::min<int64_t>(left, wanted)));
    }

    void GiveBack(ULONG bytes) { unclaimed += bytes; }

    void Written(size_t bytes)
    {
        std::lock_guard lock(mutex);
        written += bytes;
        progress.notify_all();
    }

    const uint32_t seed;
    std::vector<WriteRecord> writes[kThreads];
    ReaderPieces pieces = ReaderPieces(kThreads);
    size_t total = 0;
    std::atomic<int64_t> unclaimed{0};
    std::mutex mutex;
    std::condition_variable progress;
    size_t written = 0;
};

class Concurrency : public IoFixture {
protected:
    // Four writers and four readers, each on its own handle, through `run`.
    // With `cancels` a quarter of the requests are cancelled at random, and a
    // thread stops at the first request the device's removal ends.
    void Start(StreamRun& run, bool cancels)
    {
        for (int t = 0; t < kThreads; ++t) {
            const emu::Handle writer = OpenOk(u"\\PIPE0");
            const emu::Handle reader = OpenOk(u"\\PIPE1");
            threads_.emplace_back([&run, cancels, writer, t, this] {
                std::mt19937 random(run.seed + static_cast<uint32_t>(t));
                for (auto& write : run.writes[t]) {
                    auto io = app().WriteAsync(writer, write.bytes);
                    const auto result = Finish(*io, random, cancels);
                    write.succeeded = NT_SUCCESS(result.status);
                    if (write.succeeded) {
                        EXPECT_EQ(result.information, write.bytes.size());
                    }
                    run.Written(write.bytes.size());
                    if (Ends(result.status)) {
                        return;
                    }
                }
            });
            threads_.emplace_back([&run, cancels, reader, t, this] {
                std::mt19937 random(run.seed + 100 + static_cast<uint32_t>(t));
                std::uniform_int_distribution<ULONG> length(1, kMaximumLength);
                while (const ULONG wanted = run.Claim(length(random))) {
                    auto io = app().ReadAsync(reader, wanted);
                    const auto result = Finish(*io, random, cancels);
                    EXPECT_LE(result.information, wanted);
                    if (NT_SUCCESS(result.status)) {
                        EXPECT_EQ(result.information, wanted);
                    }
                    if (result.information > 0) {
                        run.pieces[t].push_back(io->Data());
                    }
                    run.GiveBack(wanted - static_cast<ULONG>(result.information));
                    if (Ends(result.status)) {
                        return;
                    }
                }
            });
        }
    }

    void Join()
    {
        for (auto& thread : threads_) {
            thread.join();
        }
    }

    // Waits for the request, cancelled at random when `cancels`; a request
    // that never completes counts as unfinished and ends its thread.
    emu::IoResult Finish(emu::PendingIo& io, std::mt19937& random, bool cancels)
    {
        if (cancels && random() % 4 == 0) {
            io.Cancel();
        }
        if (!io.WaitFor(kWait)) {
            ++unfinished_;
            return {STATUS_IO_TIMEOUT, 0};
        }
        const auto result = io.Result();
        if (!cancels) {
            EXPECT_EQ(result.status, STATUS_SUCCESS);
        }
        return result;
    }

    // A failure other than a cancel: the device is gone, nothing more will pass.
    static bool Ends(NTSTATUS status) { return !NT_SUCCESS(status) && status != STATUS_CANCELLED; }

    // The stream the device received, split by writer, is each writer's
    // writes in order; the readers' pieces tile the stream from its start.
    void ExpectEveryByteOnceInOrder(StreamRun& run, bool whole)
    {
        EXPECT_EQ(unfinished_.load(), 0) << "requests never completed";
        const auto stream = device().ReceivedOut(0x01);
        if (whole) {
            EXPECT_EQ(stream.size(), run.total);
        }
        for (int writer = 0; writer < kThreads; ++writer) {
            EXPECT_TRUE(WritesArrivedInOrder(run.writes[writer], BytesOfWriter(stream, writer)))
                << "writer " << writer << "'s bytes arrived out of order, twice or not at all";
        }
        EXPECT_TRUE(PiecesTileStream(run.pieces, stream, whole))
            << "the readers' bytes are not the device's stream, once and in order";
    }

    std::vector<std::thread> threads_;
    std::atomic<int> unfinished_{0};
};

TEST_F(Concurrency, EveryByteArrivesOnceInOrder)
{
    StreamRun run(TestSeed());
    SCOPED_TRACE("PONDREL_SEED=" + std::to_string(run.seed));
    Start(run, false);
    Join();
    ExpectEveryByteOnceInOrder(run, true);
    EXPECT_EQ(ReceiveCount(), 0);
    EXPECT_EQ(IoRefCount(), 1);
    EXPECT_EQ(ExtraPoolBlocks(), 0);
}

// Requests cancelled at random while the device is surprise-removed half-way:
// each request completes once, no byte is read twice or out of order, and
// nothing is left behind once the device is gone.
TEST_F(Concurrency, CancelsAndSurpriseRemovalEndEveryRequestOnce)
{
    StreamRun run(TestSeed() + 1);
    SCOPED_TRACE("PONDREL_SEED=" + std::to_string(run.seed - 1));
    Start(run, true);
    {
        std::unique_lock lock(run.mutex);
        EXPECT_TRUE(run.progress.wait_for(lock, kWait, [&] { return run.written >= run.total / 2; }));
    }
    device().Disconnect();
    Join();

    const bool writeFailed = std::any_of(std::begin(run.writes), std::end(run.writes), [](const auto& writes) {
        return std::any_of(writes.begin(), writes.end(), [](const WriteRecord& write) { return !write.succeeded; });
    });
    EXPECT_TRUE(writeFailed) << "the removal came too late to end any write";
    ExpectEveryByteOnceInOrder(run, false);
    ShutDown();
}

}  // namespace
}  // namespace io_test
