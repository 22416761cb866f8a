// Device files: descriptor sets and endpoint behaviours written as text,
// and the errors that name the file and line of what is wrong.
#include "emulator/usb/device_model.h"
#include "emulator/usb/usb_api.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace emu::usb {
namespace {

const char* const kGood = R"(# a loopback device
device 12 01 00 02 00 00 00 40 09 12 01 00 00 01 00 00 00 01
config 09 02 2e 00 01 01 00 a0 32   # header
       09 04 00 00 04 ff 00 00 00
  07 05 01 02 00 02 00
	0705810200020007050202000200
       07 05 82 02 0x0 0x2 0x0

endpoint 0x01 loopback paired 0x82 no-zlp
endpoint 81 source
endpoint 0x02 sink
)";

// Read from a file, as pondrel-sim --device does; a file that cannot be
// opened is named.
TEST(DeviceFile, ParsesDescriptorsContinuationsCommentsEndpointsAndOptions)
{
    const std::string path = ::testing::TempDir() + "pondrel_device_file_test.dev";
    std::ofstream(path) << kGood;
    std::string error;
    auto model = DeviceModel::Load(path, &error);
    std::remove(path.c_str());
    ASSERT_TRUE(model.has_value()) << error;
    EXPECT_FALSE(DeviceModel::Load(path, &error).has_value());
    EXPECT_EQ(error, path + ":0: cannot open the file");
    EXPECT_EQ(model->deviceDescriptor,
              (std::vector<uint8_t>{0x12, 1, 0, 2, 0, 0, 0, 0x40, 9, 0x12, 1, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(model->configDescriptor,
              (std::vector<uint8_t>{9, 2, 0x2e, 0, 1, 1, 0, 0xa0, 0x32, 9, 4, 0, 0, 4, 0xff, 0, 0, 0,
                                    7, 5, 1, 2, 0, 2, 0, 7, 5, 0x81, 2, 0, 2, 0,
                                    7, 5, 2, 2, 0, 2, 0, 7, 5, 0x82, 2, 0, 2, 0}));
    const auto role = [&](uint8_t address) { return std::pair(model->RoleFor(address).behaviour, model->RoleFor(address).pairedWith.value_or(0)); };
    using B = EndpointBehaviour;  // endpoints the file does not name are sinks (OUT) and silent (IN)
    EXPECT_EQ(std::tuple(role(0x01), role(0x82), role(0x81).first, role(0x02).first, role(0x05).first, role(0x85).first),
              std::tuple(std::pair(B::Loopback, uint8_t{0x82}), std::pair(B::Loopback, uint8_t{0x01}), B::Source, B::Sink, B::Sink,
                         B::Silent));
    EXPECT_EQ(std::tuple(model->RoleFor(0x01).zeroLengthTerminator, model->RemoteWakeCapable()), std::tuple(false, true));
}

TEST(DeviceFile, SpeedAndFaultLinesApplyInOrder)
{
    const std::string text = std::string(kGood) +
                             "speed full\nfault 0x81 stall after 2\nfault 0x01 fail-after 100 USBD_STATUS_CRC\n"
                             "fault 0x82 nak 50\nfault 0x82 silent\nfault 0x81 short 9\nfault 0x81 zlp off\n"
                             "fault 0x02 leave-after 0x1000\nfault 0x82 clear\nbus-wake none\n";
    std::string error;
    auto model = DeviceModel::Parse(text, "faults.dev", &error);
    ASSERT_TRUE(model.has_value()) << error;
    EXPECT_EQ(model->speed, BusSpeed::Full);
    EXPECT_EQ(std::tuple(model->power.systemWake, model->power.deviceWake, model->RemoteWakeCapable()), std::tuple(0, 0, false));
    using K = EndpointFault::Kind;
    const std::vector<std::tuple<uint8_t, K, uint64_t, USBD_STATUS>> expected = {
        {0x81, K::Stall, 2, 0},  {0x01, K::FailAfter, 100, USBD_STATUS_CRC}, {0x82, K::Nak, 50, 0},
        {0x82, K::Silent, 0, 0}, {0x81, K::Short, 9, 0},  {0x81, K::Zlp, 0, 0},
        {0x02, K::LeaveAfter, 0x1000, 0}, {0x82, K::Clear, 0, 0}};
    std::vector<std::tuple<uint8_t, K, uint64_t, USBD_STATUS>> got;
    for (const auto& [address, fault] : model->faults) {
        got.emplace_back(address, fault.kind, fault.value, fault.status);
    }
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(model->defaultPipeSilent);
    EXPECT_TRUE(DeviceModel::Parse(std::string(kGood) + "fault 0x00 silent\n", "mute.dev", &error)->defaultPipeSilent);
    EXPECT_EQ(DeviceModel::Parse(kGood, "good.dev", &error)->speed, BusSpeed::High) << "the default";
}

// Without a speed line the device is on the fastest bus its descriptors
// are valid at (bcdUSB, bMaxPacketSize0, every endpoint), and the model says
// so; with none, on a high-speed bus.
TEST(DeviceFile, WithoutASpeedLineTheFastestValidSpeedIsTaken)
{
    const char* const companion = " 06 30 00 00 00 00";
    const struct {
        std::string device;  // bcdUSB and bMaxPacketSize0
        std::string endpoint;  // wMaxPacketSize, and what follows the endpoint
        BusSpeed speed;
        const char* note;
    } table[] = {
        {"10 01 00 00 00 08", "40 00 00", BusSpeed::Full, "no speed line: full speed, the fastest its descriptors are valid at"},
        {"00 02 00 00 00 40", "40 00 00", BusSpeed::Full, "full speed"},
        {"00 02 00 00 00 40", "00 02 00", BusSpeed::High, "high speed"},
        {"00 03 00 00 00 09", std::string("00 04 00") + companion + "\nbos 05 0f 0f 00 01 0a 10 03 00 0e 00 01 0a ff 07",
         BusSpeed::Super, "super speed"},
        {"00 03 00 00 00 09", std::string("00 04 00") + companion, BusSpeed::High, "no speed its"},  // no BOS
        {"10 01 00 00 00 40", "00 02 00", BusSpeed::High, "no speed line, and no speed its descriptors are valid at"},
    };
    for (const auto& row : table) {
        const std::string text = "device 12 01 " + row.device + " 09 12 01 00 00 01 00 00 00 01\nconfig 09 02 ff 00 01 01 00 "
                                 "80 32  09 04 00 00 01 ff 00 00 00  07 05 81 02 " + row.endpoint + "\n";
        auto model = DeviceModel::Parse(text, "speedless.dev", nullptr);
        ASSERT_TRUE(model.has_value()) << text;
        EXPECT_EQ(model->speed, row.speed) << text;
        EXPECT_NE(model->speedNote.find(row.note), std::string::npos) << model->speedNote;
    }
    auto given = DeviceModel::Parse(std::string(kGood) + "speed full\n", "given.dev", nullptr);
    EXPECT_EQ(std::tuple(given->speed, given->speedNote), std::tuple(BusSpeed::Full, std::string()));
}

TEST(DeviceFile, MalformedDescriptorsAreKeptAsWritten)
{
    std::string error;
    auto model = DeviceModel::Parse("device 01\nconfig 09 02 ff ff 00\n", "odd.dev", &error);
    ASSERT_TRUE(model.has_value()) << error;
    EXPECT_EQ(model->deviceDescriptor, std::vector<uint8_t>{1});
    EXPECT_EQ(model->configDescriptor, (std::vector<uint8_t>{9, 2, 0xff, 0xff, 0}));
}

struct BadFile {
    const char* name;
    const char* text;
    const char* error;
};

class BadDeviceFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadDeviceFile, NamesTheFileAndLine)
{
    std::string error;
    EXPECT_FALSE(DeviceModel::Parse(GetParam().text, "bad.dev", &error).has_value());
    EXPECT_EQ(error, GetParam().error);
}

#define CONFIG2 "config 09 02 20 00 01 01 00 80 32 09 04 00 00 02 ff 00 00 00 07 05 01 02 40 00 00 07 05 81 02 40 00 00\n"

INSTANTIATE_TEST_SUITE_P(
    Errors, BadDeviceFile,
    ::testing::Values(
        BadFile{"NotHex", "device 12 0g\n", "bad.dev:1: '0g' is not a hex byte"},
        BadFile{"OddDigits", "# c\ndevice 123\n", "bad.dev:2: '123' is not a hex byte"},
        BadFile{"PrefixTooLong", "device 0x123\n", "bad.dev:1: '0x123' is not a hex byte"},
        BadFile{"ContinuationFirst", "  12 01\n", "bad.dev:1: continuation line without a device, config or bos line before it"},
        BadFile{"ContinuationAfterEndpoint", "device 12\n" CONFIG2 "endpoint 0x01 sink\n  00\n",
                "bad.dev:4: continuation line without a device, config or bos line before it"},
        BadFile{"UnknownKeyword", "device 12\nconfg 09\n", "bad.dev:2: unknown keyword 'confg' (expected device, config, bos, endpoint, speed, bus-wake or fault)"},
        BadFile{"SecondDevice", "device 12\n\ndevice 13\n", "bad.dev:3: a second device line (the first is line 1)"},
        BadFile{"NoDevice", CONFIG2, "bad.dev:1: no device line"},
        BadFile{"NoConfig", "device 12\n# end\n", "bad.dev:2: no config line"},
        BadFile{"EmptyConfig", "device 12\nconfig # nothing\n", "bad.dev:2: the config line has no bytes"},
        BadFile{"EndpointMissingBehaviour", "device 12\n" CONFIG2 "endpoint 0x01\n",
                "bad.dev:3: endpoint needs an address and a behaviour (loopback, source, sink or silent)"},
        BadFile{"UnknownBehaviour", "device 12\n" CONFIG2 "endpoint 0x01 echo\n",
                "bad.dev:3: unknown behaviour 'echo' (loopback, source, sink or silent)"},
        BadFile{"BadAddress", "device 12\n" CONFIG2 "endpoint 0x00 sink\n", "bad.dev:3: '0x00' is not an endpoint address"},
        BadFile{"EndpointNotInConfig", "device 12\n" CONFIG2 "\nendpoint 0x02 sink\n",
                "bad.dev:4: endpoint 0x02 is not in the configuration descriptor"},
        BadFile{"SourceOnOut", "device 12\n" CONFIG2 "endpoint 0x01 source\n",
                "bad.dev:3: source needs an IN endpoint, 0x01 is OUT"},
        BadFile{"SinkOnIn", "device 12\n" CONFIG2 "endpoint 0x81 sink\n", "bad.dev:3: sink needs an OUT endpoint, 0x81 is IN"},
        BadFile{"Twice", "device 12\n" CONFIG2 "endpoint 0x01 sink\nendpoint 0x01 sink\n",
                "bad.dev:4: endpoint 0x01 is described twice"},
        BadFile{"PartnerMissing", "device 12\nconfig 09 02 19 00 01 01 00 80 32 09 04 00 00 01 ff 00 00 00 07 05 01 02 40 00 00\n"
                                  "endpoint 0x01 loopback\n",
                "bad.dev:3: loopback partner 0x81 of 0x01 is not an endpoint of the other direction in the configuration "
                "descriptor"},
        BadFile{"PartnerDescribedOtherwise", "device 12\n" CONFIG2 "endpoint 0x81 silent\nendpoint 0x01 loopback\n",
                "bad.dev:4: loopback partner 0x81 of 0x01 is described otherwise"},
        BadFile{"LowSpeedBulk", "speed low\ndevice 12\n" CONFIG2,
                "bad.dev:1: a low-speed device cannot have bulk endpoints (0x01 is bulk)"},
        BadFile{"UnknownSpeed", "speed warp\n", "bad.dev:1: speed needs one of low, full, high or super"},
        BadFile{"SecondSpeed", "speed full\nspeed high\n", "bad.dev:2: a second speed line (the first is line 1)"},
        BadFile{"FaultWithoutAddress", "fault stall\n", "bad.dev:1: fault needs an endpoint address first"},
        BadFile{"DefaultPipeStall", "fault 0x00 stall\n", "bad.dev:1: endpoint 0x00 knows one fault: silent"},
        BadFile{"FaultUnknown", "fault 0x81 wobble\n",
                "bad.dev:1: unknown fault 'wobble' (stall [after N], nak MS, silent, short N, zlp on|off, "
                "fail-after N USBD_STATUS_NAME, leave-after N or clear)"},
        BadFile{"FaultMissingNumber", "fault 0x81 short\n", "bad.dev:1: 'short' needs a number (short N)"},
        BadFile{"FaultBadStatus", "fault 0x81 fail-after 5 USBD_STATUS_SUCCESS\n",
                "bad.dev:1: 'fail-after' needs an error status such as USBD_STATUS_CRC after the byte count"},
        BadFile{"FaultTrailingWord", "fault 0x81 stall after 2 now\n", "bad.dev:1: unexpected 'now' after the fault"},
        BadFile{"FaultNotInConfig", "device 12\n" CONFIG2 "fault 0x82 silent\n",
                "bad.dev:3: endpoint 0x82 is not in the configuration descriptor"},
        BadFile{"UnexpectedOption", "device 12\n" CONFIG2 "endpoint 0x01 sink fast\n",
                "bad.dev:3: unexpected 'fast' (expected paired <address> or no-zlp)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace emu::usb
