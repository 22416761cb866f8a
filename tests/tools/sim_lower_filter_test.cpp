// pondrel-sim --lower-filter: the filter under the driver answers as the
// session's `lower` commands tell it, and lists what went down through it.
#include "sim_test_support.h"

namespace tools_test {
namespace {

constexpr const char* kOpened = "plug; open \\PIPE0; open \\PIPE1; ";

TEST(PondrelSimLowerFilter, AnswersAsToldAndListsWhatWentDown)
{
    const struct {
        bool filter;           // --lower-filter
        std::string commands;  // after kOpened; every expect must hold, no finding (exit status 0)
        std::string seen;      // in the output: an entry of the last `lower seen`
    } cases[] = {
        // A held transfer ends only once released.
        {true,
         "lower hold urb BULK_OR_INTERRUPT_TRANSFER; write& h1 2; wait 300; expect STATUS_TIMEOUT; "
         "lower release; expect STATUS_SUCCESS 1; wait 5000; expect STATUS_SUCCESS 2; lower clear; "
         "read h2 2; expect data hex:0001; lower seen",
         R"({"request":"URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER","filter":"passed"}]})"},
        {true,
         "lower fail urb BULK_OR_INTERRUPT_TRANSFER STATUS_DEVICE_DATA_ERROR; write h1 2; "
         "expect STATUS_DEVICE_DATA_ERROR; lower seen",
         R"({"request":"URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER","filter":"completed","status":"STATUS_DEVICE_DATA_ERROR"})"},
        // A WMI request for a provider elsewhere goes down to the bus driver, which leaves it as it came.
        {true, "system-control EXECUTE_METHOD; expect STATUS_NOT_SUPPORTED; lower seen",
         R"({"request":"IRP_MN_EXECUTE_METHOD","filter":"passed"})"},
        // Without the option there is no filter, and the commands say so.
        {false, "lower seen; expect STATUS_INVALID_DEVICE_REQUEST; write h1 2; read h2 2", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"--json", "-c", kOpened + c.commands};
        if (c.filter)
            arguments.insert(arguments.begin(), "--lower-filter");
        ProgramRun run = RunSim(arguments);
        EXPECT_EQ(run.exitCode, 0) << c.commands << "\n" << run.out << run.err;
        EXPECT_NE(run.out.find(c.seen), std::string::npos) << c.commands << "\n" << run.out;
    }
}

// A removal that waits for a request the filter holds hangs; the report
// names the waiting thread by its role and the driver routine it is in.
TEST(PondrelSimLowerFilter, AHangNamesTheThreadsRoleAndDriverRoutine)
{
    ProgramRun run = RunSim({"--lower-filter", "--timeout", "100", "-c",
                             "plug; open \\PIPE1; lower hold urb ABORT_PIPE; surprise-remove"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("'-c:4 surprise-remove' did not finish within 300 ms; the emulator's blocked threads:\n"
                           "'application', in \\Driver\\pondrel's dispatch routine for IRP_MJ_PNP (minor 0x17), at "
                           "IRQL 0 waits on event "),
              std::string::npos)
        << run.err;
}

TEST(PondrelSimLowerFilter, BadLowerCommandIsBadInput)
{
    ProgramRun run = RunSim({"--lower-filter", "-c", "plug; lower hold pnp START_DEVICE"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("'lower hold' takes urb FUNCTION"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace tools_test
