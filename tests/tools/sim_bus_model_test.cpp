// pondrel-sim on devices with a speed: the loopback it reports stays within
// what the device's bus can carry. (The fault command is in the session of
// PondrelSimSession.EveryCommandGivesItsResultLine.)
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

}  // namespace
}  // namespace tools_test
