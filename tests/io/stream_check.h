// Checks of byte streams that several threads wrote and read at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace io_test {

// What several readers got, each reader's pieces in the order it read them.
using ReaderPieces = std::vector<std::vector<std::vector<uint8_t>>>;

// True when the pieces, taken in some order that keeps each reader's own
// order, laid end to end form the first bytes of `stream` (all of it when
// `whole`): every byte read once, none skipped, in the order sent.
bool PiecesTileStream(const ReaderPieces& readers, const std::vector<uint8_t>& stream, bool whole);

// One write as its writer made it: the bytes and whether it succeeded.
struct WriteRecord {
    std::vector<uint8_t> bytes;
    bool succeeded;
};

// True when `received` is the writer's writes in order, each successful one
// whole and each failed one cut to a prefix (possibly empty).
bool WritesArrivedInOrder(const std::vector<WriteRecord>& writes, const std::vector<uint8_t>& received);

}  // namespace io_test
