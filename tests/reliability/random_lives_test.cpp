// Seeded random lives: application threads against PnP, power and fault
// events drawn from the seed. The order of events is the seed's; how the
// threads interleave with them varies from run to run.
#include "tests/reliability/life_report.h"
#include "tests/reliability/life_settings.h"

#include <gtest/gtest.h>

namespace lives {
namespace {

TEST(RandomLives, EverySeedKeepsTheInvariants)
{
    const LifeSettings& settings = Settings();
    const uint64_t first = settings.single ? settings.seed : settings.firstSeed;
    const uint64_t count = settings.single ? 1 : settings.lives;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        RunAndReport(RandomPlan(seed), ReplayCommand(seed));
        ++RunTotals().seeds;
    }
}

}  // namespace
}  // namespace lives
