// The racing scenarios the interleaving search runs.
#pragma once

#include "tests/interleavings/search.h"

namespace interleavings {

// Arm (at start), completion by the bus after a wake signal, disarm by a stop.
std::unique_ptr<Scenario> WaitWakeArbitration();
// A device power-down whose drain waits for a read the bus completes meanwhile.
std::unique_ptr<Scenario> DrainRacingReadCompletion();
// Query-remove and removal while the first chunk of a write completes.
std::unique_ptr<Scenario> RemovalRacingWrite();
// A second read arrives while the bus read of the first one completes.
std::unique_ptr<Scenario> TwoReadsRacingReceiveBuffer();
// A device query-power drain and a query-remove waiting for the same read,
// then the removal.
std::unique_ptr<Scenario> PowerDrainAndQueryBeforeRemoval();

}  // namespace interleavings
