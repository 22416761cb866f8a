// The session executor against a fake device, for what pondrel-sim's own
// sessions cannot show: a cancel that ends only its handle's requests, a
// loopback's progress and its failures, the input errors found while
// running, and a backend that cannot drive the device's life (pondrelctl).
#include "tools/session/executor.h"
#include "tools/session/parser.h"
#include "tools/session/text.h"

#include <gtest/gtest.h>

#include <deque>
#include <sstream>

namespace session {
namespace {

constexpr uint32_t kCancelled = 0xC0000120;

// A request that ends when a cancel says so.
struct FakeRequest {
    BackendHandle handle;
    bool ended = false;
    Outcome outcome;
};

struct FakePending : PendingRequest {
    explicit FakePending(std::shared_ptr<FakeRequest> request) : request(std::move(request)) {}
    bool Wait(std::chrono::milliseconds) override { return request->ended; }
    Outcome Result() override { return request->outcome; }
    std::shared_ptr<FakeRequest> request;
};

// A device whose OUT bytes come back on reads, with scripted faults.
class FakeBackend : public Backend {
public:
    bool Supports(Verb verb) const override { return lifecycle || !IsLifecycleVerb(verb); }
    Outcome Open(const std::string&, BackendHandle* handle) override
    {
        *handle = ++opened;
        return {};
    }
    Outcome OpenInterface(const std::string& name, BackendHandle* handle) override { return Open(name, handle); }
    Outcome Close(BackendHandle) override { return {}; }
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
        for (; outcome.data.size() < length && !loop.empty(); loop.pop_front())
            outcome.data.push_back(loop.front());
        if (corruptAt && *corruptAt < outcome.data.size())
            outcome.data[*corruptAt] ^= 0xFF;
        outcome.information = outcome.data.size();
        return outcome;
    }
    Outcome Ioctl(BackendHandle, uint32_t, uint32_t) override { return {}; }
    std::unique_ptr<PendingRequest> StartWrite(BackendHandle handle, std::vector<uint8_t> data) override
    {
        return StartRead(handle, static_cast<uint32_t>(data.size()));
    }
    std::unique_ptr<PendingRequest> StartRead(BackendHandle handle, uint32_t length) override
    {
        requests.push_back(std::make_shared<FakeRequest>(FakeRequest{handle, false, {0, length, {}}}));
        return std::make_unique<FakePending>(requests.back());
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
    Outcome Lifecycle(const Command&) override { return {}; }

    bool lifecycle = true;
    bool failWrites = false;
    std::optional<size_t> corruptAt;
    BackendHandle opened = 0;
    std::vector<uint8_t> written;
    std::deque<uint8_t> loop;
    std::vector<std::shared_ptr<FakeRequest>> requests;
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
        EXPECT_EQ(executor.Run(*commands, &error), expectOk) << error;
        std::vector<std::string> lines;
        std::istringstream in(out.str());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    FakeBackend backend;
    std::ostringstream out;
    Printer printer{out, Printer::Style::Json, false};
    Executor executor{backend, printer, {{}, {}, std::chrono::milliseconds(0)}};
    std::string error;
};

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

// A loopback writes and reads back chunk by chunk, reporting progress; it
// names the first wrong byte, and stops at a failed write.
TEST_F(SessionExecutor, LoopbackChecksEveryByteAndReportsProgress)
{
    using Progress = std::vector<std::pair<uint64_t, uint64_t>>;
    const struct {
        const char* what;
        std::optional<size_t> corruptAt;
        bool failWrites;
        uint32_t status;
        uint64_t information;
        std::string note;
        Progress progress;
        uint64_t written;
        uint64_t requestsRun;  // the two opens, then the loopback's writes and reads
    } cases[] = {
        {"clean", std::nullopt, false, 0, 1000, "", {{256, 1000}, {512, 1000}, {768, 1000}, {1000, 1000}}, 1000, 10},
        {"byte 10 wrong", 10, false, 0xC000003E, 0, "first difference at byte 10", {}, 256, 4},
        {"write fails", std::nullopt, true, 0xC0000001, 0, "", {}, 0, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeBackend fake;
        fake.corruptAt = c.corruptAt;
        fake.failWrites = c.failWrites;
        Progress seen;
        Executor loop(fake, printer, {[&](uint64_t done, uint64_t total) { seen.emplace_back(done, total); }});
        auto commands = ParseCommandString("open \\PIPE0; open \\PIPE1; loopback h1 h2 1000 256", &error);
        ASSERT_TRUE(commands && loop.Run(*commands, &error)) << error;
        ASSERT_TRUE(loop.LastResult());
        EXPECT_EQ(loop.LastResult()->status, c.status);
        EXPECT_EQ(loop.LastResult()->information, c.information);
        EXPECT_EQ(loop.LastResult()->note.rfind(c.note, 0), 0u) << loop.LastResult()->note;
        EXPECT_EQ(seen, c.progress);
        EXPECT_EQ(fake.written, CountingPattern(c.written));
        EXPECT_EQ(loop.RequestsRun(), c.requestsRun);
        EXPECT_EQ(loop.UnexpectedFailures(), c.status ? 1 : 0) << "a failed loopback is a failure";
    }
}

// Which results count against the exit status: a failure that no expect
// after it names, and an expect that does not hold (with the reason). A
// handle that is not open is a result line, and the session goes on.
TEST_F(SessionExecutor, FailuresCountUnlessAnExpectNamesThem)
{
    const struct {
        const char* commands;
        int held, failed, unexpected;
        const char* lastNote;
    } cases[] = {
        {"open; read h9 1; open", 0, 0, 1, ""},
        {"open; close h1; write h1 1; expect STATUS_INVALID_HANDLE; open", 1, 0, 0, ""},
        {"open; write h1 3; expect STATUS_SUCCESS 3", 1, 0, 0, ""},
        {"open; write h1 3; expect STATUS_SUCCESS 4", 0, 1, 0, "Information 3, expected 4"},
        {"open; write h1 hex:cafe; read h1 2; expect data hex:cafe", 1, 0, 0, ""},
        {"open; write h1 hex:cafe; read h1 2; expect data hex:cafd", 0, 1, 0,
         "2 bytes, expected 2; first difference at byte 1"},
        {"open; expect data hex:00", 0, 1, 0, "the result before it carries no data"},
        {"open \\PIPE1; read& h1 4; read& h1 4; cancel h1; expect STATUS_CANCELLED", 1, 0, 0, ""},
        {"open \\PIPE1; read& h1 4; read& h1 4; cancel h1; expect STATUS_SUCCESS", 0, 1, 2, ""},
        {"open; loopback h1 h7 10", 0, 0, 1, "h7 is not an open handle"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commands);
        FakeBackend fake;
        std::ostringstream lines;
        Printer quiet{lines, Printer::Style::Human, false};
        Executor run(fake, quiet, {{}, {}, std::chrono::milliseconds(0)});
        auto commands = ParseCommandString(c.commands, &error);
        ASSERT_TRUE(commands && run.Run(*commands, &error)) << error;
        EXPECT_EQ(run.ExpectsHeld(), c.held);
        EXPECT_EQ(run.ExpectsFailed(), c.failed);
        EXPECT_EQ(run.UnexpectedFailures(), c.unexpected) << lines.str();
        std::string last = lines.str().substr(lines.str().rfind('\n', lines.str().size() - 2) + 1);
        EXPECT_NE(last.find(c.lastNote), std::string::npos) << last;
    }
}

TEST_F(SessionExecutor, ExpectWithNothingBeforeItIsAnInputError)
{
    Run("expect STATUS_SUCCESS", false);
    EXPECT_EQ(error, "-c:1: 'expect' has no result before it to check");
}

TEST_F(SessionExecutor, ABackendWithoutLifecycleRefusesTheWholeSessionFirst)
{
    backend.lifecycle = false;
    auto commands = ParseScript("open\n# fine so far\nwrite h1 1\nsleep S3\n", "real.session", &error);
    ASSERT_TRUE(commands);
    EXPECT_FALSE(executor.CheckSupported(*commands, &error));
    EXPECT_EQ(error, "real.session:4: 'sleep' needs the emulator (pondrel-sim); a real device takes open, open-interface, "
                     "close, write, read, write&, read&, ioctl, cancel, loopback, pipes, expect and wait");
    EXPECT_EQ(backend.opened, 0u);
}

}  // namespace
}  // namespace session
