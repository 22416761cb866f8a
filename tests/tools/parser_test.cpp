#include "tools/session/parser.h"

#include <gtest/gtest.h>

namespace session {
namespace {

Command ParseOne(const std::string& text)
{
    std::string error;
    auto commands = ParseScript(text, "t.session", &error);
    EXPECT_TRUE(commands) << error;
    if (!commands || commands->size() != 1) {
        ADD_FAILURE() << "expected one command from '" << text << "'";
        return {};
    }
    return commands->front();
}

TEST(SessionParser, EveryVerbWithoutArgumentsIsRecognised)
{
    const std::pair<const char*, Verb> table[] = {
        {"plug", Verb::Plug},           {"start", Verb::Start},
        {"query-stop", Verb::QueryStop}, {"cancel-stop", Verb::CancelStop},
        {"stop", Verb::Stop},           {"query-remove", Verb::QueryRemove},
        {"cancel-remove", Verb::CancelRemove}, {"surprise-remove", Verb::SurpriseRemove},
        {"remove", Verb::Remove},       {"unload", Verb::Unload},
        {"resume", Verb::Resume},       {"wake", Verb::Wake},
    };
    for (const auto& [word, verb] : table) {
        Command command = ParseOne(word);
        EXPECT_EQ(command.verb, verb) << word;
        EXPECT_EQ(command.text, word);
        EXPECT_TRUE(IsLifecycleVerb(verb)) << word;
        EXPECT_EQ(VerbWord(verb), word);
    }
}

TEST(SessionParser, ArgumentsAreReadIntoTheCommand)
{
    struct Case {
        const char* text;
        Verb verb;
        int handle;
        uint64_t length;
        uint32_t code;
    };
    const Case table[] = {
        {"write h1 4096", Verb::Write, 1, 4096, 0},
        {"write h12 0x10", Verb::Write, 12, 16, 0},
        {"read h2 65537", Verb::Read, 2, 65537, 0},
        {"write& h3 0", Verb::WriteAsync, 3, 0, 0},
        {"read& h4 100", Verb::ReadAsync, 4, 100, 0},
        {"ioctl h1 fetch-config", Verb::Ioctl, 1, 65535, 0x220444},
        {"ioctl h1 fetch-config 9", Verb::Ioctl, 1, 9, 0x220444},
        {"ioctl h1 port-reset", Verb::Ioctl, 1, 0, 0x220448},
        {"ioctl h2 pipe-reset", Verb::Ioctl, 2, 0, 0x22044C},
        {"ioctl h2 0x22044F 16", Verb::Ioctl, 2, 16, 0x22044F},
        {"close h7", Verb::Close, 7, 0, 0},
        {"cancel h3", Verb::Cancel, 3, 0, 0},
    };
    for (const auto& test : table) {
        Command command = ParseOne(test.text);
        EXPECT_EQ(command.verb, test.verb) << test.text;
        EXPECT_EQ(command.handle, test.handle) << test.text;
        EXPECT_EQ(command.length, test.length) << test.text;
        EXPECT_EQ(command.code, test.code) << test.text;
    }
}

TEST(SessionParser, SpecialArguments)
{
    Command hex = ParseOne("write h1 hex:00ff7A");
    EXPECT_TRUE(hex.hasBytes);
    EXPECT_EQ(hex.bytes, (std::vector<uint8_t>{0x00, 0xff, 0x7a}));
    EXPECT_EQ(hex.length, 3u);

    EXPECT_EQ(ParseOne("sleep S3").sleepState, 3);
    EXPECT_EQ(ParseOne("sleep s1").sleepState, 1);
    EXPECT_EQ(ParseOne("open \\PIPE1").name, "\\PIPE1");
    EXPECT_EQ(ParseOne("open").name, "");
    EXPECT_EQ(ParseOne("expect STATUS_CANCELLED").status, 0xC0000120u);
    EXPECT_EQ(ParseOne("expect 0xC0000184").status, 0xC0000184u);
    EXPECT_EQ(ParseOne("wait 250").milliseconds, 250u);

    Command loopback = ParseOne("loopback h1 h2 1048576 4096");
    EXPECT_EQ(loopback.handle, 1);
    EXPECT_EQ(loopback.inHandle, 2);
    EXPECT_EQ(loopback.length, 1048576u);
    EXPECT_EQ(loopback.chunk, 4096u);
    EXPECT_EQ(ParseOne("loopback h1 h2 100").chunk, 65536u);
}

TEST(SessionParser, SeparatorsCommentsAndLineNumbers)
{
    std::string error;
    auto commands = ParseScript("# a session\n"
                                "open \\PIPE0 ; open \\PIPE1   # two handles\n"
                                "\n"
                                "\twrite   h1\t64\r\n"
                                ";;\n"
                                "read h2 64",
                                "demo.session", &error);
    ASSERT_TRUE(commands) << error;
    ASSERT_EQ(commands->size(), 4u);
    const int lines[] = {2, 2, 4, 6};
    const char* texts[] = {"open \\PIPE0", "open \\PIPE1", "write h1 64", "read h2 64"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ((*commands)[i].line, lines[i]);
        EXPECT_EQ((*commands)[i].text, texts[i]);
        EXPECT_EQ((*commands)[i].source, "demo.session");
    }
}

TEST(SessionParser, CommandStringsNumberCommandsByPosition)
{
    std::string error;
    auto commands = ParseCommandString("plug; open \\PIPE0 ;; write h1 8 # the rest is comment; read h1 8", &error);
    ASSERT_TRUE(commands) << error;
    ASSERT_EQ(commands->size(), 3u);
    EXPECT_EQ((*commands)[2].line, 3);
    EXPECT_EQ((*commands)[2].Where(), "-c:3");

    EXPECT_FALSE(ParseCommandString("plug; open; frob", &error));
    EXPECT_EQ(error, "-c:3: unknown command 'frob'");
}

TEST(SessionParser, BrokenInputGivesOneLineNamingFileLineAndFault)
{
    const std::pair<const char*, const char*> table[] = {
        {"frob", "s:1: unknown command 'frob'"},
        {"open\nwrite h1 12x", "s:2: bad number '12x' (0 to 16777216)"},
        {"write h1 16777217", "s:1: bad number '16777217' (0 to 16777216)"},
        {"read h1 -1", "s:1: bad number '-1' (0 to 16777216)"},
        {"read x1 4", "s:1: bad handle 'x1' (handles are h1, h2, ...)"},
        {"read h0 4", "s:1: bad handle 'h0' (handles are h1, h2, ...)"},
        {"close h01", "s:1: bad handle 'h01' (handles are h1, h2, ...)"},
        {"read h1", "s:1: 'read' is missing arguments (usage: read H N)"},
        {"close h1 h2", "s:1: 'close' has too many arguments (usage: close H)"},
        {"plug now", "s:1: 'plug' has too many arguments (usage: plug)"},
        {"sleep S5", "s:1: bad sleep state 'S5' (S1 to S4)"},
        {"sleep", "s:1: 'sleep' is missing arguments (usage: sleep S1..S4)"},
        {"expect STATUS_NOPE", "s:1: unknown status name 'STATUS_NOPE'"},
        {"write h1 hex:abc", "s:1: bad hex bytes 'hex:abc' (pairs of hex digits)"},
        {"write h1 hex:zz", "s:1: bad hex bytes 'hex:zz' (pairs of hex digits)"},
        {"ioctl h1 reboot", "s:1: unknown control 'reboot' (fetch-config, port-reset, pipe-reset or 0xCODE)"},
        {"ioctl h1 0x1000000000", "s:1: unknown control '0x1000000000' (fetch-config, port-reset, pipe-reset or 0xCODE)"},
        {"wait 600001", "s:1: bad number '600001' (0 to 600000)"},
        {"loopback h1 h2 0", "s:1: bad number '0' (1 to 4294967296)"},
        {"\n\n  write& h1", "s:3: 'write&' is missing arguments (usage: write& H N|hex:BYTES)"},
    };
    for (const auto& [text, message] : table) {
        std::string error;
        EXPECT_FALSE(ParseScript(text, "s", &error)) << text;
        EXPECT_EQ(error, message) << text;
    }
}

TEST(SessionParser, UnreadableScriptIsNamed)
{
    std::string error;
    EXPECT_FALSE(LoadScript("/nonexistent/dir/x.session", &error));
    EXPECT_EQ(error, "/nonexistent/dir/x.session: cannot read the script (No such file or directory)");
}

}  // namespace
}  // namespace session
