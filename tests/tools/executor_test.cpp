// The session executor against a fake device, for what pondrel-sim's own
// sessions cannot show: a loopback's progress and its failures, the input
// errors found while running, and a backend that cannot drive the device's
// life (pondrelctl).
#include "tools/session/executor.h"
#include "tools/session/parser.h"
#include "tools/session/text.h"

#include <gtest/gtest.h>

#include <deque>
#include <sstream>

namespace session {
namespace {

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
    std::unique_ptr<PendingRequest> StartWrite(BackendHandle, std::vector<uint8_t>) override { return nullptr; }
    std::unique_ptr<PendingRequest> StartRead(BackendHandle, uint32_t) override { return nullptr; }
    Outcome Cancel(BackendHandle) override { return {}; }
    Outcome Lifecycle(const Command&) override { return {}; }

    bool lifecycle = true;
    bool failWrites = false;
    std::optional<size_t> corruptAt;
    BackendHandle opened = 0;
    std::vector<uint8_t> written;
    std::deque<uint8_t> loop;
};

class SessionExecutor : public ::testing::Test {
protected:
    FakeBackend backend;
    std::ostringstream out;
    Printer printer{out, Printer::Style::Json, false};
    Executor executor{backend, printer, {{}, {}, std::chrono::milliseconds(0)}};
    std::string error;
};

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

TEST_F(SessionExecutor, ExpectWithNothingBeforeItIsAnInputError)
{
    auto commands = ParseCommandString("expect STATUS_SUCCESS", &error);
    ASSERT_TRUE(commands) << error;
    EXPECT_FALSE(executor.Run(*commands, &error));
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
