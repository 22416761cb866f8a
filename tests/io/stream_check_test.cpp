// The stream checks of the concurrency tests must be able to fail.
#include "tests/io/io_fixture.h"
#include "tests/io/stream_check.h"

namespace io_test {
namespace {

std::vector<uint8_t> Part(const std::vector<uint8_t>& bytes, size_t from, size_t to)
{
    return {bytes.begin() + static_cast<ptrdiff_t>(from), bytes.begin() + static_cast<ptrdiff_t>(to)};
}

TEST(StreamCheck, PiecesMustTileTheStreamInEachReadersOrder)
{
    const auto s = Pattern(100, 1);
    const struct {
        const char* what;
        ReaderPieces pieces;
        bool whole;
        bool tiles;
    } cases[] = {
        {"interleaved readers", {{Part(s, 0, 30), Part(s, 60, 100)}, {Part(s, 30, 60)}}, true, true},
        {"a reader's pieces swapped", {{Part(s, 60, 100), Part(s, 0, 30)}, {Part(s, 30, 60)}}, true, false},
        {"a piece read twice", {{Part(s, 0, 30), Part(s, 60, 100)}, {Part(s, 30, 60), Part(s, 30, 60)}}, true, false},
        {"a piece missing", {{Part(s, 0, 30), Part(s, 60, 100)}, {}}, false, false},
        {"the end missing", {{Part(s, 0, 30)}, {Part(s, 30, 60)}}, true, false},
        {"a prefix", {{Part(s, 0, 30)}, {Part(s, 30, 60)}}, false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PiecesTileStream(c.pieces, s, c.whole), c.tiles) << c.what;
    }
}

TEST(StreamCheck, OnlyFailedWritesMayArriveCut)
{
    const auto a = Pattern(50, 2);
    const auto b = Pattern(50, 3);
    auto joined = [](std::vector<uint8_t> first, const std::vector<uint8_t>& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    };
    EXPECT_TRUE(WritesArrivedInOrder({{a, true}, {b, true}}, joined(a, b)));
    EXPECT_FALSE(WritesArrivedInOrder({{a, true}, {b, true}}, joined(b, a)));
    EXPECT_FALSE(WritesArrivedInOrder({{a, true}, {b, true}}, joined(Part(a, 0, 20), b)));
    EXPECT_TRUE(WritesArrivedInOrder({{a, false}, {b, true}}, joined(Part(a, 0, 20), b)));
    EXPECT_TRUE(WritesArrivedInOrder({{a, false}, {b, true}}, b));
    EXPECT_FALSE(WritesArrivedInOrder({{a, false}, {b, true}}, joined(joined(a, a), b)));
}

}  // namespace
}  // namespace io_test
