#include "tools/session/pipe_table.h"

#include "include/pondrel.h"

#include <cstdio>
#include <optional>

namespace session {
namespace {

constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;

// Calls `visit(descriptor, length)` for each whole descriptor in turn.
template <typename Visit>
void ForEachDescriptor(const std::vector<uint8_t>& block, Visit visit)
{
    for (size_t offset = 0; offset + 2 <= block.size() && block[offset] >= 2; offset += block[offset]) {
        if (block[offset] > block.size() - offset)
            return;
        visit(block.data() + offset, static_cast<size_t>(block[offset]));
    }
}

std::optional<uint8_t> LowestInterfaceNumber(const std::vector<uint8_t>& configuration)
{
    std::optional<uint8_t> lowest;
    ForEachDescriptor(configuration, [&](const uint8_t* d, size_t length) {
        if (d[1] == kInterfaceType && length >= 9 && d[3] == 0 && (!lowest || d[2] < *lowest))
            lowest = d[2];
    });
    return lowest;
}

}  // namespace

std::vector<PipeEntry> PipeTable(const std::vector<uint8_t>& configuration)
{
    std::vector<PipeEntry> pipes;
    auto number = LowestInterfaceNumber(configuration);
    if (!number)
        return pipes;
    bool inside = false;
    bool done = false;
    ForEachDescriptor(configuration, [&](const uint8_t* d, size_t length) {
        if (done)
            return;
        if (d[1] == kInterfaceType) {
            done = inside;
            inside = length >= 9 && d[2] == *number && d[3] == 0;
            return;
        }
        if (inside && d[1] == kEndpointType && length >= 7)
            pipes.push_back({static_cast<int>(pipes.size()), d[2], static_cast<uint8_t>(d[3] & 3),
                             static_cast<uint16_t>((d[4] | (d[5] << 8)) & 0x7FF), d[6]});
    });
    return pipes;
}

const char* TransferTypeName(uint8_t type)
{
    static constexpr const char* kNames[] = {"control", "isochronous", "bulk", "interrupt"};
    return kNames[type & 3];
}

std::string PipeTableText(const std::vector<PipeEntry>& pipes)
{
    std::string text = "    pipe  endpoint  type         direction  packet size  interval\n";
    for (const auto& pipe : pipes) {
        char line[128];
        std::snprintf(line, sizeof line, "    %4d  0x%02x      %-12s %-10s %11u  %8u%s\n", pipe.index, pipe.endpoint,
                      TransferTypeName(pipe.type), pipe.In() ? "in" : "out", pipe.packetSize, pipe.interval,
                      pipe.index > PONDREL_PIPE_INDEX_MAX ? "  (cannot be opened)" : "");
        text += line;
    }
    return text;
}

std::string PipeTableJson(const std::vector<PipeEntry>& pipes)
{
    std::string json = "[";
    for (const auto& pipe : pipes) {
        char entry[160];
        std::snprintf(entry, sizeof entry,
                      "%s{\"index\":%d,\"endpoint\":\"0x%02x\",\"type\":\"%s\",\"direction\":\"%s\","
                      "\"packet_size\":%u,\"interval\":%u}",
                      json.size() > 1 ? "," : "", pipe.index, pipe.endpoint, TransferTypeName(pipe.type),
                      pipe.In() ? "in" : "out", pipe.packetSize, pipe.interval);
        json += entry;
    }
    return json + "]";
}

}  // namespace session
