// pondrel-sim run as a user runs it: --json over a session that uses every
// command, checked line by line; the exit status that expectations give;
// -v; bad input; the bus's speed. (The sessions of tests/sessions run in
// CTest too, each to exit status 0.)
#include "sim_test_support.h"

#include "emulator/usb/device_model.h"
#include "tools/session/printer.h"
#include "tools/session/text.h"

#include <algorithm>

namespace tools_test {
namespace {

// What each kind of command puts on its line, the data and pipe table
// aside, which are checked after. What the commands do is left to the
// sessions: tests/sessions (cancels, control codes, loopbacks, stalls, sleep,
// wake, removals) and tests/tools/lifecycle.session (every command of the
// device's life and every fault).
TEST(PondrelSimSession, EveryCommandGivesItsResultLine)
{
    // The built-in device: pipe 0 bulk OUT 0x01 and pipe 1 bulk IN 0x81
    // loop back; pipe 2 is interrupt IN 0x83.
    const char* table[] = {
        R"({"cmd":"plug","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":0})",
        R"({"cmd":"open","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":0,"handle":"h1"})",
        R"({"cmd":"ioctl h1 fetch-config","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":53})",
        R"({"cmd":"pipes h1","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":53})",
        R"({"cmd":"open \\PIPE0","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":0,"handle":"h2"})",
        R"({"cmd":"open PIPE1","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":0,"handle":"h3"})",
        R"({"cmd":"open \\PIPE9","status":"STATUS_INVALID_PARAMETER","ntstatus":"0xC000000D","information":0})",
        R"({"cmd":"expect STATUS_INVALID_PARAMETER","status":"STATUS_INVALID_PARAMETER","ntstatus":"0xC000000D",)"
        R"("information":0,"held":true})",
        R"({"cmd":"write h2 300","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":300})",
        R"({"cmd":"read h3 300","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":300})",
        R"({"cmd":"read& h3 64","status":"STATUS_PENDING","ntstatus":"0x00000103","information":0,"request":"r1"})",
        R"({"cmd":"wait 50","status":"STATUS_TIMEOUT","ntstatus":"0x00000102","information":1})",
        R"({"cmd":"cancel h3","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":0})",
        R"({"cmd":"read& h3 64","status":"STATUS_CANCELLED","ntstatus":"0xC0000120","information":0,"request":"r1",)"
        R"("done":true})",
        R"({"cmd":"write& h2 128","status":"STATUS_PENDING","ntstatus":"0x00000103","information":0,"request":"r2"})",
        R"({"cmd":"read& h3 128","status":"STATUS_PENDING","ntstatus":"0x00000103","information":0,"request":"r3"})",
        R"({"cmd":"wait 5000","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":0})",
        R"({"cmd":"write& h2 128","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":128,"request":"r2",)"
        R"("done":true})",
        R"({"cmd":"read& h3 128","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":128,"request":"r3",)"
        R"("done":true})",
    };
    std::string script;
    for (const char* row : table)
        script += Json::parse(row).contains("done") ? "" : Json::parse(row)["cmd"].get<std::string>() + "\n";
    TempFile file(".session", script);
    ProgramRun run = RunSim({"--json", "--script", file.Path()});
    auto lines = JsonLines(run);
    auto results = Results(lines);
    ASSERT_EQ(results.size(), std::size(table));
    for (size_t i = 0; i < results.size(); ++i) {
        Json line = results[i];
        line.erase("data");
        line.erase("pipes");
        EXPECT_EQ(line, Json::parse(table[i])) << "line " << i + 1;
    }

    using session::HexBytes, session::CountingPattern;
    EXPECT_EQ(results[2]["data"], HexBytes(emu::usb::DeviceModel::Builtin().configDescriptor));
    EXPECT_EQ(results[9]["data"], HexBytes(CountingPattern(300)));
    EXPECT_EQ(results[13]["data"], "");
    EXPECT_EQ(results[18]["data"], HexBytes(CountingPattern(128)));
    Json pipes = results[3]["pipes"];
    ASSERT_EQ(pipes.size(), 5u) << "the built-in device's five endpoints";
    EXPECT_EQ(pipes[2]["endpoint"], "0x83");
    EXPECT_EQ(pipes[2]["type"], "interrupt");
    EXPECT_EQ(pipes[4]["direction"], "in");
    EXPECT_EQ(pipes[4]["packet_size"], 512);

    Json summary = SummaryOf(lines);
    EXPECT_EQ(summary["findings"], 0);
    EXPECT_EQ(summary["unloaded"], true);
    EXPECT_EQ(summary["pool_blocks_left"], 0);
    EXPECT_EQ(summary["bytes_written"], 300 + 128);
    EXPECT_EQ(summary["bytes_read"], 300 + 128);
    for (const char* count : {"bus_requests", "pnp_requests", "power_requests"})
        EXPECT_GT(summary[count], 0) << count;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(summary["failures_unexpected"], 1) << "the cancelled read";
    EXPECT_EQ(run.exitCode, 1);
}

// The exit status is 0 only when every expect held and every failure was
// expected (by an expect right after it), with the tally in the summary and
// the reason an expect did not hold on its line; a handle that is not open
// is a result line and the session goes on. A cancel ends only its handle's
// requests. A request Windows never sends in the device's state is not sent,
// with the reason on its line. Whatever a session leaves is torn down (what
// the teardown cancels is not a failure of the session): a request still in
// flight ends (in failure) and is reported, a pending stop is cancelled, the
// driver unloads, nothing is left and nothing found.
TEST(PondrelSimSession, ExitStatusFollowsExpectationsAndFindings)
{
    const struct {
        const char* commands;
        int exitCode;
        int held;
        int failed;
        int unexpected;
        const char* shown = "";  // in the human output
        std::string device;      // a device file, in place of the built-in device
    } table[] = {
        {"plug; open; expect STATUS_SUCCESS; read h1 1; expect STATUS_INVALID_HANDLE", 0, 2, 0, 0},
        {"plug; open \\PIPE7; expect STATUS_SUCCESS", 1, 0, 1, 1},
        {"open; expect STATUS_OBJECT_NAME_NOT_FOUND; plug; expect 0x0", 0, 2, 0, 0},
        {"plug; open \\PIPE1; read& h1 64; open \\PIPE0", 0, 0, 0, 0,
         "open \\PIPE0               STATUS_SUCCESS (0x00000000)               Information 0  -> h2\n"
         "read& h1 64 [r1 done]     STATUS_CANCELLED (0xC0000120)"},
        {"plug; open \\PIPE0; close h1; write h1 4; expect STATUS_INVALID_HANDLE; write h9 1; open", 1, 1, 0, 1},
        {"plug; open \\PIPE0; write h1 3; expect STATUS_SUCCESS 4", 1, 0, 1, 0, "Information 3, expected 4"},
        {"plug; open \\PIPE0; open \\PIPE1; write h1 hex:cafe; read h2 2; expect data hex:cafd", 1, 0, 1, 0,
         "2 bytes, expected 2; first difference at byte 1"},
        {"plug; open; expect data hex:00", 1, 0, 1, 0, "the result before it carries no data"},
        {"plug; open \\PIPE1; open \\PIPE1; read& h1 4; read& h2 4; cancel h1; expect STATUS_CANCELLED; wait 0", 0, 1, 0, 0,
         "wait 0                    STATUS_TIMEOUT (0x00000102)               Information 1  1 request(s) still in flight"},
        {"plug; open \\PIPE1; read& h1 4; read& h1 4; cancel h1; expect STATUS_SUCCESS", 1, 0, 1, 2},
        {"plug; open; loopback h1 h7 10", 1, 0, 0, 1, "h7 is not an open handle"},
        {"plug; stop", 1, 0, 0, 1, "stop                      STATUS_INVALID_DEVICE_STATE (0xC0000184)  Information 0  "
                                   "Windows stops a device only after IRP_MN_QUERY_STOP_DEVICE succeeded\n"},
        {"plug; open; surprise-remove; query-remove; remove; close h1", 1, 0, 0, 2,
         "query-remove              STATUS_INVALID_DEVICE_STATE (0xC0000184)  Information 0  "
         "after a surprise removal Windows sends only IRP_MN_REMOVE_DEVICE\n"
         "remove                    STATUS_INVALID_DEVICE_STATE (0xC0000184)  Information 0  after a surprise "
         "removal Windows sends IRP_MN_REMOVE_DEVICE by itself, once the last handle is closed\n"
         "close h1                  STATUS_SUCCESS (0x00000000)               Information 0  the last handle is "
         "closed: the PnP manager sent IRP_MN_REMOVE_DEVICE and unloaded the driver with its last device\n"},
        {"plug; surprise-remove; plug", 0, 0, 0, 0,
         "surprise-remove           STATUS_SUCCESS (0x00000000)               Information 0  no handle was open: the "
         "PnP manager sent IRP_MN_REMOVE_DEVICE"},
        // The issue's own case: a loopback that finds a wrong byte fails the
        // run. The IN endpoint is a source, so the bytes read back differ from
        // those written at byte 251, where the source's pattern wraps.
        {"plug; open \\PIPE0; open \\PIPE1; loopback h1 h2 1000", 1, 0, 0, 1,
         "STATUS_DATA_ERROR (0xC000003E)            Information 0  first difference at byte 251",
         DeviceFile("81", "endpoint 0x01 sink\nendpoint 0x81 source")},
        {"plug", 1, 0, 0, 1,
         "plug                      STATUS_INVALID_PARAMETER (0xC000000D)     Information 0  the bus refused the "
         "configuration: endpoint 0x01 of interface 0: bulk wMaxPacketSize 64 is not valid at high speed (512)",
         DeviceFile("81", "speed high", "40 00")},
    };
    for (const auto& test : table) {
        SCOPED_TRACE(test.commands);
        TempFile device(".device", test.device);
        std::vector<std::string> arguments = {"-c", test.commands};
        if (!test.device.empty())
            arguments.insert(arguments.begin(), {"--device", device.Path()});
        const std::string human = RunSim(arguments).out;
        arguments.insert(arguments.begin(), "--json");
        ProgramRun run = RunSim(arguments);
        auto lines = JsonLines(run);
        auto summary = SummaryOf(lines);
        EXPECT_EQ(run.exitCode, test.exitCode) << run.out << run.err;
        EXPECT_EQ(summary["expects_held"], test.held);
        EXPECT_EQ(summary["expects_failed"], test.failed);
        EXPECT_EQ(summary["failures_unexpected"], test.unexpected);
        EXPECT_NE(human.find(test.shown), std::string::npos) << human;
        EXPECT_EQ(summary["findings"], 0);
        EXPECT_EQ(summary["unloaded"], true);
        EXPECT_EQ(summary["pool_bytes_left"], 0);
    }
}

TEST(PondrelSimSession, VersionIsTheProjects)
{
    ProgramRun run = RunSim({"--version"});
    EXPECT_EQ(run.out, "pondrel-sim " PONDREL_VERSION "\n");
    EXPECT_EQ(run.exitCode, 0);
}

// -v shows what a read returned as a hex dump, sixteen bytes a row, and a
// fetched configuration decoded. (The pipe table with -v is docs/sessions.md's
// compared example; without, the printer test's.)
TEST(PondrelSimSession, VerboseHumanOutputShowsReadData)
{
    ProgramRun run = RunSim({"-v", "-c", "plug; open \\PIPE0; open \\PIPE1; write h1 hex:000102030405060708090a0b0c0d0e0f1011; "
                                         "read h2 18; open; ioctl h3 fetch-config"});
    for (const char* shown : {"ioctl h3 fetch-config     STATUS_SUCCESS (0x00000000)               Information 53\n"
                              "  Configuration Descriptor:\n",
                              "read h2 18                STATUS_SUCCESS (0x00000000)               Information 18\n"
                              "    0000  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"
                              "    0010  10 11\n"})
        EXPECT_NE(run.out.find(shown), std::string::npos) << run.out;
    EXPECT_EQ(run.exitCode, 0);
}

// Bad input: one line on stderr naming the file, the line and what is wrong
// (a JSON object with --json), exit status 2, nothing run, and no crash. The
// parser's and the device file's own messages are tested where they are
// made; here one of each kind goes through pondrel-sim, with every option it
// refuses. A message ending in "..." is the start of the line (the count of
// a sweep's calls changes with the driver).
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
        {{"-c"}, "", "-c needs a value"},
        {{"--timeout", "soon"}, "", "--timeout takes milliseconds from 1 to 600000, not 'soon'"},
        {{"--script", "a", "-c", "plug"}, "", "give either --script FILE or -c COMMANDS, not both"},
        {{"--pcap", "/nonexistent/dir/x.pcap", "-c", "plug"}, "",
         "/nonexistent/dir/x.pcap: cannot write the capture (No such file or directory)"},
        {{"--trace", "/nonexistent/dir/x.json"}, "", "/nonexistent/dir/x.json: cannot write the trace (No such file or directory)"},
        {{"bench", "--slow"}, "", "bench: unknown argument '--slow'"},
        {{"--script", "/"}, "", "/: is a directory, not a script"},
        {{"stress", "--device", "/"}, "", "stress: /: is a directory, not a device file"},
        {{"--device", "FILE", "-c", "plug"}, " \r\n", "FILE: the device file is empty"},
        {{"--device", "FILE"}, "device 12 01\nconfig 09 02\nfault 0x81 nak 18446744073709551616\n",
         "FILE:3: 'nak' takes a number from 0 to 18446744073709551615, not '18446744073709551616'"},
        {{"-c", "# first\nexpect STATUS_SUCCESS"}, "", "-c:1: 'expect' has no result before it to check"},
        {{"-c", "plug", "-c", "frob"}, "", "-c:2: unknown command 'frob'"},
        {{"--device", "FILE", "--device", "FILE"}, "", "--device given twice"},
        {{"--script", "FILE", "--script", "FILE"}, "plug", "--script given twice (one session is one file; -c may be repeated)"},
        {{"--timeout", "5", "--timeout", "5"}, "", "--timeout given twice"},
        {{"stress", "--seed", "1", "--seed=2"}, "", "stress: --seed given twice"},
        {{"stress", "--lives", "0"}, "", "stress: --lives takes a whole number from 1 to 10000000, not '0'"},
        {{"explore", "--scenario", "two-reads", "--replay", "1 2"}, "",
         "explore: --replay takes the choices a finding printed, numbers from 0 to 255 separated by commas, not '1 2'"},
        {{"explore", "--scenario", "two-reads", "--replay=99999999999999999999999"}, "",
         "explore: --replay takes the choices a finding printed, numbers from 0 to 255 separated by commas, not "
         "'99999999999999999999999'"},
        {{"sweep", "--json", "--scenario", "start", "--fail-at", "0"}, "", "sweep: --fail-at takes a whole number from 1 to ..."},
        {{"sweep", "--scenario", "start", "--fail-at", "1000"}, "", "sweep: --fail-at takes a whole number from 1 to ..."},
    };
    for (const auto& c : cases) {
        TempFile file(".input", c.file);
        std::vector<std::string> arguments = c.arguments;
        for (auto& argument : arguments)
            argument = argument == "FILE" ? file.Path() : argument;
        std::string message = c.message;
        if (message.starts_with("FILE"))
            message.replace(0, 4, file.Path());
        ProgramRun run = RunSim(arguments);
        bool json = std::find(arguments.begin(), arguments.end(), "--json") != arguments.end();
        EXPECT_EQ(run.exitCode, 2) << message;
        if (message.ends_with("...")) {
            message.resize(message.size() - 3);
            const std::string quoted = session::JsonString(message);
            const std::string shown = json ? quoted.substr(1, quoted.size() - 2) : message;
            const size_t cut = run.err.find(shown);
            run.err = cut == std::string::npos ? run.err : run.err.substr(0, cut) + shown + (json ? "\"}}\n" : "\n");
        }
        EXPECT_EQ(run.err, json ? R"({"error":{"program":"pondrel-sim","message":)" + session::JsonString(message) + "}}\n"
                                : "pondrel-sim: " + message + "\n");
        EXPECT_EQ(run.out, "") << "nothing runs before the whole input is read";
    }
}

// The same session, written as editors and shells write it: a byte order
// mark and CRLF line ends (Windows Notepad), or one -c per command, run in
// the order given.
TEST(PondrelSimSession, SessionTextRunsHoweverItIsWritten)
{
    TempFile notepad(".session", "\xEF\xBB\xBFplug\r\nopen \\PIPE0\r\nexpect STATUS_SUCCESS\r\n");
    const std::vector<std::string> ways[] = {
        {"--script", notepad.Path()},
        {"-c", "plug", "-c", "open \\PIPE0", "-c", "expect STATUS_SUCCESS"},
    };
    for (const auto& way : ways) {
        std::vector<std::string> arguments{"--json"};
        arguments.insert(arguments.end(), way.begin(), way.end());
        ProgramRun run = RunSim(arguments);
        std::vector<std::string> commands;
        for (const Json& result : Results(JsonLines(run)))
            commands.push_back(result["cmd"].get<std::string>() + " " + result["status"].get<std::string>());
        EXPECT_EQ(commands, (std::vector<std::string>{"plug STATUS_SUCCESS", "open \\PIPE0 STATUS_SUCCESS",
                                                      "expect STATUS_SUCCESS STATUS_SUCCESS"}))
            << way[1] << run.err;
        EXPECT_EQ(run.exitCode, 0) << run.err;
    }
}

// A loopback's note says how much was checked in a size people read, and
// when it fails, which request failed where and why (a timeout included).
TEST(PondrelSimSession, LoopbackSaysWhatHappened)
{
    const struct {
        const char* faults;
        const char* status;
        const char* note;
    } table[] = {
        {"", "STATUS_SUCCESS", "1000 bytes checked in "},
        {"fault 0x81 silent", "STATUS_CANCELLED",
         "the read of 1000 bytes at byte 0 ended with STATUS_CANCELLED (no answer within 200 ms (--timeout), so it was "
         "cancelled); 0 bytes of 1000 bytes checked before"},
        {"fault 0x01 fail-after 0 USBD_STATUS_CRC", "STATUS_UNSUCCESSFUL",
         "the write of 1000 bytes at byte 0 ended with STATUS_UNSUCCESSFUL; 0 bytes of 1000 bytes checked before"},
    };
    for (const auto& row : table) {
        ProgramRun run = RunSim({"--timeout", "200", "-c",
                                 std::string("plug; open \\PIPE0; open \\PIPE1; ") + row.faults + "; loopback h1 h2 1000"});
        const size_t at = run.out.find("\nloopback h1 h2 1000 ");
        ASSERT_NE(at, std::string::npos) << run.out << run.err;
        EXPECT_EQ(run.out.find('\r'), std::string::npos) << "no progress bar when stdout is not a terminal";
        const std::string line = run.out.substr(at + 1, run.out.find('\n', at + 1) - at - 1);
        EXPECT_NE(line.find(std::string(row.status) + " ("), std::string::npos) << line;
        EXPECT_NE(line.find(std::string("  ") + row.note), std::string::npos) << line;
    }
}

// A stress run on a device that cannot start says with which status.
TEST(PondrelSimErrors, StressSaysWhyTheDeviceDidNotStart)
{
    // bNumEndpoints says 3; the configuration holds 2.
    TempFile device(".dev", "device 12 01 00 02 00 00 00 40 09 12 02 00 00 01 00 00 00 01\n"
                            "config 09 02 20 00 01 01 00 80 32  09 04 00 00 03 ff 00 00 00\n"
                            "  07 05 01 02 00 02 00  07 05 81 02 00 02 00\n");
    ProgramRun run = RunSim({"stress", "--lives", "1", "--device", device.Path()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("  - the device did not start: STATUS_"), std::string::npos) << run.out;
}

// Each command of pondrel-sim explains itself and runs nothing.
TEST(PondrelSimErrors, EachCommandHasItsHelp)
{
    for (const char* command : {"stress", "sweep", "explore", "bench"}) {
        ProgramRun run = RunSim({command, "--help"});
        EXPECT_EQ(run.exitCode, 0) << command << run.err;
        EXPECT_TRUE(run.out.starts_with(std::string("usage: pondrel-sim ") + command + " ")) << run.out;
        EXPECT_NE(run.out.find("--device FILE"), std::string::npos) << run.out;
        EXPECT_EQ(run.err, "");
    }
}

}  // namespace
}  // namespace tools_test
