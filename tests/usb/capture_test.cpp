// Captures of the emulated bus: the USBPcap file it writes decodes with
// Wireshark's own dissector (tshark), with each URB paired to its completion.
#include "tests/usb/usb_fixture.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

namespace usb_test {
namespace {

// Runs tshark on `path` and returns the fields asked for, a vector per
// packet; empty when tshark is not installed.
std::vector<std::vector<std::string>> Decode(const std::string& path, const std::string& fields)
{
    const std::string command = "tshark -2 -r '" + path + "' -T fields " + fields + " 2>/dev/null";
    std::vector<std::vector<std::string>> packets;
    FILE* pipe = popen(command.c_str(), "r");
    char line[4096];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
        std::stringstream stream(std::string(line, std::strcspn(line, "\n")));
        packets.emplace_back();
        for (std::string field; std::getline(stream, field, '\t');) {
            packets.back().push_back(field);
        }
        packets.back().resize(9);  // the empty fields at the end of a line
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
    return packets;
}

class CaptureFixture : public BusFixture {
protected:
    void SetUp() override
    {
        BusFixture::SetUp();
        // One file per process: other build directories run this test too.
        path_ = ::testing::TempDir() + "pondrel_capture_test_" + std::to_string(getpid()) + ".pcap";
        ASSERT_TRUE(device().StartCapture(path_));
    }
    void TearDown() override
    {
        device().StopCapture();
        std::remove(path_.c_str());
        BusFixture::TearDown();
    }
    std::string path_;
};

TEST_F(CaptureFixture, WritesAPcapOfLinkType249WithPairedRecords)
{
    uint8_t descriptor[18];
    DescriptorUrb read(USB_DEVICE_DESCRIPTOR_TYPE, 0, descriptor, sizeof descriptor);
    ASSERT_EQ(SubmitUrb(Pdo(), read.urb), STATUS_SUCCESS);
    ASSERT_FALSE(Configure().empty());
    std::vector<uint8_t> data = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(SendBulk(Pdo(), PipeFor(0x01), data.data(), 4).first, STATUS_SUCCESS);
    std::vector<uint8_t> back(512);
    ASSERT_EQ(SendBulk(Pdo(), PipeFor(0x81), back.data(), 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK).first,
              STATUS_SUCCESS);
    device().StallTransfer(0x02, 1);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x02), data.data(), 4).first, STATUS_UNSUCCESSFUL);
    PipeUrb reset(URB_FUNCTION_RESET_PIPE, PipeFor(0x02));
    ASSERT_EQ(SubmitUrb(Pdo(), reset.urb), STATUS_SUCCESS);
    PipeUrb abort(URB_FUNCTION_ABORT_PIPE, PipeFor(0x81));
    ASSERT_EQ(SubmitUrb(Pdo(), abort.urb), STATUS_SUCCESS);
    device().StopCapture();

    // The container's magic and link type, read back.
    std::ifstream file(path_, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ((std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4)), (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(bytes[20] | (bytes[21] << 8), 249);

    if (std::system("tshark --version > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed: the capture was not decoded";
    }
    const auto packets = Decode(path_, "-e usb.function -e usb.irp_info.direction -e usb.endpoint_address -e "
                                     "usb.transfer_type -e usb.usbd_status -e usb.data_len -e usb.capdata -e "
                                     "usb.request_in -e usb.control_stage");
    ASSERT_EQ(packets.size(), 14u);
    // function, direction (0x00 submit, 0x01 completion), endpoint,
    // transfer type, status, data length, and the captured data if any
    using Record = std::array<const char*, 7>;
    const Record expected[] = {
        {"0x000b", "0x00", "0x80", "0x02", "0x00000000", "8", ""},  // GET_DESCRIPTOR setup
        {"0x000b", "0x01", "0x80", "0x02", "0x00000000", "18", ""},
        {"0x0000", "0x00", "0x00", "0x02", "0x00000000", "8", ""},  // SET_CONFIGURATION setup
        {"0x0000", "0x01", "0x00", "0x02", "0x00000000", "0", ""},
        {"0x0009", "0x00", "0x01", "0x03", "0x00000000", "4", "deadbeef"},
        {"0x0009", "0x01", "0x01", "0x03", "0x00000000", "0", ""},
        {"0x0009", "0x00", "0x81", "0x03", "0x00000000", "0", ""},
        {"0x0009", "0x01", "0x81", "0x03", "0x00000000", "4", "deadbeef"},
        {"0x0009", "0x00", "0x02", "0x03", "0x00000000", "4", "deadbeef"},
        {"0x0009", "0x01", "0x02", "0x03", "0xc0000004", "0", ""},
        {"0x001e", "0x00", "0x02", "0xfe", "0x00000000", "0", ""},
        {"0x001e", "0x01", "0x02", "0xfe", "0x00000000", "0", ""},
        {"0x0002", "0x00", "0x81", "0xfe", "0x00000000", "0", ""},
        {"0x0002", "0x01", "0x81", "0xfe", "0x00000000", "0", ""},
    };
    for (size_t i = 0; i < 14; ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        const auto& fields = packets[i];
        for (size_t k = 0; k < 6; ++k) {
            EXPECT_EQ(fields[k], expected[i][k]) << "field " << k;
        }
        EXPECT_NE(fields[6].find(expected[i][6]), std::string::npos);
        if (std::string(expected[i][1]) == "0x01") {
            EXPECT_EQ(fields[7], std::to_string(i)) << "the completion pairs with its submission";
        }
    }
}

TEST_F(BusFixture, CaptureToAPathThatCannotBeWrittenFails)
{
    EXPECT_FALSE(device().StartCapture("/nonexistent-directory/capture.pcap"));
}

}  // namespace
}  // namespace usb_test
