#include "tools/stress/data_pattern.h"

namespace lives {

std::vector<uint8_t> Pattern(size_t length, uint32_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 167 + (i >> 8) * 11 + seed);
    }
    return bytes;
}

}  // namespace lives
