// Bad input to pondrel-sim: one line on stderr naming the file, the line
// and what is wrong, exit status 2, nothing run, and no crash. The parser's
// and the device file's own messages are tested where they are made; here
// one of each kind goes through pondrel-sim, with every option it refuses.
#include "sim_test_support.h"

namespace tools_test {
namespace {

TEST(PondrelSimErrors, BadInputGivesOneLineAndExitStatus2)
{
    const struct {
        std::vector<std::string> arguments;  // FILE: a file holding `file`
        const char* file;
        std::string message;  // after "pondrel-sim: "; FILE as above
    } cases[] = {
        {{"--script", "FILE"}, "plug\nopen\nfrob h1\n", "FILE:3: unknown command 'frob'"},
        {{"-c", "plug; open; read h1 x"}, "", "-c:3: bad number 'x' (0 to 16777216)"},
        {{"--script", "/nonexistent/s.session"}, "",
         "/nonexistent/s.session: cannot read the script (No such file or directory)"},
        {{"--device", "FILE", "-c", "plug"}, "device 12 01 00 02\nconfig 09 02 zz\n", "FILE:2: 'zz' is not a hex byte"},
        {{"--device", "/nonexistent/d.device"}, "", "/nonexistent/d.device:0: cannot open the file"},
        {{"--frobnicate"}, "", "unknown argument '--frobnicate' (pondrel-sim --help lists them)"},
        {{"-c"}, "", "-c needs a value"},
        {{"--timeout", "soon"}, "", "--timeout takes milliseconds from 1 to 600000, not 'soon'"},
        {{"--script", "a", "-c", "plug"}, "", "give either --script FILE or -c COMMANDS, not both"},
        {{"--pcap", "/nonexistent/dir/x.pcap", "-c", "plug"}, "",
         "/nonexistent/dir/x.pcap: cannot write the capture (No such file or directory)"},
        {{"--trace", "/nonexistent/dir/x.json"}, "", "/nonexistent/dir/x.json: cannot write the trace (No such file or directory)"},
        {{"bench", "--slow"}, "", "bench: unknown argument '--slow'"},
    };
    for (const auto& c : cases) {
        TempFile file(".input", c.file);
        std::vector<std::string> arguments = c.arguments;
        for (auto& argument : arguments) {
            argument = argument == "FILE" ? file.Path() : argument;
        }
        std::string message = c.message;
        if (message.rfind("FILE", 0) == 0) {
            message.replace(0, 4, file.Path());
        }
        ProgramRun run = RunSim(arguments);
        EXPECT_EQ(run.exitCode, 2) << message;
        EXPECT_EQ(run.err, "pondrel-sim: " + message + "\n");
        EXPECT_EQ(run.out, "") << "nothing runs before the whole input is read";
    }
}

// A handle that is not open stops the session at that command; the
// machine is still torn down cleanly.
TEST(PondrelSimErrors, AHandleThatIsNotOpenStopsTheSessionCleanly)
{
    ProgramRun run = RunSim({"--json", "-c", "plug; open \\PIPE0; close h1; write h1 4; write h9 1"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "pondrel-sim: -c:4: h1 is not an open handle\n");
    auto lines = JsonLines(run);
    EXPECT_EQ(Results(lines).size(), 3u);
    auto summary = SummaryOf(lines);
    EXPECT_TRUE(summary["unloaded"].boolean);
    EXPECT_EQ(summary["findings"].number, 0);
}

}  // namespace
}  // namespace tools_test
