// main() of the random-lives program: gtest's flags first, then the life
// flags (--lives, --first-seed, --seed); the last line of the output sums
// up the run for the reliability table.
#include "tests/reliability/life_settings.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string error;
    if (!lives::ParseLifeSettings(argc, argv, &lives::Settings(), &error)) {
        std::fprintf(stderr, "%s\nusage: %s [gtest flags] [--lives=N] [--first-seed=N] [--seed=N]\n", error.c_str(),
                     argv[0]);
        return 2;
    }
    lives::SetProgramPath(argv[0]);
    const int status = RUN_ALL_TESTS();
    const auto& totals = lives::RunTotals();
    std::printf("reliability: lives seeds=%llu faults=%llu findings=%llu\n",
                static_cast<unsigned long long>(totals.seeds.load()), static_cast<unsigned long long>(totals.faults.load()),
                static_cast<unsigned long long>(totals.findings.load()));
    return status;
}
