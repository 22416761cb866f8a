// Four writers and four readers at once on the loopback device: what is
// written on pipe 0 comes back on pipe 1 and reaches the readers through
// the one receive buffer. (Random cancels and surprise removals with the
// stream checked are the lives of `pondrel-sim stress`.)
#include "tests/io/io_fixture.h"
#include "tools/stress/write_order.h"

#include <map>
#include <random>
#include <thread>

namespace io_test {
namespace {

using lives::WritesArrivedInOrder;

std::vector<uint8_t> Part(const std::vector<uint8_t>& bytes, size_t from, size_t to)
{
    return {bytes.begin() + static_cast<ptrdiff_t>(from), bytes.begin() + static_cast<ptrdiff_t>(to)};
}

// The check of the stress lives' stream must be able to fail.
TEST(StreamCheck, OrderGapsAndRepeatsAreCaught)
{
    const auto s = Pattern(100, 1);
    const auto a = Part(s, 0, 30), b = Part(s, 30, 60), ab = Part(s, 0, 60);
    EXPECT_TRUE(WritesArrivedInOrder({{a, true}, {b, true}}, ab));
    EXPECT_FALSE(WritesArrivedInOrder({{b, true}, {a, true}}, ab));
    EXPECT_FALSE(WritesArrivedInOrder({{a, true}, {b, true}}, Part(s, 10, 60))) << "a successful write cut";
    EXPECT_TRUE(WritesArrivedInOrder({{Part(s, 0, 50), false}, {b, true}}, ab)) << "a failed write cut";
    EXPECT_FALSE(WritesArrivedInOrder({{a, false}, {b, true}}, Part(s, 0, 90)));
}

constexpr uint32_t kThreads = 4;

// The stream is made of 4-byte words, each naming its writer (top byte) and
// its place in that writer's bytes; every length is whole words, so each
// read starts at a word that says where in the stream it begins.
uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

class Concurrency : public IoFixture {
protected:
    // Waits for the request, which must move all `length` bytes.
    static bool Finish(emu::PendingIo& io, ULONG length)
    {
        if (!io.WaitFor(kWait)) {
            ADD_FAILURE() << "a request never completed";
            return false;
        }
        EXPECT_EQ(io.Result().status, STATUS_SUCCESS);
        EXPECT_EQ(io.Result().information, length);
        return io.Result().information == length;
    }
};

// Each writer's words arrive once and in order; the readers' pieces, put
// where their first word says, are the device's stream from its start to
// its end, each reader's in the order it read them.
TEST_F(Concurrency, EveryByteArrivesOnceInOrder)
{
    std::mt19937 random(20240611);
    std::uniform_int_distribution<ULONG> words(1, 16384);
    std::vector<std::vector<ULONG>> writes(kThreads), reads(kThreads);  // lengths in bytes
    size_t total = 0;
    for (auto& lengths : writes) {
        for (int i = 0; i < 5; ++i) {
            lengths.push_back(4 * words(random));
            total += lengths.back();
        }
    }
    for (uint32_t t = 0; t < kThreads; ++t) {
        for (size_t left = total / 4 / kThreads + (t == 0 ? total / 4 % kThreads : 0); left > 0;) {
            const ULONG length = std::min<ULONG>(static_cast<ULONG>(left), words(random));
            reads[t].push_back(4 * length);
            left -= length;
        }
    }

    std::vector<std::vector<std::vector<uint8_t>>> pieces(kThreads);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t) {
        const emu::Handle out = OpenOk(u"\\PIPE0");
        const emu::Handle in = OpenOk(u"\\PIPE1");
        threads.emplace_back([&, t, out] {
            uint32_t word = t << 24;
            for (ULONG length : writes[t]) {
                std::vector<uint8_t> bytes;
                for (; bytes.size() < length; ++word) {
                    bytes.insert(bytes.end(), {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(t)});
                }
                Finish(*app().WriteAsync(out, bytes), length);
            }
        });
        threads.emplace_back([&, t, in] {
            for (ULONG length : reads[t]) {
                auto io = app().ReadAsync(in, length);
                if (!Finish(*io, length)) {
                    return;
                }
                pieces[t].push_back(io->Data());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    const auto stream = device().ReceivedOut(0x01);
    ASSERT_EQ(stream.size(), total);
    std::map<uint32_t, size_t> where;  // each word's offset in the stream
    std::vector<uint32_t> next(kThreads, 0);
    for (size_t at = 0; at < total; at += 4) {
        const uint32_t word = WordAt(stream, at);
        ASSERT_LT(word >> 24, kThreads);
        ASSERT_EQ(word & 0xFFFFFF, next[word >> 24]++) << "a writer's bytes out of order, twice or missing at " << at;
        where[word] = at;
    }
    std::map<size_t, const std::vector<uint8_t>*> byOffset;
    for (const auto& reader : pieces) {
        size_t previous = SIZE_MAX;
        for (const auto& piece : reader) {
            const auto found = where.find(WordAt(piece, 0));
            ASSERT_NE(found, where.end()) << "a read got bytes nobody wrote";
            EXPECT_TRUE(previous == SIZE_MAX || found->second > previous) << "a reader's pieces out of order";
            EXPECT_TRUE(byOffset.emplace(found->second, &piece).second) << "two reads got the same bytes";
            previous = found->second;
        }
    }
    std::vector<uint8_t> read;
    for (const auto& [offset, piece] : byOffset) {
        EXPECT_EQ(offset, read.size()) << "bytes read twice or never";
        read.insert(read.end(), piece->begin(), piece->end());
    }
    EXPECT_TRUE(read == stream) << "the readers' bytes are not the device's stream, once and in order";
    EXPECT_EQ(ReceiveCount(), 0);
    EXPECT_EQ(IoRefCount(), 1);
    EXPECT_EQ(ExtraPoolBlocks(), 0);
}

}  // namespace
}  // namespace io_test
