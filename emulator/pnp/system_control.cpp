#include "emulator/pnp/system_control.h"

#include "emulator/pnp/pnp_request.h"

#include <array>

namespace emu::pnp {
namespace {

struct WmiMinor {
    UCHAR minor;
    const char* name;
};

constexpr std::array<WmiMinor, 11> WmiMinors{{
    {IRP_MN_QUERY_ALL_DATA, "IRP_MN_QUERY_ALL_DATA"},
    {IRP_MN_QUERY_SINGLE_INSTANCE, "IRP_MN_QUERY_SINGLE_INSTANCE"},
    {IRP_MN_CHANGE_SINGLE_INSTANCE, "IRP_MN_CHANGE_SINGLE_INSTANCE"},
    {IRP_MN_CHANGE_SINGLE_ITEM, "IRP_MN_CHANGE_SINGLE_ITEM"},
    {IRP_MN_ENABLE_EVENTS, "IRP_MN_ENABLE_EVENTS"},
    {IRP_MN_DISABLE_EVENTS, "IRP_MN_DISABLE_EVENTS"},
    {IRP_MN_ENABLE_COLLECTION, "IRP_MN_ENABLE_COLLECTION"},
    {IRP_MN_DISABLE_COLLECTION, "IRP_MN_DISABLE_COLLECTION"},
    {IRP_MN_REGINFO, "IRP_MN_REGINFO"},
    {IRP_MN_EXECUTE_METHOD, "IRP_MN_EXECUTE_METHOD"},
    {IRP_MN_REGINFO_EX, "IRP_MN_REGINFO_EX"},
}};

// A data block GUID of no provider of the emulated stacks.
const GUID QueriedBlock = {0x5f1c2d3e, 0x4a5b, 0x4c6d, {0x8e, 0x9f, 0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5}};

// What a request points to: the data block's GUID and the output buffer.
struct Payload {
    GUID block;
    std::array<UCHAR, 256> buffer;
};

}  // namespace

NTSTATUS SendSystemControl(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR providerId)
{
    // Left to the stack if it never gives the request back.
    auto* payload = new Payload{QueriedBlock, {}};
    const PnpResult result =
        SendStackRequest(pdo, IRP_MJ_SYSTEM_CONTROL, minor, WmiMinorName(minor), [&](PIO_STACK_LOCATION location) {
            location->Parameters.WMI.ProviderId = providerId;
            location->Parameters.WMI.DataPath = &payload->block;
            location->Parameters.WMI.BufferSize = static_cast<ULONG>(payload->buffer.size());
            location->Parameters.WMI.Buffer = payload->buffer.data();
        });
    if (result.status != STATUS_IO_TIMEOUT) {
        delete payload;
    }
    return result.status;
}

const char* WmiMinorName(UCHAR minor)
{
    for (const WmiMinor& known : WmiMinors) {
        if (known.minor == minor) {
            return known.name;
        }
    }
    return "IRP_MN (WMI, other)";
}

}  // namespace emu::pnp
