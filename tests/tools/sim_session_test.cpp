// pondrel-sim --json over a session that uses every command, checked line
// by line; the exit status that expectations give; -v.
#include "sim_test_support.h"

#include "emulator/usb/device_model.h"
#include "tools/session/status_names.h"
#include "tools/session/text.h"

#include <optional>

namespace tools_test {
namespace {

// What one result line must say.
struct Expected {
    std::string cmd;
    std::string status = "STATUS_SUCCESS";
    std::optional<uint64_t> information = 0;
    std::string handle;   // open: the handle it gives
    std::string request;  // write&/read&: the request's name
    bool done = false;    // the end of a request started with &
    enum class Is { Exactly, AnySuccess, AnyFailure } is = Is::Exactly;
};
using Is = Expected::Is;

std::string ScriptOf(const std::vector<Expected>& table)
{
    std::string script = "# every command of a session\n";
    for (const auto& line : table) {
        if (!line.done)
            script += line.cmd + "\n";
    }
    return script;
}

void CheckResults(const std::vector<JsonValue>& results, const std::vector<Expected>& table)
{
    ASSERT_EQ(results.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        const JsonValue& got = results[i];
        const Expected& want = table[i];
        SCOPED_TRACE("line " + std::to_string(i + 1) + ": " + want.cmd);
        EXPECT_EQ(got["cmd"].text, want.cmd);
        auto status = session::StatusFromName(got["ntstatus"].text);
        ASSERT_TRUE(status) << got["ntstatus"].text;
        EXPECT_EQ(got["status"].text, session::StatusName(*status));
        if (want.is == Is::Exactly)
            EXPECT_EQ(got["status"].text, want.status);
        else
            EXPECT_EQ(session::IsSuccess(*status), want.is == Is::AnySuccess) << got["status"].text;
        if (want.information)
            EXPECT_EQ(got["information"].number, static_cast<double>(*want.information));
        EXPECT_EQ(got["handle"].text, want.handle);
        EXPECT_EQ(got["request"].text, want.request);
        EXPECT_EQ(got["done"].boolean, want.done);
    }
}

const JsonValue* Find(const std::vector<JsonValue>& results, const std::string& cmd, size_t nth = 0)
{
    for (const auto& result : results) {
        if (result["cmd"].text == cmd && nth-- == 0)
            return &result;
    }
    return nullptr;
}

TEST(PondrelSimSession, EveryCommandGivesItsResultLine)
{
    // The built-in device: pipe 0 bulk OUT 0x01 and pipe 1 bulk IN 0x81
    // loop back; pipe 2 is interrupt IN 0x83.
    const std::vector<Expected> table = {
        {"plug"},
        {.cmd = "open", .handle = "h1"},
        {"ioctl h1 fetch-config", "STATUS_SUCCESS", 53},
        {"ioctl h1 fetch-config 52", "STATUS_BUFFER_TOO_SMALL"},
        {"ioctl h1 0x220443", "STATUS_INVALID_DEVICE_REQUEST"},
        {"ioctl h1 port-reset"},
        {"pipes h1", "STATUS_SUCCESS", 53},
        {.cmd = "open \\PIPE0", .handle = "h2"},
        {.cmd = "open PIPE1", .handle = "h3"},
        {.cmd = "open \\PIPE2", .handle = "h4"},
        {"open \\PIPE9", "STATUS_INVALID_PARAMETER"},
        {"expect STATUS_INVALID_PARAMETER", "STATUS_INVALID_PARAMETER"},
        {"write h2 300", "STATUS_SUCCESS", 300},
        {"read h3 300", "STATUS_SUCCESS", 300},
        {"write h2 hex:a1b2c3", "STATUS_SUCCESS", 3},
        {"read h3 3", "STATUS_SUCCESS", 3},
        {"read h4 4", "STATUS_INVALID_HANDLE"},
        {"ioctl h2 pipe-reset"},
        {"loopback h2 h3 200000 65536", "STATUS_SUCCESS", 200000},
        {.cmd = "read& h3 64", .status = "STATUS_PENDING", .request = "r1"},
        {"wait 50", "STATUS_TIMEOUT", 1},
        {"cancel h3"},
        {.cmd = "read& h3 64", .status = "STATUS_CANCELLED", .information = 0, .request = "r1", .done = true},
        {"expect STATUS_CANCELLED", "STATUS_CANCELLED"},
        {.cmd = "write& h2 128", .status = "STATUS_PENDING", .request = "r2"},
        {.cmd = "read& h3 128", .status = "STATUS_PENDING", .request = "r3"},
        {"wait 5000"},
        {.cmd = "write& h2 128", .status = "STATUS_SUCCESS", .information = 128, .request = "r2", .done = true},
        {.cmd = "read& h3 128", .status = "STATUS_SUCCESS", .information = 128, .request = "r3", .done = true},
        {"query-stop"},
        {"cancel-stop"},
        {"write h2 1", "STATUS_SUCCESS", 1},
        {"read h3 1", "STATUS_SUCCESS", 1},
        {"query-remove"},
        {"write h2 1", "STATUS_INVALID_DEVICE_STATE"},
        {"cancel-remove"},
        {"sleep S3"},
        {"write h2 1", "STATUS_SUCCESS", 1},
        {"resume"},
        {"read h3 1", "STATUS_SUCCESS", 1},
        {"sleep S1"},
        {"resume"},
        {"wake"},
        {"query-stop"},
        {"stop"},
        {"open", "STATUS_INVALID_DEVICE_STATE"},
        {"write h2 1", "STATUS_INVALID_DEVICE_STATE"},
        {.cmd = "start", .is = Is::AnySuccess},
        {"close h2"},
        {"close h3"},
        {.cmd = "open \\PIPE0", .handle = "h5"},
        {.cmd = "open \\PIPE1", .handle = "h6"},
        {"write h5 10", "STATUS_SUCCESS", 10},
        {"read h6 10", "STATUS_SUCCESS", 10},
        {"plug", "STATUS_DEVICE_ALREADY_ATTACHED"},
        {"unload", "STATUS_DEVICE_BUSY"},
        {.cmd = "read& h6 64", .status = "STATUS_PENDING", .request = "r4"},
        {"surprise-remove"},
        {"wait 5000"},
        {.cmd = "read& h6 64", .request = "r4", .done = true, .is = Is::AnyFailure},  // the bus's status for a device gone
        {"open", "STATUS_INVALID_DEVICE_STATE"},
        {"close h1"},
        {"close h4"},
        {"close h5"},
        {"close h6"},
        {"remove"},
        {"unload"},
        {"remove", "STATUS_NO_SUCH_DEVICE"},
        {"plug"},
        {.cmd = "open \\PIPE1", .handle = "h7"},
        {.cmd = "open-interface \\PIPE0", .handle = "h8"},
        {"write h8 hex:0102", "STATUS_SUCCESS", 2},
        {"read h7 2", "STATUS_SUCCESS", 2},
        {"expect data hex:0102", "STATUS_SUCCESS", 2},
        {"expect STATUS_SUCCESS 2", "STATUS_SUCCESS", 2},
        {"fault 0x01 stall"},  // each fault reaches the endpoint
        {"write h8 10", "STATUS_UNSUCCESSFUL"},
        {"ioctl h8 pipe-reset"},
        {"fault 0x01 fail-after 4 USBD_STATUS_CRC"},
        {"write h8 10", "STATUS_UNSUCCESSFUL"},
        {"write h8 10", "STATUS_SUCCESS", 10},
        {"fault 0x05 stall", "STATUS_INVALID_PARAMETER"},
        {"fault 0x01 leave-after 4"},
        {"write h8 10", "STATUS_DEVICE_NOT_CONNECTED"},
        {"remove"},
        {"close h7"},
        {"close h8"},
        {"unload"},
    };
    TempFile script(".session", ScriptOf(table));
    ProgramRun run = RunSim({"--json", "--script", script.Path()});
    auto lines = JsonLines(run);
    auto results = Results(lines);
    CheckResults(results, table);

    auto configuration = emu::usb::DeviceModel::Builtin().configDescriptor;
    EXPECT_EQ(Find(results, "ioctl h1 fetch-config")->operator[]("data").text, session::HexBytes(configuration));
    EXPECT_EQ(Find(results, "read h3 300")->operator[]("data").text, session::HexBytes(session::CountingPattern(300)));
    EXPECT_EQ(Find(results, "read h3 3")->operator[]("data").text, "a1b2c3");
    EXPECT_EQ(Find(results, "read& h3 128", 1)->operator[]("data").text,
              session::HexBytes(session::CountingPattern(128)));
    EXPECT_TRUE(Find(results, "expect STATUS_CANCELLED")->operator[]("held").boolean);
    EXPECT_TRUE(Find(results, "expect data hex:0102")->operator[]("held").boolean);
    EXPECT_TRUE(Find(results, "expect STATUS_SUCCESS 2")->operator[]("held").boolean);
    const auto& pipes = Find(results, "pipes h1")->operator[]("pipes").items;
    ASSERT_EQ(pipes.size(), 5u) << "the built-in device's five endpoints";
    EXPECT_EQ(pipes[2]["endpoint"].text, "0x83");
    EXPECT_EQ(pipes[2]["type"].text, "interrupt");
    EXPECT_EQ(pipes[4]["direction"].text, "in");
    EXPECT_EQ(pipes[4]["packet_size"].number, 512);

    JsonValue summary = SummaryOf(lines);
    EXPECT_EQ(summary["findings"].number, 0);
    EXPECT_TRUE(summary["unloaded"].boolean);
    EXPECT_EQ(summary["pool_blocks_left"].number, 0);
    EXPECT_EQ(summary["bytes_written"].number, 300 + 3 + 200000 + 128 + 1 + 1 + 10 + 2 + 10);
    EXPECT_EQ(summary["bytes_read"].number, 300 + 3 + 200000 + 128 + 1 + 1 + 10 + 2);
    EXPECT_GT(summary["bus_requests"].number, 0);
    EXPECT_GT(summary["pnp_requests"].number, 0);
    EXPECT_GT(summary["power_requests"].number, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(summary["failures_unexpected"].number, 15) << "the failures this session provokes without an expect";
    EXPECT_EQ(run.exitCode, 1);
}

// The exit status is 0 only when every expect held and every failure was
// expected (by an expect right after it), with the tally in the summary and
// the reason an expect did not hold on its line; a handle that is not open
// is a result line and the session goes on. A cancel ends only its handle's
// requests. Whatever a session leaves is torn down (what the teardown
// cancels is not a failure of the session): a request still in flight ends
// (in failure) and is reported, the driver unloads, nothing is left and
// nothing found.
TEST(PondrelSimSession, ExitStatusFollowsExpectationsAndFindings)
{
    const struct {
        const char* commands;
        int exitCode;
        double held;
        double failed;
        double unexpected;
        const char* shown = "";  // in the human output
        bool readLeftInFlight = false;
    } table[] = {
        {"plug; open; expect STATUS_SUCCESS; read h1 1; expect STATUS_INVALID_HANDLE", 0, 2, 0, 0},
        {"plug; open \\PIPE7; expect STATUS_SUCCESS", 1, 0, 1, 1},
        {"plug; open \\PIPE7", 1, 0, 0, 1},
        {"open; expect STATUS_OBJECT_NAME_NOT_FOUND; plug; expect 0x0", 0, 2, 0, 0},
        {"plug; open \\PIPE1; read& h1 64; open \\PIPE0", 0, 0, 0, 0, "", true},
        {"plug; open \\PIPE0; close h1; write h1 4; expect STATUS_INVALID_HANDLE; write h9 1; open", 1, 1, 0, 1},
        {"plug; open \\PIPE0; write h1 3; expect STATUS_SUCCESS 3", 0, 1, 0, 0},
        {"plug; open \\PIPE0; write h1 3; expect STATUS_SUCCESS 4", 1, 0, 1, 0, "Information 3, expected 4"},
        {"plug; open \\PIPE0; open \\PIPE1; write h1 hex:cafe; read h2 2; expect data hex:cafe", 0, 1, 0, 0},
        {"plug; open \\PIPE0; open \\PIPE1; write h1 hex:cafe; read h2 2; expect data hex:cafd", 1, 0, 1, 0,
         "2 bytes, expected 2; first difference at byte 1"},
        {"plug; open; expect data hex:00", 1, 0, 1, 0, "the result before it carries no data"},
        {"plug; open \\PIPE1; open \\PIPE1; read& h1 4; read& h2 4; cancel h1; expect STATUS_CANCELLED; wait 0", 0, 1, 0, 0,
         "wait 0                    STATUS_TIMEOUT (0x00000102)               Information 1  1 request(s) still in flight"},
        {"plug; open \\PIPE1; read& h1 4; read& h1 4; cancel h1; expect STATUS_SUCCESS", 1, 0, 1, 2},
        {"plug; open; loopback h1 h7 10", 1, 0, 0, 1, "h7 is not an open handle"},
    };
    for (const auto& test : table) {
        SCOPED_TRACE(test.commands);
        ProgramRun run = RunSim({"--json", "-c", test.commands});
        auto lines = JsonLines(run);
        auto summary = SummaryOf(lines);
        EXPECT_EQ(run.exitCode, test.exitCode) << run.out << run.err;
        EXPECT_EQ(summary["expects_held"].number, test.held);
        EXPECT_EQ(summary["expects_failed"].number, test.failed);
        EXPECT_EQ(summary["failures_unexpected"].number, test.unexpected);
        const std::string human = RunSim({"-c", test.commands}).out;
        EXPECT_NE(human.find(test.shown), std::string::npos) << human;
        EXPECT_EQ(summary["findings"].number, 0);
        EXPECT_TRUE(summary["unloaded"].boolean);
        EXPECT_EQ(summary["pool_bytes_left"].number, 0);
        if (test.readLeftInFlight) {
            auto results = Results(lines);
            ASSERT_EQ(results.size(), 5u);
            EXPECT_EQ(results[4]["cmd"].text, "read& h1 64");
            EXPECT_TRUE(results[4]["done"].boolean);
            EXPECT_FALSE(session::IsSuccess(*session::StatusFromName(results[4]["ntstatus"].text)));
        }
    }
}

// The issue's own case: a loopback that finds a wrong byte fails the run.
// The device's IN endpoint is a source, so the bytes read back differ from
// those written at byte 251, where the source's pattern wraps.
TEST(PondrelSimSession, ALoopbackMismatchFailsTheExitStatus)
{
    TempFile device(".device",
                    "device 12 01 00 02 00 00 00 40 09 12 02 00 00 01 00 00 00 01\n"
                    "config 09 02 20 00 01 01 00 80 32  09 04 00 00 02 ff 00 00 00\n"
                    "       07 05 01 02 00 02 00  07 05 81 02 00 02 00\n"
                    "endpoint 0x01 sink\nendpoint 0x81 source\n");
    ProgramRun run = RunSim({"--device", device.Path(), "-c", "plug; open \\PIPE0; open \\PIPE1; loopback h1 h2 1000"});
    EXPECT_NE(run.out.find("STATUS_DATA_ERROR (0xC000003E)            Information 0  first difference at byte 251"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.exitCode, 1);
}

TEST(PondrelSimSession, VersionIsTheProjects)
{
    ProgramRun run = RunSim({"--version"});
    EXPECT_EQ(run.out, "pondrel-sim " PONDREL_VERSION "\n");
    EXPECT_EQ(run.exitCode, 0);
}

// -v shows what a read returned as a hex dump, sixteen bytes a row, and a
// fetched configuration decoded; a pipe table is shown with or without -v.
TEST(PondrelSimSession, VerboseHumanOutputShowsReadData)
{
    ProgramRun run = RunSim({"-v", "-c", "plug; open \\PIPE0; open \\PIPE1; write h1 hex:000102030405060708090a0b0c0d0e0f1011; "
                                         "read h2 18; open; ioctl h3 fetch-config; pipes h3"});
    EXPECT_NE(run.out.find("ioctl h3 fetch-config     STATUS_SUCCESS (0x00000000)               Information 53\n"
                           "  Configuration Descriptor:\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("pipes h3                  STATUS_SUCCESS (0x00000000)               Information 53\n"
                           "    pipe  endpoint  type         direction  packet size  interval\n"
                           "       0  0x01      bulk         out                512         0\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("read h2 18                STATUS_SUCCESS (0x00000000)               Information 18\n"
                           "    0000  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"
                           "    0010  10 11\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("verifier findings              0"), std::string::npos) << run.out;
    EXPECT_EQ(run.exitCode, 0);
}

// A request Windows never sends in the device's state is not sent; its
// result line says why.
TEST(PondrelSimSession, RequestWindowsNeverSendsIsRefusedWithTheReason)
{
    ProgramRun run = RunSim({"-c", "plug; stop; surprise-remove; query-remove; remove"});
    for (const char* line : {"stop                      STATUS_INVALID_DEVICE_STATE (0xC0000184)  Information 0  "
                             "Windows stops a device only after IRP_MN_QUERY_STOP_DEVICE succeeded\n",
                             "query-remove              STATUS_INVALID_DEVICE_STATE (0xC0000184)  Information 0  "
                             "after a surprise removal Windows sends only IRP_MN_REMOVE_DEVICE\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("remove                    STATUS_SUCCESS"), std::string::npos) << run.out;

    // A session left with a stop pending is torn down the Windows way too.
    run = RunSim({"-c", "plug; query-stop"});
    EXPECT_NE(run.out.find("verifier findings              0"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace tools_test
