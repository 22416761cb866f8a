// What pondrel-sim writes besides result lines: the demo with its summary,
// the USBPcap capture as tshark decodes it, the Chrome trace, the benchmark.
#include "sim_test_support.h"

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace tools_test {
namespace {

// The demo on a device file with no loopback pair. (The demo on the built-in
// device is README.md's example, compared line by line in
// PondrelSimDocsExamples.)
TEST(PondrelSimDemo, RunsOnADeviceWithoutALoopbackPair)
{
    TempFile device(".device", DeviceFile("82", "endpoint 0x01 sink\nendpoint 0x82 source"));
    ProgramRun run = RunSim({"--device", device.Path()});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    for (const char* text : {"idProduct           0x0002", "(this device has no loopback pair of bulk pipes: no data is sent)",
                             "  verifier findings              0\n"})
        EXPECT_NE(run.out.find(text), std::string::npos) << "missing: " << text;
    EXPECT_EQ(run.out.find("!!"), std::string::npos) << "a step went wrong:\n" << run.out;
}

// --pcap: a device plugged again after a surprise removal writes into the
// same capture, so both starts and every byte both devices were written are
// on the wire, each submission paired with its completion. (The records
// themselves are checked in tests/usb/capture_test.cpp.)
TEST(PondrelSimCapture, ACaptureSpansAReplug)
{
    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (apt-get install tshark)";
    TempFile capture(".pcap"), decoded(".tshark");
    ProgramRun run = RunSim({"--json", "--pcap", capture.Path(), "-c",
                             "plug; open \\PIPE0; open \\PIPE1; write h1 2000; read h2 2000; close h1; close h2; "
                             "surprise-remove; plug; open \\PIPE0; write h3 1000; close h3"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::string tshark = "tshark -r " + capture.Path() + " -T fields -E separator=, -e usb.irp_info.direction"
                               " -e usb.transfer_type -e usb.endpoint_address -e usb.data_len -e usb.function"
                               " -e usb.irp_id >" + decoded.Path() + " 2>/dev/null";
    ASSERT_EQ(std::system(tshark.c_str()), 0) << tshark;
    int setConfigurations = 0;
    uint64_t outBytes = 0;
    std::map<std::string, int> open;  // IRP id -> submissions not yet completed
    std::istringstream lines(decoded.Read());
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> p;
        std::istringstream fields(line);
        for (std::string value; std::getline(fields, value, ',');)
            p.push_back(value);
        p.resize(6);
        const bool completion = p[0] == "0x01";
        open[p[5]] += completion ? -1 : 1;
        setConfigurations += p[4] == "0x0000" && p[1] == "0x02" && completion;
        outBytes += p[1] == "0x03" && p[2] == "0x01" && !completion ? std::stoull(p[3]) : 0;
    }
    EXPECT_GE(setConfigurations, 2) << "the configuration of both starts";
    EXPECT_EQ(outBytes, 3000u) << "every byte written, by both devices, is on the wire";
    EXPECT_EQ(SummaryOf(JsonLines(run))["bytes_written"], outBytes);
    for (const auto& [irp, submissions] : open)
        EXPECT_EQ(submissions, 0) << "IRP " << irp << " submitted and completed in pairs";
}

TEST(PondrelSimTrace, RequestsUrbsPowerAndWorkItemsAreTimed)
{
    TempFile trace(".json");
    ProgramRun run = RunSim({"--trace", trace.Path(), "-c",
                             "plug; open \\PIPE0; open \\PIPE1; write h1 2000; read h2 2000; sleep S3; resume; "
                             "close h1; close h2; remove"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    Json events = Json::parse(trace.Read())["traceEvents"];
    ASSERT_GT(events.size(), 20u);

    std::map<double, Json> begins;
    std::map<std::string, std::set<std::string>> endStatus;  // name -> statuses
    std::set<std::string> marks;
    std::set<std::string> threads;
    int workItems = 0;
    for (Json& event : events) {
        const std::string phase = event["ph"].get<std::string>();
        if (phase == "b") {
            EXPECT_TRUE(begins.emplace(event["id"].get<double>(), event).second) << "ids are unique";
        } else if (phase == "e") {
            auto begin = begins.find(event["id"].get<double>());
            ASSERT_NE(begin, begins.end()) << "an end without its begin";
            EXPECT_EQ(begin->second["name"], event["name"]);
            EXPECT_GE(event["ts"], begin->second["ts"]);
            EXPECT_GE(event["args"]["duration_us"], 0);
            endStatus[event["name"].get<std::string>()].insert(event["args"]["status"].get<std::string>());
        } else if (phase == "X" && event["cat"] == "workitem") {
            ++workItems;
            EXPECT_GE(event["dur"], 0);
        } else if (phase == "i") {
            marks.insert(event["name"].get<std::string>());
        } else if (phase == "M" && event["name"] == "thread_name") {
            threads.insert(event["args"]["name"].get<std::string>());
        }
    }
    for (const char* name : {"IRP_MN_START_DEVICE", "IRP_MJ_WRITE", "IRP_MJ_READ"})
        EXPECT_EQ(endStatus[name], (std::set<std::string>{"STATUS_SUCCESS"})) << name;
    for (const char* name : {"URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER out", "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER in",
                             "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE", "IRP_MN_SET_POWER PowerSystemSleeping3",
                             "IRP_MN_SET_POWER PowerDeviceD0", "IRP_MN_REMOVE_DEVICE"})
        EXPECT_FALSE(endStatus[name].empty()) << name;
    EXPECT_GT(workItems, 0) << "the drain before powering down runs in a work item";
    EXPECT_TRUE(marks.count("sleep S3") && marks.count("write h1 2000")) << "session commands mark the timeline";
    for (const char* role : {"application", "bus", "system worker"})
        EXPECT_EQ(threads.count(role), 1u) << "threads are named by their role: " << role;
}

// bench --quick --timed runs to the end: every untimed figure, and on the
// bus model at full, high and super speed a write, a read and a loopback,
// none beyond the design's ceiling.
TEST(PondrelSimBench, QuickRunGivesEveryFigure)
{
    ProgramRun run = RunSim({"bench", "--quick", "--timed", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    Json bench = Json::parse(run.out)["bench"];
    for (const char* speed : {"full", "high", "super"}) {  // each speed enumerates with descriptors valid there
        for (const char* figure : {"write", "read", "loopback"}) {
            const Json& measure = bench["bus_model"][speed][figure];
            EXPECT_GT(measure["mb_per_s"], 0) << speed << " " << figure;
            EXPECT_LE(measure["mb_per_s"].get<double>(), measure["ceiling_mb_per_s"].get<double>() * 1.001)
                << speed << " " << figure;
        }
    }
    for (const char* mode : {"bus_thread", "synchronous"}) {
        for (const char* figure : {"write_mb_per_s", "read_mb_per_s", "loopback_mb_per_s"})
            EXPECT_GT(bench[mode][figure], 0) << mode << " " << figure;
    }
    EXPECT_GT(bench["small_reads_per_s"], 0);
    EXPECT_GT(bench["buffered_reads_checked"], 0);
    EXPECT_EQ(bench["allocations_per_buffered_read"], 0) << "a read served from the buffer allocates nothing";
    EXPECT_TRUE(bench["driver_cpu_share"].is_number()) << "the driver's code is told apart";
    EXPECT_GE(bench["driver_cpu_share"], 0);
    EXPECT_LT(bench["driver_cpu_share"], 1);
    EXPECT_GT(bench["cpu_samples"], 0);
    EXPECT_EQ(bench["findings"], 0);
    EXPECT_TRUE(bench["failure"].is_null());
    EXPECT_EQ(bench["build"], PONDREL_BUILD_TYPE) << "the bench says which build it measures";
    EXPECT_EQ(bench["device"], "built-in device");
}

// On a device file, what the device has pipes for is measured, and only that.
TEST(PondrelSimBench, MeasuresADeviceFromAFile)
{
    TempFile device(".device", DeviceFile("81", "endpoint 0x01 loopback"));
    ProgramRun run = RunSim({"bench", "--quick", "--json", "--device", device.Path()});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    Json bench = Json::parse(run.out)["bench"];
    EXPECT_EQ(bench["device"], device.Path());
    EXPECT_GT(bench["synchronous"]["loopback_mb_per_s"], 0);
    EXPECT_TRUE(bench["synchronous"]["write_mb_per_s"].is_null()) << "no sink on this device";
    EXPECT_TRUE(bench["small_reads_per_s"].is_null()) << "no source on this device";
    EXPECT_EQ(bench["findings"], 0);
}

}  // namespace
}  // namespace tools_test
