// The session's `fault` command: every kind read into its fields through
// the session parser, and one line saying what is wrong otherwise.
#include "tools/session/parser.h"

#include <gtest/gtest.h>

#include <tuple>

namespace session {
namespace {

using Kind = FaultRequest::Kind;

TEST(FaultCommand, EachKindIsReadIntoItsFields)
{
    const struct {
        const char* text;
        FaultRequest fault;
    } table[] = {
        {"fault 0x81 stall", {0x81, Kind::Stall, 0, 0}},
        {"fault 0x01 stall after 3", {0x01, Kind::Stall, 3, 0}},
        {"fault 0x81 nak 250", {0x81, Kind::Nak, 250, 0}},
        {"fault 0x82 silent", {0x82, Kind::Silent, 0, 0}},
        {"fault 0x81 short 10", {0x81, Kind::Short, 10, 0}},
        {"fault 0x81 zlp off", {0x81, Kind::Zlp, 0, 0}},
        {"fault 0x01 zlp on", {0x01, Kind::Zlp, 1, 0}},
        {"fault 0x01 fail-after 4096 USBD_STATUS_CRC", {0x01, Kind::FailAfter, 4096, 0xC0000001}},
        {"fault 0x01 fail-after 0 0xC0000011", {0x01, Kind::FailAfter, 0, 0xC0000011}},
        {"fault 0x02 leave-after 65536", {0x02, Kind::LeaveAfter, 65536, 0}},
        {"fault 0x81 clear", {0x81, Kind::Clear, 0, 0}},
    };
    for (const auto& row : table) {
        std::string error;
        auto commands = ParseCommandString(row.text, &error);
        ASSERT_TRUE(commands.has_value()) << row.text << ": " << error;
        const FaultRequest& got = (*commands)[0].fault;
        EXPECT_EQ((*commands)[0].verb, Verb::Fault) << row.text;
        EXPECT_EQ(std::tie(got.endpoint, got.kind, got.value, got.usbdStatus),
                  std::tie(row.fault.endpoint, row.fault.kind, row.fault.value, row.fault.usbdStatus))
            << row.text;
    }
    EXPECT_TRUE(IsLifecycleVerb(Verb::Fault)) << "a real device cannot be told to misbehave";
}

TEST(FaultCommand, BrokenFaultsSayWhatIsWrong)
{
    const std::pair<const char*, const char*> table[] = {
        {"fault 0x81", "-c:1: 'fault' is missing arguments"},
        {"fault 81 stall", "-c:1: bad endpoint '81'"},
        {"fault 0x80 stall", "-c:1: bad endpoint '0x80'"},
        {"fault 0x81 wobble", "-c:1: unknown fault 'wobble'"},
        {"fault 0x81 stall 3", "-c:1: 'fault stall' takes [after N]"},
        {"fault 0x81 nak", "-c:1: 'fault nak' takes MS"},
        {"fault 0x81 short x", "-c:1: 'fault short' takes N"},
        {"fault 0x81 zlp maybe", "-c:1: 'fault zlp' takes on|off"},
        {"fault 0x81 silent now", "-c:1: 'fault silent' takes nothing more"},
        {"fault 0x01 fail-after 10 USBD_STATUS_SUCCESS", "-c:1: 'fault fail-after' takes N USBD_STATUS_NAME"},
        {"fault 0x01 fail-after 10", "-c:1: 'fault fail-after' takes N USBD_STATUS_NAME"},
    };
    for (const auto& [text, start] : table) {
        std::string error;
        EXPECT_FALSE(ParseCommandString(text, &error).has_value()) << text;
        EXPECT_EQ(error.substr(0, std::string(start).size()), start) << text;
        EXPECT_NE(error.find("(usage: fault EP "), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace session
