// The session parser: the fields each command is read into, where each
// command came from, and one line naming file, line and fault for broken
// input.
#include "tools/session/parser.h"

#include <gtest/gtest.h>

#include <tuple>

namespace session {
namespace {

using Kind = FaultRequest::Kind;

// What a command says, leaving out where it was written.
auto Fields(const Command& c)
{
    return std::tie(c.verb, c.name, c.handle, c.inHandle, c.length, c.hasBytes, c.bytes, c.chunk, c.code, c.sleepState,
                    c.wmiMinor, c.expectsStatus, c.status, c.expectsInformation, c.information, c.expectsData,
                    c.milliseconds,
                    c.fault.endpoint, c.fault.kind, c.fault.value, c.fault.usbdStatus);
}

TEST(SessionParser, EachCommandIsReadIntoItsFields)
{
    const std::pair<const char*, Command> table[] = {
        {"plug", {.verb = Verb::Plug}},
        {"system-control QUERY_ALL_DATA", {.verb = Verb::SystemControl}},
        {"system-control IRP_MN_REGINFO_EX", {.verb = Verb::SystemControl, .wmiMinor = 0x0B}},
        {"sleep S3", {.verb = Verb::Sleep, .sleepState = 3}},
        {"sleep s1", {.verb = Verb::Sleep, .sleepState = 1}},
        {"open \\PIPE1", {.verb = Verb::Open, .name = "\\PIPE1"}},
        {"open", {.verb = Verb::Open}},
        {"open-interface \\PIPE1", {.verb = Verb::OpenInterface, .name = "\\PIPE1"}},
        {"open \\PIPE#1", {.verb = Verb::Open, .name = "\\PIPE#1"}},
        {"pipes h2", {.verb = Verb::Pipes, .handle = 2}},
        {"write h1 4096", {.verb = Verb::Write, .handle = 1, .length = 4096}},
        {"write h12 0x10", {.verb = Verb::Write, .handle = 12, .length = 16}},
        {"write h1 hex:00ff7A", {.verb = Verb::Write, .handle = 1, .length = 3, .hasBytes = true, .bytes = {0x00, 0xff, 0x7a}}},
        {"read h2 65537", {.verb = Verb::Read, .handle = 2, .length = 65537}},
        {"write& h3 0", {.verb = Verb::WriteAsync, .handle = 3}},
        {"ioctl h1 fetch-config", {.verb = Verb::Ioctl, .handle = 1, .length = 65535, .code = 0x220444}},
        {"ioctl h1 fetch-config 9", {.verb = Verb::Ioctl, .handle = 1, .length = 9, .code = 0x220444}},
        {"ioctl h2 0x22044F 16", {.verb = Verb::Ioctl, .handle = 2, .length = 16, .code = 0x22044F}},
        {"loopback h1 h2 1048576 4096", {.verb = Verb::Loopback, .handle = 1, .inHandle = 2, .length = 1048576, .chunk = 4096}},
        {"loopback h1 h2 100", {.verb = Verb::Loopback, .handle = 1, .inHandle = 2, .length = 100, .chunk = 65536}},
        {"expect STATUS_CANCELLED", {.verb = Verb::Expect, .expectsStatus = true, .status = 0xC0000120}},
        {"expect 0xc0001234", {.verb = Verb::Expect, .expectsStatus = true, .status = 0xC0001234}},
        {"expect STATUS_DEVICE_BUSY", {.verb = Verb::Expect, .expectsStatus = true, .status = 0x80000011}},
        {"expect STATUS_SUCCESS 64",
         {.verb = Verb::Expect, .expectsStatus = true, .expectsInformation = true, .information = 64}},
        {"expect data hex:CAfe", {.verb = Verb::Expect, .bytes = {0xca, 0xfe}, .expectsData = true}},
        {"wait 250", {.verb = Verb::Wait, .milliseconds = 250}},
        {"fault 0x81 stall", {.verb = Verb::Fault, .fault = {0x81, Kind::Stall, 0, 0}}},
        {"fault 0x01 stall after 3", {.verb = Verb::Fault, .fault = {0x01, Kind::Stall, 3, 0}}},
        {"fault 0x81 nak 250", {.verb = Verb::Fault, .fault = {0x81, Kind::Nak, 250, 0}}},
        {"fault 0x82 silent", {.verb = Verb::Fault, .fault = {0x82, Kind::Silent, 0, 0}}},
        {"fault 0x81 short 10", {.verb = Verb::Fault, .fault = {0x81, Kind::Short, 10, 0}}},
        {"fault 0x81 zlp off", {.verb = Verb::Fault, .fault = {0x81, Kind::Zlp, 0, 0}}},
        {"fault 0x01 zlp on", {.verb = Verb::Fault, .fault = {0x01, Kind::Zlp, 1, 0}}},
        {"fault 0x01 fail-after 4096 USBD_STATUS_CRC", {.verb = Verb::Fault, .fault = {0x01, Kind::FailAfter, 4096, 0xC0000001}}},
        {"fault 0x01 fail-after 0 0xC0000011", {.verb = Verb::Fault, .fault = {0x01, Kind::FailAfter, 0, 0xC0000011}}},
        {"fault 0x02 leave-after 65536", {.verb = Verb::Fault, .fault = {0x02, Kind::LeaveAfter, 65536, 0}}},
        {"fault 0x81 clear", {.verb = Verb::Fault, .fault = {0x81, Kind::Clear, 0, 0}}},
    };
    for (const auto& [text, expected] : table) {
        SCOPED_TRACE(text);
        std::string error;
        auto commands = ParseScript(text, "t.session", &error);
        ASSERT_TRUE(commands && commands->size() == 1) << error;
        const Command& command = commands->front();
        EXPECT_TRUE(Fields(command) == Fields(expected));
        EXPECT_EQ(command.text, text);
        EXPECT_EQ(VerbWord(command.verb), std::string_view(text).substr(0, std::string_view(text).find(' ')));
        EXPECT_EQ(IsLifecycleVerb(command.verb), command.verb <= Verb::Fault) << "a real device cannot be told to misbehave";
    }
}

TEST(SessionParser, SeparatorsCommentsAndLineNumbers)
{
    std::string error;
    auto commands = ParseScript("# a session\n"
                                "open \\PIPE0 ; open \\PIPE1 ;  # two handles\n"
                                "\n"
                                "\twrite   h1\t64\r\n"
                                ";;\n"
                                "read h2 64",
                                "demo.session", &error);
    ASSERT_TRUE(commands) << error;
    const std::pair<int, const char*> expected[] = {{2, "open \\PIPE0"}, {2, "open \\PIPE1"}, {4, "write h1 64"},
                                                    {6, "read h2 64"}};
    ASSERT_EQ(commands->size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ((*commands)[i].line, expected[i].first);
        EXPECT_EQ((*commands)[i].text, expected[i].second);
        EXPECT_EQ((*commands)[i].source, "demo.session");
    }

    commands = ParseCommandString("plug; #a note; open \\PIPE0 ;; write h1 8; # one more; read h1 8", &error);
    ASSERT_TRUE(commands) << error;
    ASSERT_EQ(commands->size(), 4u) << "a comment ends where its command ends";
    EXPECT_EQ((*commands)[3].Where(), "-c:4") << "a -c string numbers its commands by position";
}

// A message ending in "..." is the start of the line, which goes on to the
// command's usage.
TEST(SessionParser, BrokenInputGivesOneLineNamingFileLineAndFault)
{
    const std::pair<const char*, std::string> table[] = {
        {"frob", "s:1: unknown command 'frob'"},
        {"open\nwrite h1 12x", "s:2: bad number '12x' (0 to 16777216)"},
        {"write h1 16777217", "s:1: bad number '16777217' (0 to 16777216)"},
        {"read x1 4", "s:1: bad handle 'x1' (handles are h1, h2, ...)"},
        {"read h0 4", "s:1: bad handle 'h0' (handles are h1, h2, ...)"},
        {"close h01", "s:1: bad handle 'h01' (handles are h1, h2, ...)"},
        {"read h1", "s:1: 'read' is missing arguments (usage: read H N)"},
        {"close h1 h2", "s:1: 'close' has too many arguments (usage: close H)"},
        {"sleep S5", "s:1: bad sleep state 'S5' (S1 to S4)"},
        {"system-control QUERY", "s:1: unknown WMI request 'QUERY' (QUERY_ALL_DATA, REGINFO_EX, ...)"},
        {"expect STATUS_NOPE", "s:1: unknown status name 'STATUS_NOPE'"},
        {"expect 12", "s:1: unknown status name '12'"},
        {"expect 0x1FFFFFFFF", "s:1: unknown status name '0x1FFFFFFFF'"},
        {"write h1 hex:abc", "s:1: bad hex bytes 'hex:abc' (pairs of hex digits)"},
        {"write h1 hex:zz", "s:1: bad hex bytes 'hex:zz' (pairs of hex digits)"},
        {"ioctl h1 reboot", "s:1: unknown control 'reboot' (fetch-config, port-reset, pipe-reset or 0xCODE)"},
        {"ioctl h1 0x1000000000", "s:1: unknown control '0x1000000000' (fetch-config, port-reset, pipe-reset or 0xCODE)"},
        {"wait 600001", "s:1: bad number '600001' (0 to 600000)"},
        {"loopback h1 h2 0", "s:1: bad number '0' (1 to 4294967296)"},
        {"\n\n  write& h1", "s:3: 'write&' is missing arguments (usage: write& H N|hex:BYTES)"},
        {"write h1 8 # a note", "s:1: 'write' has too many arguments (usage: write H N|hex:BYTES)"},
        {"\x01\xff\xfeok", "s:1: unknown command '\\x01\\xff\\xfeok'"},
        {"expect data cafe", "s:1: 'expect data' needs hex:BYTES (usage: expect STATUS_NAME [INFORMATION] | expect data hex:BYTES)"},
        {"expect STATUS_SUCCESS many", "s:1: bad number 'many' (0 to 18446744073709551615)"},
        {"fault 0x81", "s:1: 'fault' is missing arguments (usage: fault EP ..."},
        {"fault 81 stall", "s:1: bad endpoint '81' ..."},
        {"fault 0x80 stall", "s:1: bad endpoint '0x80' ..."},
        {"fault 0x81 wobble", "s:1: unknown fault 'wobble' ..."},
        {"fault 0x81 stall 3", "s:1: 'fault stall' takes [after N] ..."},
        {"fault 0x81 nak", "s:1: 'fault nak' takes MS ..."},
        {"fault 0x81 short x", "s:1: 'fault short' takes N ..."},
        {"fault 0x81 nak 4294967296", "s:1: bad number '4294967296' in 'fault nak' (0 to 4294967295) ..."},
        {"fault 0x81 zlp maybe", "s:1: 'fault zlp' takes on|off ..."},
        {"fault 0x81 silent now", "s:1: 'fault silent' takes nothing more ..."},
        {"fault 0x01 fail-after 10 USBD_STATUS_SUCCESS", "s:1: 'fault fail-after' takes N USBD_STATUS_NAME ..."},
        {"fault 0x01 fail-after 10", "s:1: 'fault fail-after' takes N USBD_STATUS_NAME ..."},
    };
    for (auto [text, message] : table) {
        std::string error;
        EXPECT_FALSE(ParseScript(text, "s", &error)) << text;
        if (message.ends_with(" ...")) {
            message.resize(message.size() - 3);
            EXPECT_NE(error.find("(usage: fault EP "), std::string::npos) << error;
            error.resize(std::min(error.size(), message.size()));
        }
        EXPECT_EQ(error, message) << text;
    }
    std::string error;
    EXPECT_FALSE(ParseCommandString("plug; open; frob", &error));
    EXPECT_EQ(error, "-c:3: unknown command 'frob'");
    EXPECT_FALSE(LoadScript("/nonexistent/dir/x.session", &error));
    EXPECT_EQ(error, "/nonexistent/dir/x.session: cannot read the script (No such file or directory)");
}

}  // namespace
}  // namespace session
