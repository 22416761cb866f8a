#include "run_program.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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

ProgramRun RunProgram(const std::vector<std::string>& arguments)
{
    TempFile out(".out");
    TempFile err(".err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.Path().c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.Path().c_str(), O_WRONLY | O_TRUNC, 0);
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    ProgramRun run;
    pid_t child = 0;
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(child, &status, 0);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = out.Read();
    run.err = err.Read();
    return run;
}

}  // namespace tools_test
