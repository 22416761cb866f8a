#include "tools/session/request_names.h"

#include <cstdio>
#include <iterator>

namespace session {
namespace {

constexpr uint8_t kPnp = 0x1b;
constexpr uint8_t kPower = 0x16;
constexpr uint8_t kSystemControl = 0x17;

template <size_t N>
std::string Lookup(const char* const (&names)[N], unsigned index, const char* prefix)
{
    if (index < N && names[index])
        return names[index];
    char text[48];
    std::snprintf(text, sizeof text, "%s0x%02X", prefix, index);
    return text;
}

// The index of `name` in `names`, which all start with `prefix`; the prefix
// may be left out of `name`.
template <size_t N>
std::optional<unsigned> Find(const char* const (&names)[N], std::string_view name, std::string_view prefix)
{
    for (unsigned index = 0; index < N; ++index) {
        std::string_view known = names[index] ? names[index] : "";
        if (!known.empty() && (known == name || known.substr(prefix.size()) == name))
            return index;
    }
    return std::nullopt;
}

constexpr const char* kMajors[] = {
    "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP",
};

constexpr const char* kPnpMinors[] = {
    "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE", "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", nullptr, "IRP_MN_READ_CONFIG", "IRP_MN_WRITE_CONFIG",
    "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID", "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION", "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL",
    "IRP_MN_QUERY_LEGACY_BUS_INFORMATION", "IRP_MN_DEVICE_ENUMERATED",
};

constexpr const char* kPowerMinors[] = {
    "IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER", "IRP_MN_QUERY_POWER",
};

constexpr const char* kWmiMinors[] = {
    "IRP_MN_QUERY_ALL_DATA", "IRP_MN_QUERY_SINGLE_INSTANCE", "IRP_MN_CHANGE_SINGLE_INSTANCE",
    "IRP_MN_CHANGE_SINGLE_ITEM", "IRP_MN_ENABLE_EVENTS", "IRP_MN_DISABLE_EVENTS", "IRP_MN_ENABLE_COLLECTION",
    "IRP_MN_DISABLE_COLLECTION", "IRP_MN_REGINFO", "IRP_MN_EXECUTE_METHOD", nullptr, "IRP_MN_REGINFO_EX",
};

constexpr const char* kUrbFunctions[] = {
    "URB_FUNCTION_SELECT_CONFIGURATION", "URB_FUNCTION_SELECT_INTERFACE", "URB_FUNCTION_ABORT_PIPE",
    "URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL", "URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL",
    "URB_FUNCTION_GET_FRAME_LENGTH", "URB_FUNCTION_SET_FRAME_LENGTH", "URB_FUNCTION_GET_CURRENT_FRAME_NUMBER",
    "URB_FUNCTION_CONTROL_TRANSFER", "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER", "URB_FUNCTION_ISOCH_TRANSFER",
    "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE", "URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE",
    "URB_FUNCTION_SET_FEATURE_TO_DEVICE", "URB_FUNCTION_SET_FEATURE_TO_INTERFACE",
    "URB_FUNCTION_SET_FEATURE_TO_ENDPOINT", "URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE",
    "URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE", "URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT",
    "URB_FUNCTION_GET_STATUS_FROM_DEVICE", "URB_FUNCTION_GET_STATUS_FROM_INTERFACE",
    "URB_FUNCTION_GET_STATUS_FROM_ENDPOINT", nullptr, "URB_FUNCTION_VENDOR_DEVICE",
    "URB_FUNCTION_VENDOR_INTERFACE", "URB_FUNCTION_VENDOR_ENDPOINT", "URB_FUNCTION_CLASS_DEVICE",
    "URB_FUNCTION_CLASS_INTERFACE", "URB_FUNCTION_CLASS_ENDPOINT", nullptr,
    "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL",
};

constexpr const char* kSystemStates[] = {
    "PowerSystemUnspecified", "PowerSystemWorking", "PowerSystemSleeping1", "PowerSystemSleeping2",
    "PowerSystemSleeping3", "PowerSystemHibernate", "PowerSystemShutdown",
};

constexpr const char* kDeviceStates[] = {
    "PowerDeviceUnspecified", "PowerDeviceD0", "PowerDeviceD1", "PowerDeviceD2", "PowerDeviceD3",
};

}  // namespace

std::string MajorName(uint8_t major)
{
    return Lookup(kMajors, major, "IRP_MJ_");
}

std::string MinorName(uint8_t major, uint8_t minor)
{
    if (major == kPnp)
        return Lookup(kPnpMinors, minor, "IRP_MN_");
    if (major == kPower)
        return Lookup(kPowerMinors, minor, "IRP_MN_");
    if (major == kSystemControl)
        return Lookup(kWmiMinors, minor, "IRP_MN_");
    return {};
}

std::string UrbFunctionName(uint16_t function)
{
    return Lookup(kUrbFunctions, function, "URB_FUNCTION_");
}

std::optional<uint8_t> PnpMinorFromName(std::string_view name)
{
    auto index = Find(kPnpMinors, name, "IRP_MN_");
    return index ? std::optional<uint8_t>(static_cast<uint8_t>(*index)) : std::nullopt;
}

std::optional<uint8_t> WmiMinorFromName(std::string_view name)
{
    auto index = Find(kWmiMinors, name, "IRP_MN_");
    return index ? std::optional<uint8_t>(static_cast<uint8_t>(*index)) : std::nullopt;
}

std::optional<uint16_t> UrbFunctionFromName(std::string_view name)
{
    auto index = Find(kUrbFunctions, name, "URB_FUNCTION_");
    return index ? std::optional<uint16_t>(static_cast<uint16_t>(*index)) : std::nullopt;
}

std::string SystemPowerName(int state)
{
    return Lookup(kSystemStates, static_cast<unsigned>(state), "PowerSystem");
}

std::string DevicePowerName(int state)
{
    return Lookup(kDeviceStates, static_cast<unsigned>(state), "PowerDevice");
}

}  // namespace session
