// The check the stress lives make of what the device received from their
// writer must be able to fail. (Writers and readers at once on the loopback
// device, the stream checked, are the lives of `pondrel-sim stress`; two
// reads racing a bus read's completion, its `explore` scenario two-reads.)
#include "tests/io/io_fixture.h"
#include "tools/stress/write_order.h"

namespace io_test {
namespace {

using lives::WritesArrivedInOrder;

std::vector<uint8_t> Part(const std::vector<uint8_t>& bytes, size_t from, size_t to)
{
    return {bytes.begin() + static_cast<ptrdiff_t>(from), bytes.begin() + static_cast<ptrdiff_t>(to)};
}

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

}  // namespace
}  // namespace io_test
