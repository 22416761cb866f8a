#include "tools/pondrel-sim/pipes.h"

#include "driver/device_context.h"
#include "include/pondrel.h"
#include "tools/session/pipe_table.h"

namespace sim {
namespace {

// The public header's limits are the driver's own.
static_assert(PONDREL_PIPE_INDEX_MAX == MaximumPipeIndex);
static_assert(PONDREL_PIPE_COUNT_MAX == MaximumPipeIndex + 1);
static_assert(PONDREL_TRANSFER_MAX == MaximumTransferLength);

constexpr uint8_t kBulk = 2;
constexpr size_t kNamedPipes = PONDREL_PIPE_COUNT_MAX;  // only pipes 0 to 5 can be opened by name

}  // namespace

std::vector<EndpointEntry> FirstInterfaceEndpoints(const std::vector<uint8_t>& configuration)
{
    std::vector<EndpointEntry> endpoints;
    for (const auto& pipe : session::PipeTable(configuration))
        endpoints.push_back({pipe.endpoint, pipe.type});
    return endpoints;
}

std::optional<int> PipeIndexOf(const std::vector<uint8_t>& configuration, uint8_t address)
{
    auto endpoints = FirstInterfaceEndpoints(configuration);
    for (size_t i = 0; i < endpoints.size() && i < kNamedPipes; ++i) {
        if (endpoints[i].address == address)
            return static_cast<int>(i);
    }
    return std::nullopt;
}

std::optional<std::pair<int, int>> FindLoopbackPipes(const emu::usb::DeviceModel& model,
                                                     const std::vector<uint8_t>& configuration)
{
    auto endpoints = FirstInterfaceEndpoints(configuration);
    for (size_t out = 0; out < endpoints.size() && out < kNamedPipes; ++out) {
        if (endpoints[out].type != kBulk || (endpoints[out].address & 0x80))
            continue;
        auto role = model.RoleFor(endpoints[out].address);
        if (role.behaviour != emu::usb::EndpointBehaviour::Loopback)
            continue;
        uint8_t partner = role.pairedWith.value_or(static_cast<uint8_t>(endpoints[out].address | 0x80));
        auto in = PipeIndexOf(configuration, partner);
        if (in && endpoints[static_cast<size_t>(*in)].type == kBulk)
            return std::make_pair(static_cast<int>(out), *in);
    }
    return std::nullopt;
}

}  // namespace sim
