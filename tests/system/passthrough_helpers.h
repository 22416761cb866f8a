// What the tests of the PnP manager and the full life share about the
// pass-through driver: resetting what it saw, its PnP log, its pipe names.
#pragma once

#include "tests/system/passthrough/passthrough.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace system_test {

inline void ResetPassthroughSeen()
{
    std::memset(static_cast<void*>(&PassthroughSeen), 0, sizeof(PassthroughSeen));
}

inline std::vector<UCHAR> PnpLog()
{
    const LONG logged = PassthroughSeen.PnpLogCount;
    const LONG count = std::min<LONG>(logged, static_cast<LONG>(sizeof(PassthroughSeen.PnpLog)));
    return std::vector<UCHAR>(PassthroughSeen.PnpLog, PassthroughSeen.PnpLog + count);
}

// The last `count` entries of the log.
inline std::vector<UCHAR> PnpLogTail(size_t count)
{
    const auto log = PnpLog();
    return std::vector<UCHAR>(log.end() - std::min(count, log.size()), log.end());
}

inline std::u16string PassthroughPath(const std::string& rest = {})
{
    const std::string path = "\\\\.\\passthru" + rest;
    return std::u16string(path.begin(), path.end());
}

}  // namespace system_test
