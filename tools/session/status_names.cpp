#include "tools/session/status_names.h"

#include "tools/session/text.h"

#include <cstdio>

namespace session {
namespace {

struct NamedStatus {
    std::string_view name;
    uint32_t value;
};

// The statuses a session meets: those of the driver, the I/O manager, the
// bus driver and the session itself, with a few close relatives.
constexpr NamedStatus kStatuses[] = {
    {"STATUS_SUCCESS", 0x00000000},
    {"STATUS_WAIT_1", 0x00000001},
    {"STATUS_ALERTED", 0x00000101},
    {"STATUS_TIMEOUT", 0x00000102},
    {"STATUS_PENDING", 0x00000103},
    {"STATUS_USER_APC", 0x000000C0},
    {"STATUS_OBJECT_NAME_EXISTS", 0x40000000},
    {"STATUS_BUFFER_OVERFLOW", 0x80000005},
    {"STATUS_DEVICE_BUSY", 0x80000011},
    {"STATUS_UNSUCCESSFUL", 0xC0000001},
    {"STATUS_NOT_IMPLEMENTED", 0xC0000002},
    {"STATUS_INFO_LENGTH_MISMATCH", 0xC0000004},
    {"STATUS_INVALID_HANDLE", 0xC0000008},
    {"STATUS_INVALID_PARAMETER", 0xC000000D},
    {"STATUS_NO_SUCH_DEVICE", 0xC000000E},
    {"STATUS_INVALID_DEVICE_REQUEST", 0xC0000010},
    {"STATUS_END_OF_FILE", 0xC0000011},
    {"STATUS_MORE_PROCESSING_REQUIRED", 0xC0000016},
    {"STATUS_NO_MEMORY", 0xC0000017},
    {"STATUS_ACCESS_DENIED", 0xC0000022},
    {"STATUS_BUFFER_TOO_SMALL", 0xC0000023},
    {"STATUS_OBJECT_NAME_INVALID", 0xC0000033},
    {"STATUS_OBJECT_NAME_NOT_FOUND", 0xC0000034},
    {"STATUS_OBJECT_NAME_COLLISION", 0xC0000035},
    {"STATUS_DEVICE_ALREADY_ATTACHED", 0xC0000038},
    {"STATUS_OBJECT_PATH_NOT_FOUND", 0xC000003A},
    {"STATUS_DATA_OVERRUN", 0xC000003C},
    {"STATUS_DATA_ERROR", 0xC000003E},
    {"STATUS_SHARING_VIOLATION", 0xC0000043},
    {"STATUS_DELETE_PENDING", 0xC0000056},
    {"STATUS_INSUFFICIENT_RESOURCES", 0xC000009A},
    {"STATUS_DEVICE_DATA_ERROR", 0xC000009C},
    {"STATUS_DEVICE_NOT_CONNECTED", 0xC000009D},
    {"STATUS_DEVICE_POWER_FAILURE", 0xC000009E},
    {"STATUS_DEVICE_NOT_READY", 0xC00000A3},
    {"STATUS_ILLEGAL_FUNCTION", 0xC00000AF},
    {"STATUS_IO_TIMEOUT", 0xC00000B5},
    {"STATUS_NOT_SUPPORTED", 0xC00000BB},
    {"STATUS_DEVICE_DOES_NOT_EXIST", 0xC00000C0},
    {"STATUS_INVALID_USER_BUFFER", 0xC00000E8},
    {"STATUS_UNEXPECTED_IO_ERROR", 0xC00000E9},
    {"STATUS_INVALID_PARAMETER_2", 0xC00000F0},
    {"STATUS_CANCELLED", 0xC0000120},
    {"STATUS_FILE_CLOSED", 0xC0000128},
    {"STATUS_DEVICE_CONFIGURATION_ERROR", 0xC0000182},
    {"STATUS_INVALID_DEVICE_STATE", 0xC0000184},
    {"STATUS_IO_DEVICE_ERROR", 0xC0000185},
    {"STATUS_INVALID_BUFFER_SIZE", 0xC0000206},
    {"STATUS_NOT_FOUND", 0xC0000225},
    {"STATUS_REQUEST_ABORTED", 0xC0000240},
    {"STATUS_DEVICE_REMOVED", 0xC00002B6},
    {"STATUS_POWER_STATE_INVALID", 0xC00002D3},
};

}  // namespace

std::string StatusHex(uint32_t status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

std::string StatusName(uint32_t status)
{
    for (const auto& entry : kStatuses) {
        if (entry.value == status)
            return std::string(entry.name);
    }
    return StatusHex(status);
}

std::optional<uint32_t> StatusFromName(std::string_view name)
{
    for (const auto& entry : kStatuses) {
        if (entry.name == name)
            return entry.value;
    }
    if (name.size() < 3 || name[0] != '0' || (name[1] != 'x' && name[1] != 'X'))
        return std::nullopt;
    auto value = ParseNumber(name);
    if (!value)
        return std::nullopt;
    return static_cast<uint32_t>(*value);
}

}  // namespace session
