// The result lines for people and for programs, with their status names.
#include "tools/session/printer.h"
#include "tools/session/status_names.h"

#include <gtest/gtest.h>

#include <sstream>

namespace session {
namespace {

TEST(SessionPrinter, OneLinePerResultForPeopleAndForPrograms)
{
    const struct {
        Result result;
        std::string human;
        std::string json;
    } table[] = {
        {{.cmd = "read h1 3", .information = 3, .hasData = true, .data = {0x00, 0x7f, 0xff}},
         "read h1 3                 STATUS_SUCCESS (0x00000000)               Information 3",
         R"({"cmd":"read h1 3","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":3,"data":"007fff"})"},
        {{.cmd = "expect STATUS_SUCCESS", .status = 0xC0000184, .held = false},
         "expect STATUS_SUCCESS     STATUS_INVALID_DEVICE_STATE (0xC0000184)  Information 0  NOT HELD",
         R"({"cmd":"expect STATUS_SUCCESS","status":"STATUS_INVALID_DEVICE_STATE","ntstatus":"0xC0000184","information":0,"held":false})"},
        {{.cmd = "loopback h1 h2 64", .information = 64, .figures = {{"seconds", "0.5"}}, .note = "fast"},
         "loopback h1 h2 64         STATUS_SUCCESS (0x00000000)               Information 64  fast",
         R"({"cmd":"loopback h1 h2 64","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":64,"seconds":0.5})"},
        {{.cmd = "open \x01\xff\xc3\xa9", .status = 0xC0000034},
         "open \\x01\\xff\xc3\xa9"  "            STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034) Information 0",
         R"({"cmd":"open \u0001\\xff)" "\xc3\xa9" R"(","status":"STATUS_OBJECT_NAME_NOT_FOUND","ntstatus":"0xC0000034","information":0})"},
        {{.cmd = "pipes h1", .information = 9, .table = "    pipe  endpoint\n", .decoded = "only with -v\n"},
         "pipes h1                  STATUS_SUCCESS (0x00000000)               Information 9\n    pipe  endpoint",
         R"({"cmd":"pipes h1","status":"STATUS_SUCCESS","ntstatus":"0x00000000","information":9})"},
    };
    for (const auto& test : table) {
        std::ostringstream human;
        std::ostringstream json;
        Printer(human, Printer::Style::Human, false).Print(test.result);
        Printer(json, Printer::Style::Json, false).Print(test.result);
        EXPECT_EQ(human.str(), test.human + "\n");
        EXPECT_EQ(json.str(), test.json + "\n");
    }
    EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
    EXPECT_EQ(StatusName(0x80000011), "STATUS_DEVICE_BUSY");
    EXPECT_EQ(StatusName(0xC0001234), "0xC0001234") << "a status without a name";
}

}  // namespace
}  // namespace session
