// pondrel-sim --json over sessions that use every command, checked line by
// line; and the exit status that expectations and findings give.
#include "sim_test_support.h"

#include "emulator/usb/device_model.h"
#include "tools/session/status_names.h"
#include "tools/session/text.h"

#include <optional>

namespace tools_test {
namespace {

constexpr uint32_t kSuccess = 0x00000000;
constexpr uint32_t kPending = 0x00000103;
constexpr uint32_t kTimeout = 0x00000102;
constexpr uint32_t kCancelled = 0xC0000120;
constexpr uint32_t kInvalidParameter = 0xC000000D;
constexpr uint32_t kInvalidHandle = 0xC0000008;
constexpr uint32_t kInvalidDeviceState = 0xC0000184;
constexpr uint32_t kInvalidDeviceRequest = 0xC0000010;
constexpr uint32_t kBufferTooSmall = 0xC0000023;
constexpr uint32_t kDeviceAlreadyAttached = 0xC0000038;
constexpr uint32_t kDeviceBusy = 0x80000011;
constexpr uint32_t kNoSuchDevice = 0xC000000E;

// What one result line must say.
struct Expected {
    std::string cmd;
    enum class Is { Exactly, AnySuccess, AnyFailure } is = Is::Exactly;
    uint32_t status = kSuccess;
    std::optional<uint64_t> information = 0;
    std::string handle;   // open: the handle it gives
    std::string request;  // write&/read&: the request's name
    bool done = false;    // the end of a request started with &
};

Expected Is(std::string cmd, uint32_t status, std::optional<uint64_t> information = 0)
{
    return {std::move(cmd), Expected::Is::Exactly, status, information, {}, {}, false};
}
Expected Opens(std::string cmd, std::string handle)
{
    return {std::move(cmd), Expected::Is::Exactly, kSuccess, 0, std::move(handle), {}, false};
}
Expected Starts(std::string cmd, std::string request)
{
    return {std::move(cmd), Expected::Is::Exactly, kPending, 0, {}, std::move(request), false};
}
Expected Ends(std::string cmd, std::string request, uint32_t status, std::optional<uint64_t> information)
{
    return {std::move(cmd), Expected::Is::Exactly, status, information, {}, std::move(request), true};
}
Expected Succeeds(std::string cmd)
{
    return {std::move(cmd), Expected::Is::AnySuccess, 0, 0, {}, {}, false};
}
Expected Fails(std::string cmd, std::optional<uint64_t> information = 0)
{
    return {std::move(cmd), Expected::Is::AnyFailure, 0, information, {}, {}, false};
}

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
        if (want.is == Expected::Is::Exactly)
            EXPECT_EQ(session::StatusName(*status), session::StatusName(want.status));
        else
            EXPECT_EQ(session::IsSuccess(*status), want.is == Expected::Is::AnySuccess) << got["status"].text;
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
        Is("plug", kSuccess),
        Opens("open", "h1"),
        Is("ioctl h1 fetch-config", kSuccess, 53),
        Is("ioctl h1 fetch-config 52", kBufferTooSmall),
        Is("ioctl h1 pipe-reset", kInvalidParameter),
        Is("ioctl h1 0x220443", kInvalidDeviceRequest),
        Is("ioctl h1 port-reset", kSuccess),
        Opens("open \\PIPE0", "h2"),
        Opens("open PIPE1", "h3"),
        Opens("open \\PIPE2", "h4"),
        Is("open \\PIPE9", kInvalidParameter),
        Is("write h2 300", kSuccess, 300),
        Is("read h3 300", kSuccess, 300),
        Is("write h2 hex:a1b2c3", kSuccess, 3),
        Is("read h3 3", kSuccess, 3),
        Is("read h1 4", kInvalidHandle),
        Is("read h4 4", kInvalidHandle),
        Is("write h2 65537", kInvalidParameter),
        Is("write h2 0", kSuccess, 0),
        Is("ioctl h2 pipe-reset", kSuccess),
        Is("loopback h2 h3 200000 65536", kSuccess, 200000),
        Starts("read& h3 64", "r1"),
        Is("wait 50", kTimeout, 1),
        Is("cancel h3", kSuccess),
        Ends("read& h3 64", "r1", kCancelled, 0),
        Is("expect STATUS_CANCELLED", kCancelled),
        Starts("write& h2 128", "r2"),
        Starts("read& h3 128", "r3"),
        Is("wait 5000", kSuccess, 0),
        Ends("write& h2 128", "r2", kSuccess, 128),
        Ends("read& h3 128", "r3", kSuccess, 128),
        Is("query-stop", kSuccess),
        Is("cancel-stop", kSuccess),
        Is("write h2 1", kSuccess, 1),
        Is("read h3 1", kSuccess, 1),
        Is("query-remove", kSuccess),
        Is("write h2 1", kInvalidDeviceState),
        Is("cancel-remove", kSuccess),
        Is("sleep S3", kSuccess),
        Is("write h2 1", kSuccess, 1),
        Is("resume", kSuccess),
        Is("read h3 1", kSuccess, 1),
        Is("sleep S1", kSuccess),
        Is("resume", kSuccess),
        Is("wake", kSuccess),
        Is("query-stop", kSuccess),
        Is("stop", kSuccess),
        Is("open", kInvalidDeviceState),
        Is("write h2 1", kInvalidDeviceState),
        Succeeds("start"),
        Is("close h2", kSuccess),
        Is("close h3", kSuccess),
        Opens("open \\PIPE0", "h5"),
        Opens("open \\PIPE1", "h6"),
        Is("write h5 10", kSuccess, 10),
        Is("read h6 10", kSuccess, 10),
        Is("plug", kDeviceAlreadyAttached),
        Is("unload", kDeviceBusy),
        Starts("read& h6 64", "r4"),
        Is("surprise-remove", kSuccess),
        Is("wait 5000", kSuccess, 0),
        Ends("read& h6 64", "r4", 0, 0),
        Is("open", kInvalidDeviceState),
        Is("close h1", kSuccess),
        Is("close h4", kSuccess),
        Is("close h5", kSuccess),
        Is("close h6", kSuccess),
        Is("remove", kSuccess),
        Is("unload", kSuccess),
        Is("remove", kNoSuchDevice),
        Is("plug", kSuccess),
        Opens("open \\PIPE1", "h7"),
        Is("remove", kSuccess),
        Is("close h7", kSuccess),
        Is("unload", kSuccess),
    };
    std::vector<Expected> checked = table;
    for (auto& line : checked) {
        if (line.cmd == "read& h6 64" && line.done)
            line.is = Expected::Is::AnyFailure;  // the bus's status for a device gone
    }

    TempFile script(".session", ScriptOf(table));
    ProgramRun run = RunSim({"--json", "--script", script.Path()});
    auto lines = JsonLines(run);
    auto results = Results(lines);
    CheckResults(results, checked);

    auto configuration = emu::usb::DeviceModel::Builtin().configDescriptor;
    EXPECT_EQ(Find(results, "ioctl h1 fetch-config")->operator[]("data").text, session::HexBytes(configuration));
    EXPECT_EQ(Find(results, "read h3 300")->operator[]("data").text, session::HexBytes(session::CountingPattern(300)));
    EXPECT_EQ(Find(results, "read h3 3")->operator[]("data").text, "a1b2c3");
    EXPECT_EQ(Find(results, "read& h3 128", 1)->operator[]("data").text,
              session::HexBytes(session::CountingPattern(128)));
    EXPECT_TRUE(Find(results, "expect STATUS_CANCELLED")->operator[]("held").boolean);

    JsonValue summary = SummaryOf(lines);
    EXPECT_EQ(summary["findings"].number, 0);
    EXPECT_TRUE(summary["unloaded"].boolean);
    EXPECT_EQ(summary["pool_blocks_left"].number, 0);
    EXPECT_EQ(summary["bytes_written"].number, 300 + 3 + 200000 + 128 + 1 + 1 + 10);
    EXPECT_EQ(summary["bytes_read"].number, 300 + 3 + 200000 + 128 + 1 + 1 + 10);
    EXPECT_GT(summary["bus_requests"].number, 0);
    EXPECT_GT(summary["pnp_requests"].number, 0);
    EXPECT_GT(summary["power_requests"].number, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0);
}

TEST(PondrelSimSession, ExitStatusFollowsExpectationsAndFindings)
{
    struct Case {
        const char* commands;
        int exitCode;
        double held;
        double failed;
    };
    const Case table[] = {
        {"plug; open; expect STATUS_SUCCESS; read h1 1; expect STATUS_INVALID_HANDLE", 0, 2, 0},
        {"plug; open \\PIPE7; expect STATUS_SUCCESS", 1, 0, 1},
        {"open; expect STATUS_OBJECT_NAME_NOT_FOUND; plug; expect 0x0", 0, 2, 0},
    };
    for (const auto& test : table) {
        ProgramRun run = RunSim({"--json", "-c", test.commands});
        auto summary = SummaryOf(JsonLines(run));
        EXPECT_EQ(run.exitCode, test.exitCode) << test.commands << "\n" << run.out << run.err;
        EXPECT_EQ(summary["expects_held"].number, test.held) << test.commands;
        EXPECT_EQ(summary["expects_failed"].number, test.failed) << test.commands;
        EXPECT_EQ(summary["findings"].number, 0) << test.commands;
    }
}

TEST(PondrelSimSession, WhatTheSessionLeavesIsTornDown)
{
    ProgramRun run = RunSim({"--json", "-c", "plug; open \\PIPE1; read& h1 64; open \\PIPE0"});
    auto lines = JsonLines(run);
    auto results = Results(lines);
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(results[4]["cmd"].text, "read& h1 64");
    EXPECT_TRUE(results[4]["done"].boolean);
    EXPECT_FALSE(session::IsSuccess(*session::StatusFromName(results[4]["ntstatus"].text)));
    auto summary = SummaryOf(lines);
    EXPECT_TRUE(summary["unloaded"].boolean);
    EXPECT_EQ(summary["pool_bytes_left"].number, 0);
    EXPECT_EQ(summary["findings"].number, 0);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
}

TEST(PondrelSimSession, VerboseHumanOutputShowsReadData)
{
    ProgramRun run = RunSim({"-v", "-c", "plug; open \\PIPE0; open \\PIPE1; write h1 hex:00112233; read h2 4"});
    EXPECT_NE(run.out.find("read h2 4                 STATUS_SUCCESS (0x00000000)               Information 4\n"
                           "    0000  00 11 22 33\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("verifier findings              0"), std::string::npos) << run.out;
    EXPECT_EQ(run.exitCode, 0);
}

}  // namespace
}  // namespace tools_test
