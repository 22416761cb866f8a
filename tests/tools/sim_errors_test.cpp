// Bad input to pondrel-sim: one line on stderr naming the file, the line
// and what is wrong (a JSON object with --json), exit status 2, nothing run,
// and no crash. The parser's and the device file's own messages are tested
// where they are made; here one of each kind goes through pondrel-sim, with
// every option it refuses.
#include "sim_test_support.h"

#include "tools/session/printer.h"

#include <algorithm>

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
        {{"--device", "/nonexistent/d.device"}, "", "/nonexistent/d.device: cannot read the device file (No such file or directory)"},
        {{"--device", "FILE"}, "\x89PNG\r\n\x1a\n", "FILE: not a device file (line 1: byte 0x89 is not text)"},
        {{"--\x1b[2J"}, "", "unknown argument '--\\x1b[2J' (pondrel-sim --help lists them)"},
        {{"bench", "--device", "/nonexistent/d.device"}, "",
         "bench: /nonexistent/d.device: cannot read the device file (No such file or directory)"},
        {{"--json", "-c", "plug; frob"}, "", "-c:2: unknown command 'frob'"},
        {{"bench", "--json", "--device"}, "", "bench: --device needs a value"},
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
        bool json = std::find(arguments.begin(), arguments.end(), "--json") != arguments.end();
        EXPECT_EQ(run.exitCode, 2) << message;
        EXPECT_EQ(run.err, json ? R"({"error":{"program":"pondrel-sim","message":)" + session::JsonString(message) + "}}\n"
                                : "pondrel-sim: " + message + "\n");
        EXPECT_EQ(run.out, "") << "nothing runs before the whole input is read";
    }
}

}  // namespace
}  // namespace tools_test
