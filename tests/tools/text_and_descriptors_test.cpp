#include "tools/session/descriptors.h"
#include "tools/session/text.h"

#include <gtest/gtest.h>

namespace session {
namespace {

TEST(SessionText, NumbersAreDecimalOrHexWithinTheirLimit)
{
    const std::tuple<const char*, uint64_t, std::optional<uint64_t>> table[] = {
        {"0", 10, 0},           {"65536", 65536, 65536}, {"65537", 65536, std::nullopt},
        {"0x10", 100, 16},      {"0XfF", 300, 255},      {"0x", 100, std::nullopt},
        {"", 100, std::nullopt}, {"-1", 100, std::nullopt}, {"12a", 100, std::nullopt},
        {"0x1g", 100, std::nullopt}, {"18446744073709551615", UINT64_MAX, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, std::nullopt},
    };
    for (const auto& [text, limit, value] : table)
        EXPECT_EQ(ParseNumber(text, limit), value) << text;
}

TEST(SessionText, DevicePathsJoinWithOneBackslash)
{
    EXPECT_EQ(DevicePath("\\\\.\\pondrel", ""), "\\\\.\\pondrel");
    EXPECT_EQ(DevicePath("\\\\.\\pondrel", "PIPE1"), "\\\\.\\pondrel\\PIPE1");
    EXPECT_EQ(DevicePath("\\\\.\\pondrel", "\\PIPE1"), "\\\\.\\pondrel\\PIPE1");
    EXPECT_EQ(Fixed(2.0 / 3, 3), "0.667");
    EXPECT_EQ(CountingPattern(3, 254), (std::vector<uint8_t>{254, 255, 0}));
}

TEST(SessionDescriptors, MalformedInputIsDescribedNotReadBeyond)
{
    const std::pair<std::vector<uint8_t>, const char*> table[] = {
        {{}, ""},
        {{0x09, 0x02, 0x09}, "(malformed: 3 bytes, 9 needed)"},
        {{0x00, 0x02}, "(malformed: descriptor at byte 0 has length 0)"},
        {{0x09}, "(malformed: descriptor at byte 0 has length 1)"},
        {{0x09, 0x02, 0x12, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04},
         "(truncated: descriptor at byte 9 claims 9 bytes, 2 left)"},
        {{0x09, 0x02, 0x0e, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x05, 0x21, 0x01, 0x02, 0x03},
         "Unknown descriptor type 0x21, 5 bytes: 0521010203"},
        {{0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00}, "bEndpointAddress      0x81  EP 1 IN"},
        {{0x07, 0x05, 0x02, 0x03, 0x08, 0x18, 0x04}, "wMaxPacketSize      0x1808  4x 8 bytes"},
    };
    for (const auto& [bytes, expected] : table) {
        std::string text = DescribeDescriptors({}, bytes);
        EXPECT_NE(text.find(expected), std::string::npos) << text;
    }
    EXPECT_NE(DescribeDescriptors({0x12, 0x01}, {}).find("(malformed: 2 bytes, 18 needed) 1201"), std::string::npos);
}

TEST(SessionDescriptors, ConfigurationAttributesAreSpelledOut)
{
    std::vector<uint8_t> selfPowered = {0x09, 0x02, 0x09, 0x00, 0x01, 0x01, 0x00, 0xC0, 0x00};
    std::vector<uint8_t> wakeCapable = {0x09, 0x02, 0x09, 0x00, 0x01, 0x01, 0x00, 0xA0, 0xFA};
    std::string self = DescribeDescriptors({}, selfPowered);
    std::string wake = DescribeDescriptors({}, wakeCapable);
    EXPECT_NE(self.find("Self Powered"), std::string::npos);
    EXPECT_EQ(self.find("Remote Wakeup"), std::string::npos);
    EXPECT_NE(wake.find("(Bus Powered)\n      Remote Wakeup\n    MaxPower              500mA"), std::string::npos) << wake;
}

}  // namespace
}  // namespace session
