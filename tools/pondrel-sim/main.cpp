// pondrel-sim: the pondrel driver in an emulated Windows machine.
//
//   pondrel-sim [options]                    the demo session
//   pondrel-sim [options] --script FILE      a session from a file
//   pondrel-sim [options] -c "cmd; cmd"      a session from the command line
//   pondrel-sim bench [--json] [--quick] [--timed] [--device FILE]   the benchmark
//   pondrel-sim --version
//   pondrel-sim stress|sweep|explore [...]   the bench's own checks
//   pondrel-sim --sys FILE ...               any of these on a PE driver image
#include "tools/pondrel-sim/bench.h"
#include "tools/pondrel-sim/check_commands.h"
#include "tools/pondrel-sim/driver_choice.h"
#include "tools/pondrel-sim/session_run.h"
#include "tools/session/cli.h"

#include <exception>
#include <iostream>
#include <string_view>

namespace {

constexpr const char* kUsage =
    "usage: pondrel-sim [options] [--script FILE | -c \"COMMANDS\"]\n"
    "       pondrel-sim bench [--json] [--quick] [--timed] [--device FILE]\n"
    "       pondrel-sim --version\n"
    "       pondrel-sim stress [--lives N] [--seed S] [--scenario NAME|all] [--no-pending-reads]\n"
    "       pondrel-sim sweep [--scenario NAME [--fail-at K]]\n"
    "       pondrel-sim explore [--budget N] [--scenario NAME [--replay CHOICES]]\n"
    "       (each also takes --device FILE, --json and --sys FILE; COMMAND --help explains it)\n"
    "With no session the demo runs: the device's life from plug-in to unload.\n"
    "options:\n"
    "  --script FILE    the session, from a file\n"
    "  -c COMMANDS      the session, from the command line; a second -c goes on with the same session\n"
    "  --device FILE    the emulated device, from a device file (default: the built-in device)\n"
    "  --json           one JSON object per result line\n"
    "  -v               show what reads return as hex, the configuration fetch-config returns decoded\n"
    "  --pcap FILE      write every URB as a USBPcap capture (tshark -r FILE)\n"
    "  --trace FILE     write the requests as Chrome trace-event JSON (open in Perfetto)\n"
    "  --timeout MS     longest wait for one request before it is cancelled (10000)\n"
    "  --lower-filter   put a filter between the driver and the device, for the lower commands\n"
    "  --sys FILE       run this PE driver image (pondrel.sys) instead of the linked build\n"
    "  --describe-image with --sys: print the image's sections, relocations and imports\n"
    "commands: plug, start, query-stop, cancel-stop, stop, query-remove, cancel-remove,\n"
    "  surprise-remove, remove, unload, sleep S1..S4, resume, wake, open [NAME],\n"
    "  open-interface [NAME], close H, write H N|hex:BYTES, read H N, write& H N, read& H N,\n"
    "  cancel H, ioctl H fetch-config|port-reset|pipe-reset|0xCODE [OUTLEN], pipes H,\n"
    "  loopback HOUT HIN TOTAL [CHUNK], expect STATUS_NAME [N], expect data hex:BYTES, wait MS,\n"
    "  fault EP stall [after N]|nak MS|silent|short N|zlp on|off|fail-after N USBD_STATUS_NAME|leave-after N|clear,\n"
    "  lower fail pnp MINOR STATUS_NAME|fail urb FUNCTION STATUS_NAME|hold urb FUNCTION|release|seen|clear\n"
    "  (a command that starts with # is a comment)\n"
    "exit status: 0 when every step went as expected and the verifier found nothing;\n"
    "  1 when an expect did not hold, a step failed without an expect naming its status,\n"
    "  or the verifier found something; 2 on bad input\n";

constexpr const char* kBenchHelp =
    "usage: pondrel-sim bench [--json] [--quick] [--timed] [--device FILE]\n"
    "The benchmark: loops data back through the driver in the emulator and reports the\n"
    "throughput, the latency of small requests and the driver's share of the CPU time.\n"
    "options:\n"
    "  --quick          short runs (a few seconds), for tests and a first look\n"
    "  --timed          also loop back on the bus model at full, high and super speed: what\n"
    "                   an application sees on a real bus (without it, software cost alone)\n"
    "  --device FILE    measure this device instead of the built-in one\n"
    "  --json           one JSON object instead of the table\n"
    "exit status: 0 when every run ended as expected, 1 otherwise, 2 on bad input\n";

bool reportAsJson = false;  // --json was given: bad input is reported as JSON

int BadInput(const std::string& error)
{
    return session::ReportBadInput(std::cerr, "pondrel-sim", reportAsJson, error);
}

int RunBenchCommand(int argc, char** argv)
{
    sim::BenchOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string_view argument = argv[i];
        std::string error;
        if (argument == "--help" || argument == "-h") {
            std::cout << kBenchHelp;
            return session::ExitSuccess;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--quick") {
            options.quick = true;
        } else if (argument == "--timed") {
            options.timed = true;
        } else if (session::TakeValueOption(argc, argv, &i, {{"--device", &options.deviceFile}}, &error)) {
            if (!error.empty())
                return BadInput("bench: " + error);
        } else {
            return BadInput("bench: unknown argument '" + std::string(argument) + "'");
        }
    }
    return sim::RunBench(options, std::cout, std::cerr);
}

bool ParseOptions(int argc, char** argv, sim::SessionOptions* options, std::string* error)
{
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--lower-filter") {
            options->lowerFilter = true;
            continue;
        }
        if (session::TakeCommonOption(argc, argv, &i, &options->common, error) ||
            session::TakeValueOption(argc, argv, &i,
                                     {{"--device", &options->deviceFile},
                                      {"--pcap", &options->pcapFile},
                                      {"--trace", &options->traceFile}},
                                     error)) {
            if (!error->empty())
                return false;
            continue;
        }
        *error = "unknown argument '" + std::string(argv[i]) + "' (pondrel-sim --help lists them)";
        return false;
    }
    return true;
}

int Main(int argc, char** argv)
{
    reportAsJson = session::WantsJson(argc, argv);
    if (const int status = sim::TakeDriverChoice(&argc, argv, reportAsJson, std::cout, std::cerr); status >= 0)
        return status;
    if (argc > 1 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::cout << kUsage;
        return session::ExitSuccess;
    }
    if (argc > 1 && std::string_view(argv[1]) == "--version") {
        std::cout << "pondrel-sim " << session::Version() << "\n";
        return session::ExitSuccess;
    }
    if (argc > 1 && sim::FindCheckCommand(argv[1]) != nullptr)
        return sim::FindCheckCommand(argv[1])(argc, argv);
    if (argc > 1 && std::string_view(argv[1]) == "bench")
        return RunBenchCommand(argc, argv);
    sim::SessionOptions options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error))
        return BadInput(error);
    return sim::RunSession(options, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Main(argc, argv);
    } catch (const std::exception& failure) {
        session::ReportBadInput(std::cerr, "pondrel-sim", reportAsJson, std::string("internal error: ") + failure.what());
        return session::ExitFailed;
    }
}
