// Captures of the emulated bus: the USBPcap file it writes decodes with
// Wireshark's own dissector (tshark), with each URB paired to its completion.
#include "tests/usb/usb_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace usb_test {
namespace {

// The lines tshark prints for the fields of each packet of `path`.
std::vector<std::string> Decode(const std::string& path, const std::string& fields)
{
    std::vector<std::string> lines;
    FILE* pipe = popen(("tshark -2 -r '" + path + "' -T fields -E separator=, " + fields + " 2>/dev/null").c_str(), "r");
    char line[4096];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
        lines.emplace_back(line, std::strcspn(line, "\n"));
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
    return lines;
}

TEST_F(BusFixture, TsharkDecodesEachUrbPairedWithItsCompletion)
{
    if (std::system("tshark --version > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed: the capture was not decoded";
    }
    // One file per process: other build directories run this test too.
    const std::string path = ::testing::TempDir() + "pondrel_capture_test_" + std::to_string(getpid()) + ".pcap";
    ASSERT_FALSE(Configure().empty());  // descriptor and set-configuration records: see sim_outputs_test
    ASSERT_TRUE(device().StartCapture(path));
    std::vector<uint8_t> data = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x01), data.data(), 4).first, STATUS_SUCCESS);
    std::vector<uint8_t> back(512);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x81), back.data(), 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK).first,
              STATUS_SUCCESS);
    device().StallTransfer(0x02, 1);
    EXPECT_EQ(SendBulk(Pdo(), PipeFor(0x02), data.data(), 4).first, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendUrb(PipeUrb(URB_FUNCTION_RESET_PIPE, PipeFor(0x02))).first, STATUS_SUCCESS);
    EXPECT_EQ(SendUrb(PipeUrb(URB_FUNCTION_ABORT_PIPE, PipeFor(0x81))).first, STATUS_SUCCESS);
    device().StopCapture();

    // function, direction (0x00 submit, 0x01 completion), endpoint, transfer
    // type, status, data length, captured data, and a completion's submission
    const auto lines = Decode(path, "-e usb.function -e usb.irp_info.direction -e usb.endpoint_address -e "
                                    "usb.transfer_type -e usb.usbd_status -e usb.data_len -e usb.capdata -e usb.request_in");
    std::remove(path.c_str());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "0x0009,0x00,0x01,0x03,0x00000000,4,deadbeef,",
                         "0x0009,0x01,0x01,0x03,0x00000000,0,,1",
                         "0x0009,0x00,0x81,0x03,0x00000000,0,,",
                         "0x0009,0x01,0x81,0x03,0x00000000,4,deadbeef,3",
                         "0x0009,0x00,0x02,0x03,0x00000000,4,deadbeef,",
                         "0x0009,0x01,0x02,0x03,0xc0000004,0,,5",  // stalled
                         "0x001e,0x00,0x02,0xfe,0x00000000,0,,",  // RESET_PIPE
                         "0x001e,0x01,0x02,0xfe,0x00000000,0,,7",
                         "0x0002,0x00,0x81,0xfe,0x00000000,0,,",  // ABORT_PIPE
                         "0x0002,0x01,0x81,0xfe,0x00000000,0,,9",
                     }));
}

}  // namespace
}  // namespace usb_test
