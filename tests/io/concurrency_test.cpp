// Four writers and four readers at once on the loopback device: what is
// written on pipe 0 comes back on pipe 1 and reaches the readers through
// the one receive buffer.
#include "tests/io/io_fixture.h"
#include "tools/stress/write_order.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

namespace io_test {
namespace {

using lives::WriteRecord;
using lives::WritesArrivedInOrder;
// What several readers got, each reader's pieces in the order it read them.
using ReaderPieces = std::vector<std::vector<std::vector<uint8_t>>>;

// True when the pieces, taken in some order that keeps each reader's own
// order, laid end to end form `stream`. Depth-first over which reader's next piece comes next; a wrong
// choice fails within a few bytes, so backtracking stays rare.
bool PiecesTileStream(const ReaderPieces& readers, const std::vector<uint8_t>& stream)
{
    std::vector<size_t> next(readers.size(), 0);
    std::function<bool(size_t)> extend = [&](size_t position) {
        bool placedAll = true;
        for (size_t r = 0; r < readers.size(); ++r) {
            if (next[r] == readers[r].size())
                continue;
            placedAll = false;
            const auto& piece = readers[r][next[r]];
            if (piece.size() > stream.size() - position ||
                !std::equal(piece.begin(), piece.end(), stream.begin() + static_cast<ptrdiff_t>(position)))
                continue;
            ++next[r];
            if (extend(position + piece.size()))
                return true;
            --next[r];
        }
        return placedAll && position == stream.size();
    };
    return extend(0);
}

std::vector<uint8_t> Part(const std::vector<uint8_t>& bytes, size_t from, size_t to)
{
    return {bytes.begin() + static_cast<ptrdiff_t>(from), bytes.begin() + static_cast<ptrdiff_t>(to)};
}

// The checks below must be able to fail.
TEST(StreamCheck, OrderGapsAndRepeatsAreCaught)
{
    const auto s = Pattern(100, 1);
    const auto a = Part(s, 0, 30), b = Part(s, 30, 60), c = Part(s, 60, 100);
    EXPECT_TRUE(PiecesTileStream({{a, c}, {b}}, s));
    EXPECT_FALSE(PiecesTileStream({{c, a}, {b}}, s)) << "a reader's pieces swapped";
    EXPECT_FALSE(PiecesTileStream({{a, c}, {b, b}}, s)) << "a piece read twice";
    EXPECT_FALSE(PiecesTileStream({{a}, {c}}, s)) << "a piece missing";
    EXPECT_FALSE(PiecesTileStream({{a}, {b}}, s)) << "the end missing";
    const auto ab = Part(s, 0, 60);
    EXPECT_TRUE(WritesArrivedInOrder({{a, true}, {b, true}}, ab));
    EXPECT_FALSE(WritesArrivedInOrder({{b, true}, {a, true}}, ab));
    EXPECT_FALSE(WritesArrivedInOrder({{a, true}, {b, true}}, Part(s, 10, 60))) << "a successful write cut";
    EXPECT_TRUE(WritesArrivedInOrder({{Part(s, 0, 50), false}, {b, true}}, ab)) << "a failed write cut";
    EXPECT_FALSE(WritesArrivedInOrder({{a, false}, {b, true}}, Part(s, 0, 90)));
}

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

// The plan of one run: each writer's writes, decided in advance.
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
    }

    const uint32_t seed;
    std::vector<WriteRecord> writes[kThreads];
    ReaderPieces pieces = ReaderPieces(kThreads);
    size_t total = 0;
};

class Concurrency : public IoFixture {
protected:
    // Four writers and four readers, each on its own handle, through `run`.
    void Start(StreamRun& run)
    {
        for (int t = 0; t < kThreads; ++t) {
            const emu::Handle writer = OpenOk(u"\\PIPE0");
            const emu::Handle reader = OpenOk(u"\\PIPE1");
            threads_.emplace_back([&run, writer, t, this] {
                for (auto& write : run.writes[t]) {
                    const auto result = Finish(*app().WriteAsync(writer, write.bytes));
                    write.succeeded = NT_SUCCESS(result.status);
                    EXPECT_EQ(result.information, write.bytes.size());
                }
            });
            threads_.emplace_back([&run, reader, t, this] {
                // Each reader reads its share of the stream, whatever it is.
                std::mt19937 random(run.seed + 100 + static_cast<uint32_t>(t));
                std::uniform_int_distribution<ULONG> length(1, kMaximumLength);
                for (size_t left = run.total / kThreads + (t == 0 ? run.total % kThreads : 0); left > 0;) {
                    const ULONG wanted = static_cast<ULONG>(std::min<size_t>(left, length(random)));
                    auto io = app().ReadAsync(reader, wanted);
                    const size_t got = Finish(*io).information;
                    EXPECT_EQ(got, wanted);
                    if (got != wanted) {
                        return;
                    }
                    run.pieces[t].push_back(io->Data());
                    left -= wanted;
                }
            });
        }
        for (auto& thread : threads_) {
            thread.join();
        }
    }

    // Waits for the request, which must succeed; one that never completes
    // ends its thread's work.
    emu::IoResult Finish(emu::PendingIo& io)
    {
        if (!io.WaitFor(kWait)) {
            ++unfinished_;
            return {STATUS_IO_TIMEOUT, 0};
        }
        EXPECT_EQ(io.Result().status, STATUS_SUCCESS);
        return io.Result();
    }

    std::vector<std::thread> threads_;
    std::atomic<int> unfinished_{0};
};

// The stream the device received, split by writer, is each writer's writes
// in order; the readers' pieces tile the stream from its start to its end.
// (Random cancels and surprise removals with the stream checked are the
// lives of `pondrel-sim stress`.)
TEST_F(Concurrency, EveryByteArrivesOnceInOrder)
{
    StreamRun run(TestSeed());
    SCOPED_TRACE("PONDREL_SEED=" + std::to_string(run.seed));
    Start(run);
    EXPECT_EQ(unfinished_.load(), 0) << "requests never completed";
    const auto stream = device().ReceivedOut(0x01);
    EXPECT_EQ(stream.size(), run.total);
    for (int writer = 0; writer < kThreads; ++writer) {
        EXPECT_TRUE(WritesArrivedInOrder(run.writes[writer], BytesOfWriter(stream, writer)))
            << "writer " << writer << "'s bytes arrived out of order, twice or not at all";
    }
    EXPECT_TRUE(PiecesTileStream(run.pieces, stream))
        << "the readers' bytes are not the device's stream, once and in order";
    EXPECT_EQ(ReceiveCount(), 0);
    EXPECT_EQ(IoRefCount(), 1);
    EXPECT_EQ(ExtraPoolBlocks(), 0);
}

}  // namespace
}  // namespace io_test
