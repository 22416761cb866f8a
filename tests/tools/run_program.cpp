#include "run_program.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace tools_test {

std::vector<std::string> ProgramRun::OutLines() const
{
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TempFile::TempFile(const std::string& suffix, const std::string& contents)
{
    static std::atomic<int> counter{0};
    path_ = (std::filesystem::temp_directory_path() /
             ("pondrel-tools-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + suffix))
                .string();
    std::ofstream(path_, std::ios::binary) << contents;
}

TempFile::~TempFile()
{
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

std::string TempFile::Read() const
{
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Through the shell, each argument single-quoted, stdin empty and stderr
// to a file.
ProgramRun RunProgram(const std::vector<std::string>& arguments)
{
    TempFile err(".err");
    std::string command;
    for (const auto& argument : arguments) {
        command += '\'';
        for (char c : argument)
            command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "' ";
    }
    command += "</dev/null 2>" + err.Path();
    ProgramRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        run.out.append(buffer, got);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = err.Read();
    return run;
}

}  // namespace tools_test
