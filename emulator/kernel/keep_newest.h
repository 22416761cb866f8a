// The one way the kernel bounds what it keeps after a release (freed pool,
// deleted device objects, unloaded drivers): kept long enough to catch a
// late use or a second release, but never more than a fixed number, so that
// a machine that lives long (a fuzzer's, a benchmark's) does not grow
// without end.
#pragma once

#include <cstddef>
#include <deque>

namespace emu::kernel {

// Appends `key` to `order` (oldest first) and hands every key beyond the
// newest `limit` to `forget`, oldest first. The caller holds the lock that
// guards `order` and whatever `forget` touches.
template <typename Key, typename Forget>
void KeepNewest(std::deque<Key>& order, Key key, size_t limit, Forget forget)
{
    order.push_back(key);
    while (order.size() > limit) {
        Key oldest = order.front();
        order.pop_front();
        forget(oldest);
    }
}

}  // namespace emu::kernel
