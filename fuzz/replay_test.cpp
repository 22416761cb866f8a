// Replays every fuzz target's seed corpus and every input that once broke an
// invariant (fuzz/regressions/<target>/) through the target's checks, in the
// ordinary builds, so that a fault found by fuzzing stays fixed.
#include "fuzz/harness/targets.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    std::string (*check)(const uint8_t* data, size_t size);
};

void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }  // the name in CTest's list

class FuzzReplay : public ::testing::TestWithParam<Target> {
protected:
    void TearDown() override { pondrel_fuzz::ReleaseKeptMachine(); }
};

TEST_P(FuzzReplay, EveryKeptInputKeepsTheInvariants)
{
    size_t inputs = 0;
    for (const char* folder : {"corpus", "regressions"}) {
        std::error_code absent;  // a target without regressions has no folder for them
        for (const auto& entry : fs::directory_iterator(fs::path(PONDREL_FUZZ_DIR) / folder / GetParam().name, absent)) {
            std::ifstream file(entry.path(), std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            EXPECT_EQ(GetParam().check(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), "") << entry.path();
            ++inputs;
        }
    }
    EXPECT_GT(inputs, 0u) << "no seed corpus for " << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::Values(Target{"pipe_name", pondrel_fuzz::CheckPipeName},
                                           Target{"config_descriptor", pondrel_fuzz::CheckConfigDescriptor},
                                           Target{"session_script", pondrel_fuzz::CheckSessionScript},
                                           Target{"device_file", pondrel_fuzz::CheckDeviceFile},
                                           Target{"pe_image", pondrel_fuzz::CheckPeImage}),
                         [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

}  // namespace
