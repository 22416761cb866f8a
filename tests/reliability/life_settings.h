// How many random lives the program runs and from which seed, as given on
// its command line (after gtest has taken its own flags) or in the
// environment, and the totals its last line reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace lives {

struct LifeSettings {
    uint64_t lives = 200;     // --lives=N, or PONDREL_LIVES
    uint64_t firstSeed = 1;   // --first-seed=N
    bool single = false;      // --seed=N: replay that seed alone
    uint64_t seed = 0;
};

// Parses what InitGoogleTest left; false (with `error` set) on an unknown
// flag or a malformed number.
bool ParseLifeSettings(int argc, char** argv, LifeSettings* settings, std::string* error);

LifeSettings& Settings();

// The command that replays one seed alone.
std::string ReplayCommand(uint64_t seed);
void SetProgramPath(std::string path);

// Counted over every life and scenario of the run.
struct Totals {
    std::atomic<uint64_t> seeds{0};
    std::atomic<uint64_t> faults{0};    // device faults and pool faults injected
    std::atomic<uint64_t> findings{0};  // verifier findings and broken invariants
};
Totals& RunTotals();

}  // namespace lives
