#include "include/pondrel.h"
#include "tools/session/descriptors.h"
#include "tools/session/missing_device.h"
#include "tools/session/pipe_table.h"
#include "tools/session/text.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace session {
namespace {

// The public header gives the interface class twice, as an initializer and
// as text: they must name the same GUID.
TEST(PublicHeader, InterfaceClassInitializerAndTextAgree)
{
    struct {
        uint32_t data1;
        uint16_t data2, data3;
        uint8_t data4[8];
    } guid = PONDREL_INTERFACE_GUID_INIT;
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.data1, guid.data2,
                  guid.data3, guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4], guid.data4[5],
                  guid.data4[6], guid.data4[7]);
    EXPECT_STREQ(text, PONDREL_INTERFACE_GUID_STRING);
    EXPECT_STREQ(PONDREL_PIPE_PATH(3), "\\\\.\\pondrel\\PIPE3");
}

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

// Sizes are shown in the largest unit they reach, from one byte to GiB.
TEST(SessionText, SizesReadAsPeopleWriteThem)
{
    const std::pair<uint64_t, const char*> table[] = {
        {0, "0 bytes"},         {1, "1 byte"},          {1000, "1000 bytes"},      {1023, "1023 bytes"},
        {1024, "1.0 KiB"},      {100000, "97.7 KiB"},   {1048576, "1.00 MiB"},     {3000000, "2.86 MiB"},
        {1ull << 31, "2.00 GiB"},
    };
    for (const auto& [bytes, shown] : table)
        EXPECT_EQ(ReadableSize(bytes), shown) << bytes;
}

// pondrelctl's open that finds no such name says the driver or the device
// may be missing; other failures keep their own words.
TEST(SessionText, AMissingDeviceIsExplained)
{
    const std::pair<uint32_t, bool> table[] = {
        {0xC0000034, true}, {0xC000003A, true}, {0xC000000D, false}, {0xC0000022, false}, {0, false}};
    for (const auto& [status, hinted] : table) {
        const std::string hint = MissingDeviceHint(status, "\\\\.\\pondrel");
        EXPECT_EQ(hint.starts_with("no device at \\\\.\\pondrel: is the pondrel driver installed"), hinted) << hint;
        EXPECT_EQ(hint.empty(), !hinted);
    }
}

// What reaches a terminal is text: control characters and bytes that are
// not UTF-8 are escaped, and an input file's first such byte is named.
TEST(SessionText, BytesThatAreNotTextAreEscaped)
{
    const std::tuple<std::string, std::string, std::string> table[] = {
        {"plain \\PIPE1", "plain \\PIPE1", ""},
        {"caf\xc3\xa9", "caf\xc3\xa9", ""},
        {"a\x1b[2Jb", "a\\x1b[2Jb", "line 1: byte 0x1b is not text"},
        {"ok\n\x89PNG", "ok\\x0a\\x89PNG", "line 2: byte 0x89 is not text"},
        {"\xc0\xaf \xed\xa0\x80", "\\xc0\\xaf \\xed\\xa0\\x80", "line 1: byte 0xc0 is not text"},
        {"\xc2\x85", "\\xc2\\x85", "line 1: byte 0xc2 is not text"},
        {"tab\there\r\n", "tab\\x09here\\x0d\\x0a", ""},
    };
    for (const auto& [text, shown, nonText] : table) {
        EXPECT_EQ(Printable(text), shown);
        EXPECT_EQ(FindNonText(text), nonText);
    }
}

// The pipe table: the endpoints of the lowest-numbered interface's
// alternate setting 0, in descriptor order, whatever comes around them.
TEST(SessionPipeTable, LowestInterfaceAlternateZeroInDescriptorOrder)
{
    const std::vector<uint8_t> configuration = {
        0x09, 0x02, 0x00, 0x00, 0x02, 0x01, 0x00, 0x80, 0x32,
        0x09, 0x04, 0x01, 0x00, 0x01, 0xff, 0x00, 0x00, 0x00,  // interface 1
        0x07, 0x05, 0x84, 0x02, 0x40, 0x00, 0x00,
        0x09, 0x04, 0x00, 0x01, 0x01, 0xff, 0x00, 0x00, 0x00,  // interface 0, alternate 1
        0x07, 0x05, 0x85, 0x02, 0x40, 0x00, 0x00,
        0x09, 0x04, 0x00, 0x00, 0x02, 0xff, 0x00, 0x00, 0x00,  // interface 0, alternate 0
        0x05, 0x24, 0x00, 0x10, 0x01,                          // a class descriptor between
        0x07, 0x05, 0x83, 0x03, 0x08, 0x00, 0x0a,
        0x07, 0x05, 0x02, 0x02, 0x00, 0x02, 0x00,
    };
    auto pipes = PipeTable(configuration);
    ASSERT_EQ(pipes.size(), 2u);
    EXPECT_EQ(PipeTableText(pipes), "    pipe  endpoint  type         direction  packet size  interval\n"
                                    "       0  0x83      interrupt    in                   8        10\n"
                                    "       1  0x02      bulk         out                512         0\n");
    EXPECT_EQ(PipeTableJson({pipes[0]}), R"([{"index":0,"endpoint":"0x83","type":"interrupt","direction":"in",)"
                                         R"("packet_size":8,"interval":10}])");
    EXPECT_TRUE(PipeTable({0x09, 0x02, 0x09, 0x00}).empty());
}

// Malformed input is described, not read beyond; attributes are spelled out.
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
        {{0x09, 0x02, 0x09, 0x00, 0x01, 0x01, 0x00, 0xC0, 0x00}, "      Self Powered\n    MaxPower                0mA"},
        {{0x09, 0x02, 0x09, 0x00, 0x01, 0x01, 0x00, 0xA0, 0xFA},
         "(Bus Powered)\n      Remote Wakeup\n    MaxPower              500mA"},
    };
    for (const auto& [bytes, expected] : table) {
        std::string text = DescribeDescriptors({}, bytes);
        EXPECT_NE(text.find(expected), std::string::npos) << text;
    }
    EXPECT_NE(DescribeDescriptors({0x12, 0x01}, {}).find("(malformed: 2 bytes, 18 needed) 1201"), std::string::npos);
}

// Interface associations, class-specific descriptors and class names, as
// lsusb names them.
TEST(SessionDescriptors, ClassesAndClassSpecificDescriptorsByName)
{
    const std::vector<uint8_t> cdcInterface = {0x09, 0x04, 0x00, 0x00, 0x01, 0x02, 0x02, 0x01, 0x00};
    auto withCdc = [&](std::vector<uint8_t> functional) {
        functional.insert(functional.begin(), cdcInterface.begin(), cdcInterface.end());
        return functional;
    };
    const std::pair<std::vector<uint8_t>, const char*> table[] = {
        {{0x08, 0x0b, 0x00, 0x02, 0x02, 0x02, 0x01, 0x00},
         "    Interface Association:\n      bLength                 8\n      bDescriptorType        11\n"
         "      bFirstInterface         0\n      bInterfaceCount         2\n      bFunctionClass          2 Communications\n"},
        {cdcInterface, "bInterfaceClass         2 Communications\n"},
        {{0x09, 0x04, 0x01, 0x00, 0x02, 0x0a, 0x00, 0x00, 0x00}, "bInterfaceClass        10 CDC Data\n"},
        {{0x09, 0x04, 0x00, 0x00, 0x00, 0x08, 0x06, 0x50, 0x00}, "bInterfaceClass         8 Mass Storage\n"},
        {{0x09, 0x04, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x00}, "bInterfaceClass        66\n"},
        {withCdc({0x05, 0x24, 0x00, 0x10, 0x01}), "      CDC Header:\n        bcdCDC              0x0110\n"},
        {withCdc({0x05, 0x24, 0x01, 0x03, 0x01}), "      CDC Call Management:\n        bmCapabilities          3\n        bDataInterface          1\n"},
        {withCdc({0x04, 0x24, 0x02, 0x06}), "      CDC ACM:\n        bmCapabilities          6\n"},
        {withCdc({0x06, 0x24, 0x06, 0x00, 0x01, 0x02}), "      CDC Union:\n        bMasterInterface        0\n        bSlaveInterface         1\n        bSlaveInterface         2\n"},
        {withCdc({0x04, 0x24, 0x02}), "      CDC ACM:\n        (short: 3 bytes)\n"},
        {withCdc({0x04, 0x24, 0x1a, 0x01}), "      CDC descriptor subtype 0x1a, 4 bytes: 04241a01\n"},
        {withCdc({0x02, 0x24}), "      Class-specific interface descriptor (Communications), 2 bytes: 0224\n"},
        {{0x09, 0x04, 0x00, 0x00, 0x01, 0x03, 0x01, 0x01, 0x00, 0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x3f, 0x00},
         "      HID Device Descriptor:\n        bcdHID                1.11\n        bCountryCode            0\n"
         "        bNumDescriptors         1\n        bDescriptorType        34 Report\n        wDescriptorLength      63\n"},
        {{0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x05, 0x24, 0x01, 0x00, 0x01},
         "      Class-specific interface descriptor (Audio), 5 bytes: 0524010001\n"},
        {{0x06, 0x30, 0x0f, 0x00, 0x00, 0x00}, "  SuperSpeed Endpoint Companion:\n    bMaxBurst              15\n"},
    };
    for (const auto& [bytes, expected] : table) {
        std::string text = DescribeDescriptors({}, bytes);
        EXPECT_NE(text.find(expected), std::string::npos) << text;
    }
    std::vector<uint8_t> device = {0x12, 0x01, 0x00, 0x02, 0xef, 0x02, 0x01, 0x40, 0x09, 0x12,
                                   0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
    EXPECT_NE(DescribeDescriptors(device, {}).find("bDeviceClass          239 Miscellaneous Device\n"), std::string::npos);
}

}  // namespace
}  // namespace session
