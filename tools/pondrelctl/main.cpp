// pondrelctl: runs session commands against the installed pondrel driver.
//
//   pondrelctl [options] -c "open \PIPE0; write h1 64; close h1"
//   pondrelctl [options] --script FILE
//   pondrelctl [options] loopback [TOTAL [CHUNK]]
//   pondrelctl --version
#include "include/pondrel.h"
#include "tools/pondrelctl/win32_backend.h"
#include "tools/session/cli.h"
#include "tools/session/executor.h"
#include "tools/session/parser.h"
#include "tools/session/status_names.h"
#include "tools/session/text.h"

#include <iostream>
#include <string_view>

namespace {

constexpr const char* kUsage =
    "usage: pondrelctl [options] -c \"COMMANDS\" | --script FILE | loopback [TOTAL [CHUNK]]\n"
    "       pondrelctl --version\n"
    "options:\n"
    "  -c COMMANDS      the session; a second -c goes on with the same session\n"
    "  --script FILE    the session, from a file (a byte order mark and CR LF are fine)\n"
    "  --json           one JSON object per result line\n"
    "  -v               show what reads return as hex, the configuration fetch-config returns decoded\n"
    "  --timeout MS     longest wait for one request before it is cancelled (10000)\n"
    "  --path PATH      the device (\\\\.\\pondrel)\n"
    "  --out NAME       loopback: the pipe written (\\PIPE0)\n"
    "  --in NAME        loopback: the pipe read (\\PIPE1)\n"
    "  --test-bus       drive the device's life through the test bus of the Wine run:\n"
    "                   plug, surprise-remove, remove, sleep, resume, wake, fault\n"
    "commands: open [NAME], open-interface [NAME], close H, write H N|hex:BYTES, read H N,\n"
    "  write& H N, read& H N, ioctl H fetch-config|port-reset|pipe-reset|0xCODE [OUTLEN],\n"
    "  cancel H, pipes H, loopback HOUT HIN TOTAL [CHUNK], expect STATUS_NAME [N],\n"
    "  expect data hex:BYTES, wait MS (a command that starts with # is a comment)\n"
    "exit status: 0 when every step went as expected; 1 when an expect did not hold or a\n"
    "  step failed without an expect naming its status; 2 on bad input\n";

struct Options {
    session::CommonOptions common;
    std::string path;  // empty until given: an option given twice is refused
    std::string out;
    std::string in;
    bool loopback = false;
    bool testBus = false;
    uint64_t total = 1 << 20;
    uint64_t chunk = 65536;
};

bool reportAsJson = false;  // --json was given: bad input is reported as JSON

int BadInput(const std::string& error)
{
    return session::ReportBadInput(std::cerr, "pondrelctl", reportAsJson, error);
}

// 0 when every expect held and every failure was expected, else 1.
int SessionExitStatus(const session::Executor& executor)
{
    bool clean = executor.ExpectsFailed() == 0 && executor.UnexpectedFailures() == 0;
    return clean ? session::ExitSuccess : session::ExitFailed;
}

bool LoopbackArguments(int argc, char** argv, int* index, Options* options, std::string* error)
{
    if (options->loopback) {
        *error = "loopback given twice";
        return false;
    }
    options->loopback = true;
    uint64_t* figures[] = {&options->total, &options->chunk};
    for (uint64_t* figure : figures) {
        if (*index + 1 >= argc || argv[*index + 1][0] == '-')
            return true;
        std::string_view value = argv[++*index];
        auto number = session::ParseNumber(value, session::MaxCommandLength);
        if (!number || *number == 0) {
            *error = "loopback: TOTAL and CHUNK take a whole number from 1 to " +
                     std::to_string(session::MaxCommandLength) + ", not '" + std::string(value) + "'";
            return false;
        }
        *figure = *number;
    }
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error)
{
    for (int i = 1; i < argc; ++i) {
        if (session::TakeCommonOption(argc, argv, &i, &options->common, error) ||
            session::TakeValueOption(argc, argv, &i,
                                     {{"--path", &options->path}, {"--out", &options->out}, {"--in", &options->in}},
                                     error)) {
            if (!error->empty())
                return false;
            continue;
        }
        if (std::string_view(argv[i]) == "--test-bus") {
            options->testBus = true;
            continue;
        }
        if (std::string_view(argv[i]) != "loopback") {
            *error = "unknown argument '" + std::string(argv[i]) + "'";
            return false;
        }
        if (!LoopbackArguments(argc, argv, &i, options, error))
            return false;
    }
    if (options->loopback && (options->common.hasScript || options->common.hasCommands)) {
        *error = "give a session (--script or -c) or loopback, not both";
        return false;
    }
        options->path = options->path.empty() ? PONDREL_DEVICE_PATH : options->path;
    options->out = options->out.empty() ? "\\PIPE0" : options->out;
    options->in = options->in.empty() ? "\\PIPE1" : options->in;
    return true;
}

session::Command Command(const std::vector<std::string_view>& words)
{
    std::string error;
    auto command = session::ParseCommand(words, &error);
    command->source = "loopback";
    return *command;
}

// Opens both pipes and sends TOTAL bytes through them, checking each byte.
int RunLoopback(session::Executor& executor, const Options& options)
{
    std::string total = std::to_string(options.total);
    std::string chunk = std::to_string(options.chunk);
    std::string error;
    for (const std::string* name : {&options.out, &options.in}) {
        executor.Execute(Command({"open", *name}), &error);
        if (!session::IsSuccess(executor.LastResult()->status))
            return session::ExitFailed;
    }
    executor.Execute(Command({"loopback", "h1", "h2", total, chunk}), &error);
    bool passed = executor.LastResult()->status == session::StatusSuccess;
    executor.Execute(Command({"close", "h1"}), &error);
    executor.Execute(Command({"close", "h2"}), &error);
    return passed ? session::ExitSuccess : session::ExitFailed;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    if (argc < 2) {
        std::cerr << kUsage;
        return session::ExitBadInput;
    }
    reportAsJson = session::WantsJson(argc, argv);
    if (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h") {
        std::cout << kUsage;
        return session::ExitSuccess;
    }
    if (std::string_view(argv[1]) == "--version") {
        std::cout << "pondrelctl " << session::Version() << "\n";
        return session::ExitSuccess;
    }
    if (!ParseOptions(argc, argv, &options, &error)) {
        BadInput(error);
        if (!reportAsJson)
            std::cerr << kUsage;
        return session::ExitBadInput;
    }

    pondrelctl::Win32Backend backend(options.path, std::chrono::milliseconds(options.common.timeoutMs),
                                     options.testBus);
    session::Printer printer(std::cout, options.common.json ? session::Printer::Style::Json
                                                            : session::Printer::Style::Human,
                             options.common.verbose);
    session::Executor executor(backend, printer);
    if (options.loopback)
        return RunLoopback(executor, options);

    auto commands = session::LoadSessionCommands(options.common, &error);
    if (!commands || !executor.CheckSupported(*commands, &error))
        return BadInput(error);
    if (!executor.Run(*commands, &error))
        return BadInput(error);
    // Counted before the drain, as pondrel-sim counts before its teardown.
    int exitStatus = SessionExitStatus(executor);
    if (executor.Drain(std::chrono::milliseconds(options.common.timeoutMs)) != 0)
        std::cerr << "pondrelctl: requests still in flight at the end of the session\n";
    for (auto handle : executor.OpenHandles())
        backend.Close(handle);
    return exitStatus;
}
