// Bad input to pondrel-sim: one line on stderr naming the file, the line
// and what is wrong, exit status 2, and no crash.
#include "sim_test_support.h"

namespace tools_test {
namespace {

struct BadScript {
    const char* script;
    const char* message;  // after "pondrel-sim: FILE:"
};

TEST(PondrelSimErrors, BrokenScriptsNameFileLineAndFault)
{
    const BadScript table[] = {
        {"plug\nopen\nfrob h1\n", "3: unknown command 'frob'"},
        {"plug\n  write h1 64k\n", "2: bad number '64k' (0 to 16777216)"},
        {"# comment\nread h1\n", "2: 'read' is missing arguments (usage: read H N)"},
        {"sleep S9", "1: bad sleep state 'S9' (S1 to S4)"},
        {"plug; expect STATUS_WHATEVER", "1: unknown status name 'STATUS_WHATEVER'"},
        {"ioctl h1 frobnicate", "1: unknown control 'frobnicate' (fetch-config, port-reset, pipe-reset or 0xCODE)"},
        {"write h1 hex:0g", "1: bad hex bytes 'hex:0g' (pairs of hex digits)"},
        {"close handle1", "1: bad handle 'handle1' (handles are h1, h2, ...)"},
    };
    for (const auto& test : table) {
        TempFile script(".session", test.script);
        ProgramRun run = RunSim({"--script", script.Path()});
        EXPECT_EQ(run.exitCode, 2) << test.script;
        EXPECT_EQ(run.err, "pondrel-sim: " + script.Path() + ":" + test.message + "\n");
        EXPECT_EQ(run.out, "") << "nothing runs before the whole script is read";
    }
}

TEST(PondrelSimErrors, BrokenCommandStringsAndOptions)
{
    const std::pair<std::vector<std::string>, std::string> table[] = {
        {{"-c", "plug; open; read h1 x"}, "-c:3: bad number 'x' (0 to 16777216)"},
        {{"-c", "plug;;bogus"}, "-c:2: unknown command 'bogus'"},
        {{"--script", "/nonexistent/s.session"},
         "/nonexistent/s.session: cannot read the script (No such file or directory)"},
        {{"--device", "/nonexistent/d.device"}, "/nonexistent/d.device:"},
        {{"--frobnicate"}, "unknown argument '--frobnicate' (pondrel-sim --help lists them)"},
        {{"-c"}, "-c needs a value"},
        {{"--timeout", "soon"}, "--timeout takes milliseconds from 1 to 600000, not 'soon'"},
        {{"--script", "a", "-c", "plug"}, "give either --script FILE or -c COMMANDS, not both"},
        {{"--pcap", "/nonexistent/dir/x.pcap", "-c", "plug"},
         "/nonexistent/dir/x.pcap: cannot write the capture (No such file or directory)"},
        {{"--trace", "/nonexistent/dir/x.json"}, "/nonexistent/dir/x.json: cannot write the trace (No such file or directory)"},
        {{"bench", "--slow"}, "bench: unknown argument '--slow'"},
    };
    for (const auto& [arguments, message] : table) {
        ProgramRun run = RunSim(arguments);
        EXPECT_EQ(run.exitCode, 2) << arguments[0];
        ASSERT_EQ(run.err.substr(0, 13 + message.size()), "pondrel-sim: " + message) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
    }
}

TEST(PondrelSimErrors, BrokenDeviceFilesNameFileAndLine)
{
    const std::pair<const char*, const char*> table[] = {
        {"device 12 01 00 02\nconfig 09 02 zz\n", ":2: 'zz' is not a hex byte\n"},
        {"# nothing but a comment\n", ":"},
        {"frob 00\n", ":1: unknown keyword 'frob' (expected device, config or endpoint)\n"},
        {"device 12 01\nconfig 09 02 09 00 00 01 00 80 32\nendpoint 0x81 loopy\n",
         ":3: unknown behaviour 'loopy' (loopback, source, sink or silent)\n"},
        {"  09 02\n", ":1: continuation line without a device or config line before it\n"},
    };
    for (const auto& [text, message] : table) {
        TempFile device(".device", text);
        ProgramRun run = RunSim({"--device", device.Path(), "-c", "plug"});
        EXPECT_EQ(run.exitCode, 2) << text;
        EXPECT_EQ(run.err.rfind("pondrel-sim: " + device.Path() + message, 0), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(PondrelSimErrors, AHandleThatIsNotOpenStopsTheSessionCleanly)
{
    ProgramRun run = RunSim({"--json", "-c", "plug; open \\PIPE0; close h1; write h1 4; write h9 1"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "pondrel-sim: -c:4: h1 is not an open handle\n");
    auto lines = JsonLines(run);
    EXPECT_EQ(Results(lines).size(), 3u);
    auto summary = SummaryOf(lines);
    EXPECT_TRUE(summary["unloaded"].boolean) << "the machine is still torn down";
    EXPECT_EQ(summary["findings"].number, 0);
}

TEST(PondrelSimErrors, ExpectWithNothingBeforeIt)
{
    ProgramRun run = RunSim({"-c", "expect STATUS_SUCCESS"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "pondrel-sim: -c:1: 'expect' has no result before it to check\n");
}

}  // namespace
}  // namespace tools_test
