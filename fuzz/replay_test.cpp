// Replays every fuzz target's seed corpus and every input that once broke an
// invariant (fuzz/regressions/<target>/) through the target's checks, in the
// ordinary builds, so that a fault found by fuzzing stays fixed.
#include "fuzz/harness/targets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> InputsOf(const std::string& target)
{
    std::vector<fs::path> inputs;
    for (const char* folder : {"corpus", "regressions"}) {
        const fs::path directory = fs::path(PONDREL_FUZZ_DIR) / folder / target;
        if (!fs::is_directory(directory)) {
            continue;
        }
        for (const auto& entry : fs::directory_iterator(directory)) {
            if (entry.is_regular_file()) {
                inputs.push_back(entry.path());
            }
        }
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

std::vector<uint8_t> ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class FuzzReplay : public ::testing::TestWithParam<const char*> {
protected:
    void TearDown() override { pondrel_fuzz::ReleaseKeptMachine(); }
};

TEST_P(FuzzReplay, EveryKeptInputKeepsTheInvariants)
{
    const pondrel_fuzz::CheckFunction check = pondrel_fuzz::CheckFor(GetParam());
    ASSERT_NE(check, nullptr);
    const std::vector<fs::path> inputs = InputsOf(GetParam());
    ASSERT_FALSE(inputs.empty()) << "no seed corpus for " << GetParam();
    for (const fs::path& input : inputs) {
        const std::vector<uint8_t> bytes = ReadFile(input);
        EXPECT_EQ(check(bytes.data(), bytes.size()), "") << input;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::Values("pipe_name", "config_descriptor", "session_script", "device_file"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
