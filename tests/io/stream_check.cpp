#include "tests/io/stream_check.h"

#include <algorithm>
#include <functional>
#include <set>
#include <utility>

namespace io_test {

bool PiecesTileStream(const ReaderPieces& readers, const std::vector<uint8_t>& stream, bool whole)
{
    std::vector<size_t> next(readers.size(), 0);
    size_t pieces = 0;
    for (const auto& reader : readers) {
        pieces += reader.size();
    }
    // Depth-first over which reader's next piece comes at each position;
    // a wrong choice fails within a few bytes, so backtracking stays rare.
    std::function<bool(size_t, size_t)> extend = [&](size_t position, size_t placed) {
        if (placed == pieces) {
            return !whole || position == stream.size();
        }
        for (size_t r = 0; r < readers.size(); ++r) {
            if (next[r] == readers[r].size()) {
                continue;
            }
            const auto& piece = readers[r][next[r]];
            if (piece.size() > stream.size() - position ||
                !std::equal(piece.begin(), piece.end(), stream.begin() + static_cast<ptrdiff_t>(position))) {
                continue;
            }
            ++next[r];
            if (extend(position + piece.size(), placed + 1)) {
                return true;
            }
            --next[r];
        }
        return false;
    };
    return extend(0, 0);
}

bool WritesArrivedInOrder(const std::vector<WriteRecord>& writes, const std::vector<uint8_t>& received)
{
    std::set<std::pair<size_t, size_t>> failed;  // (write, position) known not to lead to a match
    std::function<bool(size_t, size_t)> match = [&](size_t write, size_t position) {
        if (write == writes.size()) {
            return position == received.size();
        }
        if (failed.count({write, position})) {
            return false;
        }
        const auto& bytes = writes[write].bytes;
        const size_t room = std::min(bytes.size(), received.size() - position);
        const auto at = received.begin() + static_cast<ptrdiff_t>(position);
        const size_t common = static_cast<size_t>(std::mismatch(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(room), at).first -
                                                  bytes.begin());
        if (writes[write].succeeded) {
            if (common == bytes.size() && match(write + 1, position + common)) {
                return true;
            }
        } else {
            for (size_t taken = common + 1; taken-- > 0;) {
                if (match(write + 1, position + taken)) {
                    return true;
                }
            }
        }
        failed.insert({write, position});
        return false;
    };
    return match(0, 0);
}

}  // namespace io_test
