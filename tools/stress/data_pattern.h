// Bytes with a recognisable pattern, for the data a check sends and expects
// back: a byte out of place or from another transfer shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lives {

std::vector<uint8_t> Pattern(size_t length, uint32_t seed);

}  // namespace lives
