// Runs pondrel-sim for the tests and reads its JSON lines.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace tools_test {

using Json = nlohmann::json;

// A file in the temporary folder that is removed with the object.
class TempFile {
public:
    explicit TempFile(const std::string& suffix, const std::string& contents = {})
    {
        static std::atomic<int> counter{0};
        path_ = (std::filesystem::temp_directory_path() /
                 ("pondrel-tools-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + suffix))
                    .string();
        std::ofstream(path_, std::ios::binary) << contents;
    }
    ~TempFile() { std::filesystem::remove(path_); }
    const std::string& Path() const { return path_; }
    std::string Read() const
    {
        std::ostringstream text;
        text << std::ifstream(path_, std::ios::binary).rdbuf();
        return text.str();
    }

private:
    std::string path_;
};

// A device file: bulk OUT 0x01 and bulk IN `in`, with `packet` (hex, little
// endian) as their wMaxPacketSize and `lines` (endpoint kinds, a speed) after.
inline std::string DeviceFile(const std::string& in, const std::string& lines, const std::string& packet = "00 02")
{
    return "device 12 01 00 02 00 00 00 40 09 12 02 00 00 01 00 00 00 01\n"
           "config 09 02 20 00 01 01 00 80 32  09 04 00 00 02 ff 00 00 00\n  07 05 01 02 " + packet + " 00  07 05 " +
           in + " 02 " + packet + " 00\n" + lines + "\n";
}

struct ProgramRun {
    int exitCode = -1;  // -1 when it did not run or end normally
    std::string out, err;
};

// pondrel-sim through the shell, each argument single-quoted, stdin empty
// and stderr to a file.
inline ProgramRun RunSim(const std::vector<std::string>& arguments)
{
    TempFile err(".err");
    std::string command = "'" PONDREL_SIM_PATH "' ";
    for (const auto& argument : arguments) {
        command += '\'';
        for (char c : argument)
            command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "' ";
    }
    command += "</dev/null 2>" + err.Path();
    ProgramRun run;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t got; pipe != nullptr && (got = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        run.out.append(buffer, got);
    const int status = pipe == nullptr ? -1 : pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = err.Read();
    return run;
}

// Every line of the output as JSON; a line that is not JSON fails the test.
inline std::vector<Json> JsonLines(const ProgramRun& run)
{
    std::vector<Json> lines;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(Json::parse(line, nullptr, false));
        EXPECT_FALSE(lines.back().is_discarded()) << "not JSON: " << line;
    }
    return lines;
}

// The result lines (objects with "cmd"), in order, and the "summary" object
// (null when there is none).
inline std::vector<Json> Results(const std::vector<Json>& lines)
{
    std::vector<Json> results;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(results),
                 [](const Json& line) { return line.contains("cmd"); });
    return results;
}

inline Json SummaryOf(const std::vector<Json>& lines)
{
    auto found = std::find_if(lines.begin(), lines.end(), [](const Json& line) { return line.contains("summary"); });
    return found == lines.end() ? Json() : (*found)["summary"];
}

}  // namespace tools_test
