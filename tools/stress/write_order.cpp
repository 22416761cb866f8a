#include "tools/stress/write_order.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <set>
#include <utility>

namespace lives {

// A failed write may have reached the device in part, so each one can end
// anywhere in its common prefix: a search over (write, position), with the
// positions known to lead nowhere remembered.
bool WritesArrivedInOrder(const std::vector<WriteRecord>& writes, const std::vector<uint8_t>& received)
{
    std::set<std::pair<size_t, size_t>> failed;
    std::function<bool(size_t, size_t)> match = [&](size_t write, size_t position) {
        if (write == writes.size()) {
            return position == received.size();
        }
        if (failed.count({write, position})) {
            return false;
        }
        const auto& bytes = writes[write].bytes;
        const size_t room = std::min(bytes.size(), received.size() - position);
        const auto at = received.begin() + static_cast<std::ptrdiff_t>(position);
        const size_t common = static_cast<size_t>(
            std::mismatch(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(room), at).first - bytes.begin());
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

}  // namespace lives
