// Runs pondrel-sim for the tests and reads its JSON lines.
#pragma once

#include "json_value.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tools_test {

inline const std::string kPondrelSim = PONDREL_SIM_PATH;

inline ProgramRun RunSim(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), kPondrelSim);
    return RunProgram(arguments);
}

// Every line of the output as JSON; a line that is not JSON fails the test.
inline std::vector<JsonValue> JsonLines(const ProgramRun& run)
{
    std::vector<JsonValue> lines;
    for (const auto& line : run.OutLines()) {
        auto value = ParseJson(line);
        EXPECT_TRUE(value) << "not JSON: " << line;
        if (value)
            lines.push_back(std::move(*value));
    }
    return lines;
}

// The result lines (objects with "cmd"), in order.
inline std::vector<JsonValue> Results(const std::vector<JsonValue>& lines)
{
    std::vector<JsonValue> results;
    for (const auto& line : lines) {
        if (line.Has("cmd"))
            results.push_back(line);
    }
    return results;
}

// The "summary" object of the output (null when there is none).
inline JsonValue SummaryOf(const std::vector<JsonValue>& lines)
{
    for (const auto& line : lines) {
        if (line.Has("summary"))
            return line["summary"];
    }
    return {};
}

}  // namespace tools_test
