// pondrel-sim on devices with a speed and faults: the loopback it reports
// stays within what the device's bus can carry, and the fault command
// reaches the device.
#include "sim_test_support.h"

namespace tools_test {
namespace {

// One loopback pair of bulk endpoints with `packet`-byte packets (hex, little endian).
std::string LoopbackDevice(const std::string& speed, const std::string& packet)
{
    return "speed " + speed + "\ndevice 12 01 00 02 00 00 00 40 09 12 01 00 00 01 00 00 00 01\n"
           "config 09 02 20 00 01 01 00 80 32 09 04 00 00 02 ff 00 00 00\n"
           "  07 05 01 02 " + packet + " 00  07 05 81 02 " + packet + " 00\nendpoint 0x01 loopback\n";
}

// The session counts each byte once; the wire carries it twice (out and
// back), on a bus that moves one direction at a time below SuperSpeed.
TEST(PondrelSimBusModel, LoopbackStaysWithinWhatTheBusCarries)
{
    const struct {
        const char* speed;
        const char* packet;
        double bytesPerSecond;  // USB 2.0 bulk: 19 x 64 B a 1 ms frame, 13 x 512 B a 125 us microframe
    } table[] = {{"full", "40 00", 1.216e6}, {"high", "00 02", 53.248e6}};
    for (const auto& row : table) {
        TempFile device(".dev", LoopbackDevice(row.speed, row.packet));
        ProgramRun run = RunSim({"--json", "--device", device.Path(), "-c",
                                 "plug; open \\PIPE0; open \\PIPE1; loopback h1 h2 131072"});
        auto results = Results(JsonLines(run));
        ASSERT_EQ(results.size(), 4u) << run.err;
        const JsonValue& loopback = results[3];
        ASSERT_EQ(loopback["status"].text, "STATUS_SUCCESS") << row.speed;
        const double wire = 2 * loopback["information"].number / loopback["seconds"].number;
        EXPECT_LE(wire, row.bytesPerSecond) << row.speed;
        EXPECT_LE(loopback["mb_per_s"].number * 1e6, row.bytesPerSecond) << row.speed;
    }
}

TEST(PondrelSimBusModel, FaultCommandReachesTheEndpoint)
{
    const std::pair<const char*, const char*> table[] = {
        {"plug", "STATUS_SUCCESS"},
        {"open \\PIPE0", "STATUS_SUCCESS"},
        {"fault 0x01 stall", "STATUS_SUCCESS"},
        {"write h1 10", "STATUS_UNSUCCESSFUL"},
        {"ioctl h1 pipe-reset", "STATUS_SUCCESS"},
        {"fault 0x01 fail-after 4 USBD_STATUS_CRC", "STATUS_SUCCESS"},
        {"write h1 10", "STATUS_UNSUCCESSFUL"},
        {"write h1 10", "STATUS_SUCCESS"},
        {"fault 0x01 leave-after 4", "STATUS_SUCCESS"},
        {"write h1 10", "STATUS_DEVICE_NOT_CONNECTED"},
        {"fault 0x05 stall", "STATUS_INVALID_PARAMETER"},
    };
    std::string commands;
    for (const auto& [command, status] : table)
        commands += std::string(command) + "\n";
    ProgramRun run = RunSim({"--json", "-c", commands});
    auto results = Results(JsonLines(run));
    ASSERT_EQ(results.size(), std::size(table)) << run.err;
    for (size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i]["status"].text, table[i].second) << table[i].first;
}

}  // namespace
}  // namespace tools_test
