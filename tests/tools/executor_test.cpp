#include "tools/session/executor.h"
#include "tools/session/parser.h"
#include "tools/session/status_names.h"
#include "tools/session/text.h"

#include <gtest/gtest.h>

#include <deque>
#include <sstream>

namespace session {
namespace {

constexpr uint32_t kCancelled = 0xC0000120;
constexpr uint32_t kInvalidParameter = 0xC000000D;

// A request that ends when the test (or a cancel) says so.
struct FakeRequest {
    BackendHandle handle;
    bool ended = false;
    Outcome outcome;
};

class FakePending : public PendingRequest {
public:
    explicit FakePending(std::shared_ptr<FakeRequest> request) : request_(std::move(request)) {}
    bool Wait(std::chrono::milliseconds) override { return request_->ended; }
    Outcome Result() override { return request_->outcome; }

private:
    std::shared_ptr<FakeRequest> request_;
};

// A device whose OUT bytes come back on reads, with scripted refusals.
class FakeBackend : public Backend {
public:
    bool Supports(Verb verb) const override { return lifecycle || !IsLifecycleVerb(verb); }

    Outcome Open(const std::string& name, BackendHandle* handle) override
    {
        opened.push_back(name);
        if (name == "\\BAD")
            return {kInvalidParameter, 0, {}};
        *handle = 100 + opened.size();
        return {};
    }
    Outcome Close(BackendHandle handle) override
    {
        closed.push_back(handle);
        return {};
    }
    Outcome Write(BackendHandle, const std::vector<uint8_t>& data) override
    {
        if (failWrites)
            return {0xC0000001, 0, {}};
        written.insert(written.end(), data.begin(), data.end());
        loop.insert(loop.end(), data.begin(), data.end());
        return {0, data.size(), {}};
    }
    Outcome Read(BackendHandle, uint32_t length) override
    {
        Outcome outcome;
        while (outcome.data.size() < length && !loop.empty()) {
            outcome.data.push_back(loop.front());
            loop.pop_front();
        }
        if (corruptAt && *corruptAt < outcome.data.size())
            outcome.data[*corruptAt] ^= 0xFF;
        outcome.information = outcome.data.size();
        return outcome;
    }
    Outcome Ioctl(BackendHandle, uint32_t code, uint32_t outLength) override
    {
        ioctls.emplace_back(code, outLength);
        return {0, 2, {0x09, 0x02}};
    }
    std::unique_ptr<PendingRequest> StartWrite(BackendHandle handle, std::vector<uint8_t> data) override
    {
        return Start(handle, data.size());
    }
    std::unique_ptr<PendingRequest> StartRead(BackendHandle handle, uint32_t length) override
    {
        return Start(handle, length);
    }
    Outcome Cancel(BackendHandle handle) override
    {
        for (auto& request : requests) {
            if (request->handle == handle && !request->ended) {
                request->ended = true;
                request->outcome = {kCancelled, 0, {}};
            }
        }
        return {};
    }
    Outcome Lifecycle(const Command& command) override
    {
        lifecycleCalls.push_back(command.text);
        return {command.verb == Verb::Sleep ? static_cast<uint32_t>(command.sleepState) : 0u, 0, {}};
    }

    std::unique_ptr<PendingRequest> Start(BackendHandle handle, uint64_t length)
    {
        auto request = std::make_shared<FakeRequest>();
        request->handle = handle;
        request->outcome = {0, length, {}};
        requests.push_back(request);
        return std::make_unique<FakePending>(request);
    }

    bool lifecycle = true;
    bool failWrites = false;
    std::optional<size_t> corruptAt;
    std::vector<std::string> opened;
    std::vector<BackendHandle> closed;
    std::vector<uint8_t> written;
    std::deque<uint8_t> loop;
    std::vector<std::pair<uint32_t, uint32_t>> ioctls;
    std::vector<std::shared_ptr<FakeRequest>> requests;
    std::vector<std::string> lifecycleCalls;
};

class SessionExecutor : public ::testing::Test {
protected:
    // Runs a -c string; returns the JSON lines printed.
    std::vector<std::string> Run(const std::string& text, bool expectOk = true)
    {
        auto commands = ParseCommandString(text, &error);
        EXPECT_TRUE(commands) << error;
        if (!commands)
            return {};
        bool ok = executor.Run(*commands, &error);
        EXPECT_EQ(ok, expectOk) << error;
        std::vector<std::string> lines;
        std::istringstream in(out.str());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    FakeBackend backend;
    std::ostringstream out;
    Printer printer{out, Printer::Style::Json, false};
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    Executor executor{backend, printer, {[this](uint64_t done, uint64_t total) { progress.emplace_back(done, total); },
                                         {}, std::chrono::milliseconds(0)}};
    std::string error;
};

TEST_F(SessionExecutor, HandlesAreNumberedBySuccessfulOpens)
{
    auto lines = Run("open \\PIPE0; open \\BAD; open; close h2; write h2 1", false);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("\"handle\":\"h1\""), std::string::npos);
    EXPECT_EQ(lines[1].find("\"handle\""), std::string::npos);
    EXPECT_NE(lines[1].find("STATUS_INVALID_PARAMETER"), std::string::npos);
    EXPECT_NE(lines[2].find("\"handle\":\"h2\""), std::string::npos);
    EXPECT_EQ(backend.opened, (std::vector<std::string>{"\\PIPE0", "\\BAD", ""}));
    EXPECT_EQ(backend.closed, (std::vector<BackendHandle>{103}));
    EXPECT_EQ(error, "-c:5: h2 is not an open handle");
    EXPECT_EQ(executor.OpenHandles(), (std::vector<BackendHandle>{101}));
}

TEST_F(SessionExecutor, ExpectChecksTheLastResultAndKeepsTheTally)
{
    Run("open \\BAD; expect STATUS_INVALID_PARAMETER; expect STATUS_SUCCESS; open; expect STATUS_SUCCESS");
    EXPECT_EQ(executor.ExpectsHeld(), 2);
    EXPECT_EQ(executor.ExpectsFailed(), 1);
    EXPECT_NE(out.str().find("\"cmd\":\"expect STATUS_SUCCESS\",\"status\":\"STATUS_INVALID_PARAMETER\","
                             "\"ntstatus\":\"0xC000000D\",\"information\":0,\"held\":false"),
              std::string::npos)
        << out.str();
}

TEST_F(SessionExecutor, ExpectWithNothingBeforeItIsAnInputError)
{
    Run("expect STATUS_SUCCESS", false);
    EXPECT_EQ(error, "-c:1: 'expect' has no result before it to check");
}

TEST_F(SessionExecutor, WritesSendTheCountingPatternOrTheGivenBytes)
{
    Run("open \\PIPE0; write h1 300; write h1 hex:a5; read h1 301");
    auto expected = CountingPattern(300);
    expected.push_back(0xa5);
    EXPECT_EQ(backend.written, expected);
    auto lines = Run("");
    EXPECT_NE(lines.back().find("\"information\":301,\"data\":\"000102"), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("292a2ba5\"}"), std::string::npos) << lines.back();
}

TEST_F(SessionExecutor, IoctlPassesCodeAndOutputLength)
{
    auto lines = Run("open; ioctl h1 fetch-config; ioctl h1 0x220448 7");
    EXPECT_EQ(backend.ioctls, (std::vector<std::pair<uint32_t, uint32_t>>{{0x220444, 65535}, {0x220448, 7}}));
    EXPECT_NE(lines[1].find("\"data\":\"0902\""), std::string::npos) << lines[1];
}

TEST_F(SessionExecutor, WaitReportsStartedRequestsOnceTheyEnd)
{
    auto lines = Run("open \\PIPE1; read& h1 64; write& h1 8; wait 0");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find("\"status\":\"STATUS_PENDING\",\"ntstatus\":\"0x00000103\",\"information\":0,"
                            "\"request\":\"r1\""),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[3].find("\"cmd\":\"wait 0\",\"status\":\"STATUS_TIMEOUT\",\"ntstatus\":\"0x00000102\","
                            "\"information\":2"),
              std::string::npos)
        << lines[3];

    backend.requests[1]->ended = true;
    lines = Run("wait 0; expect STATUS_SUCCESS");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_NE(lines[4].find("\"cmd\":\"wait 0\",\"status\":\"STATUS_TIMEOUT\""), std::string::npos) << lines[4];
    EXPECT_NE(lines[5].find("\"cmd\":\"write& h1 8\",\"status\":\"STATUS_SUCCESS\",\"ntstatus\":\"0x00000000\","
                            "\"information\":8,\"request\":\"r2\",\"done\":true"),
              std::string::npos)
        << lines[5];
    EXPECT_NE(lines[6].find("\"held\":true"), std::string::npos);
}

TEST_F(SessionExecutor, CancelEndsOnlyTheHandlesRequestsAndReportsThem)
{
    auto lines = Run("open \\PIPE1; open \\PIPE2; read& h1 4; read& h2 4; cancel h1; expect STATUS_CANCELLED; wait 0");
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_NE(lines[4].find("\"cmd\":\"cancel h1\",\"status\":\"STATUS_SUCCESS\""), std::string::npos) << lines[4];
    EXPECT_NE(lines[5].find("\"cmd\":\"read& h1 4\",\"status\":\"STATUS_CANCELLED\""), std::string::npos) << lines[5];
    EXPECT_NE(lines[5].find("\"request\":\"r1\",\"done\":true,\"data\":\"\""), std::string::npos) << lines[5];
    EXPECT_NE(lines[6].find("\"held\":true"), std::string::npos);
    EXPECT_NE(lines[7].find("\"cmd\":\"wait 0\",\"status\":\"STATUS_TIMEOUT\""), std::string::npos) << lines[7];
    EXPECT_FALSE(backend.requests[1]->ended);
    EXPECT_EQ(executor.Drain(std::chrono::milliseconds(0)), 1u);
}

TEST_F(SessionExecutor, LoopbackChecksEveryByteAndReportsProgress)
{
    auto lines = Run("open \\PIPE0; open \\PIPE1; loopback h1 h2 1000 256");
    EXPECT_NE(lines[2].find("\"status\":\"STATUS_SUCCESS\",\"ntstatus\":\"0x00000000\",\"information\":1000"),
              std::string::npos)
        << lines[2];
    EXPECT_EQ(progress, (std::vector<std::pair<uint64_t, uint64_t>>{{256, 1000}, {512, 1000}, {768, 1000}, {1000, 1000}}));
    EXPECT_EQ(backend.written, CountingPattern(1000));
    EXPECT_EQ(executor.RequestsRun(), 10u);
}

TEST_F(SessionExecutor, LoopbackNamesTheFirstWrongByte)
{
    backend.corruptAt = 10;
    auto lines = Run("open \\PIPE0; open \\PIPE1; loopback h1 h2 1000 256");
    EXPECT_NE(lines[2].find("\"status\":\"STATUS_DATA_ERROR\",\"ntstatus\":\"0xC000003E\",\"information\":0"),
              std::string::npos)
        << lines[2];
    EXPECT_EQ(executor.LastResult()->note, "first difference at byte 10");
}

TEST_F(SessionExecutor, LoopbackStopsAtAFailedWrite)
{
    backend.failWrites = true;
    auto lines = Run("open \\PIPE0; open \\PIPE1; loopback h1 h2 1000 256; expect STATUS_UNSUCCESSFUL");
    EXPECT_EQ(executor.ExpectsHeld(), 1);
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(executor.RequestsRun(), 3u);
}

TEST_F(SessionExecutor, LifecycleVerbsGoToTheBackend)
{
    Run("plug; sleep S4; expect 0x4; resume");
    EXPECT_EQ(backend.lifecycleCalls, (std::vector<std::string>{"plug", "sleep S4", "resume"}));
    EXPECT_EQ(executor.ExpectsHeld(), 1);
}

TEST_F(SessionExecutor, ABackendWithoutLifecycleRefusesTheWholeSessionFirst)
{
    backend.lifecycle = false;
    auto commands = ParseScript("open\n# fine so far\nwrite h1 1\nsleep S3\n", "real.session", &error);
    ASSERT_TRUE(commands);
    EXPECT_FALSE(executor.CheckSupported(*commands, &error));
    EXPECT_EQ(error, "real.session:4: 'sleep' needs the emulator (pondrel-sim); a real device takes open, close, "
                     "write, read, write&, read&, ioctl, cancel, loopback, expect and wait");
    EXPECT_TRUE(backend.opened.empty());
}

}  // namespace
}  // namespace session
