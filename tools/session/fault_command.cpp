// The `fault` command's words; see fault_command.h.
#include "tools/session/fault_command.h"

#include "tools/session/text.h"

namespace session {
namespace {

using Kind = FaultRequest::Kind;

struct KindWord {
    std::string_view word;
    Kind kind;
    std::string_view usage;  // what follows the kind
};

constexpr KindWord kKinds[] = {
    {"stall", Kind::Stall, "[after N]"},
    {"nak", Kind::Nak, "MS"},
    {"silent", Kind::Silent, ""},
    {"short", Kind::Short, "N"},
    {"zlp", Kind::Zlp, "on|off"},
    {"fail-after", Kind::FailAfter, "N USBD_STATUS_NAME"},
    {"leave-after", Kind::LeaveAfter, "N"},
    {"clear", Kind::Clear, ""},
};

struct UsbdName {
    std::string_view name;
    uint32_t value;
};

// The errors a bulk or interrupt transfer can end with.
constexpr UsbdName kUsbdErrors[] = {
    {"USBD_STATUS_CRC", 0xC0000001},           {"USBD_STATUS_BTSTUFF", 0xC0000002},
    {"USBD_STATUS_DATA_TOGGLE_MISMATCH", 0xC0000003}, {"USBD_STATUS_STALL_PID", 0xC0000004},
    {"USBD_STATUS_DEV_NOT_RESPONDING", 0xC0000005}, {"USBD_STATUS_PID_CHECK_FAILURE", 0xC0000006},
    {"USBD_STATUS_UNEXPECTED_PID", 0xC0000007}, {"USBD_STATUS_DATA_OVERRUN", 0xC0000008},
    {"USBD_STATUS_DATA_UNDERRUN", 0xC0000009},  {"USBD_STATUS_BUFFER_OVERRUN", 0xC000000C},
    {"USBD_STATUS_BUFFER_UNDERRUN", 0xC000000D}, {"USBD_STATUS_FIFO", 0xC0000010},
    {"USBD_STATUS_XACT_ERROR", 0xC0000011},     {"USBD_STATUS_BABBLE_DETECTED", 0xC0000012},
    {"USBD_STATUS_DATA_BUFFER_ERROR", 0xC0000013}, {"USBD_STATUS_ENDPOINT_HALTED", 0xC0000030},
    {"USBD_STATUS_INTERNAL_HC_ERROR", 0x80000800}, {"USBD_STATUS_ERROR_SHORT_TRANSFER", 0x80000900},
    {"USBD_STATUS_NOT_SUPPORTED", 0xC0000E00},  {"USBD_STATUS_INSUFFICIENT_RESOURCES", 0xC0001000},
    {"USBD_STATUS_TIMEOUT", 0xC0006000},        {"USBD_STATUS_DEVICE_GONE", 0xC0007000},
    {"USBD_STATUS_CANCELED", 0xC0010000},
};

constexpr std::string_view kUsage =
    "fault EP stall [after N] | nak MS | silent | short N | zlp on|off | fail-after N USBD_STATUS_NAME | "
    "leave-after N | clear";

bool Fail(std::string* error, std::string what)
{
    *error = std::move(what) + " (usage: " + std::string(kUsage) + ")";
    return false;
}

bool Endpoint(std::string_view word, uint8_t* endpoint)
{
    auto value = word.substr(0, 2) == "0x" ? ParseNumber(word, 0xFF) : std::nullopt;
    if (!value || (*value & 0x70) != 0 || (*value & 0x0F) == 0)
        return false;
    *endpoint = static_cast<uint8_t>(*value);
    return true;
}

// The words after the kind, checked against what the kind takes.
bool Arguments(const KindWord& kind, const std::vector<std::string_view>& rest, FaultRequest* fault, std::string* error)
{
    const std::string what = "'fault " + std::string(kind.word) + "'";
    std::string badNumber;
    auto number = [&](std::string_view word) {
        auto value = ParseNumber(word, UINT32_MAX);
        fault->value = value.value_or(0);
        if (!value && ParseNumber(word, UINT64_MAX))
            badNumber = "bad number '" + std::string(word) + "' in " + what + " (0 to " + std::to_string(UINT32_MAX) + ")";
        return value.has_value();
    };
    bool ok = false;
    switch (kind.kind) {
    case Kind::Silent:
    case Kind::Clear: ok = rest.empty(); break;
    case Kind::Stall: ok = rest.empty() || (rest.size() == 2 && rest[0] == "after" && number(rest[1])); break;
    case Kind::Nak:
    case Kind::Short:
    case Kind::LeaveAfter: ok = rest.size() == 1 && number(rest[0]); break;
    case Kind::Zlp:
        ok = rest.size() == 1 && (rest[0] == "on" || rest[0] == "off");
        fault->value = ok && rest[0] == "on" ? 1 : 0;
        break;
    case Kind::FailAfter: {
        auto status = rest.size() == 2 && number(rest[0]) ? UsbdErrorStatus(rest[1]) : std::nullopt;
        ok = status.has_value();
        fault->usbdStatus = status.value_or(0);
        break;
    }
    }
    if (ok)
        return true;
    if (!badNumber.empty())
        return Fail(error, badNumber);
    return Fail(error, what + " takes " + (kind.usage.empty() ? "nothing more" : std::string(kind.usage)));
}

}  // namespace

std::optional<uint32_t> UsbdErrorStatus(std::string_view name)
{
    for (const auto& entry : kUsbdErrors) {
        if (entry.name == name)
            return entry.value;
    }
    auto value = name.substr(0, 2) == "0x" ? ParseNumber(name, UINT32_MAX) : std::nullopt;
    if (!value || (*value & 0x80000000u) == 0)
        return std::nullopt;  // not a number, or a success or pending status
    return static_cast<uint32_t>(*value);
}

bool ParseFaultCommand(const std::vector<std::string_view>& words, FaultRequest* fault, std::string* error)
{
    if (words.size() < 3)
        return Fail(error, "'fault' is missing arguments");
    if (!Endpoint(words[1], &fault->endpoint))
        return Fail(error, "bad endpoint '" + std::string(words[1]) + "' (an address such as 0x01 or 0x81)");
    for (const auto& kind : kKinds) {
        if (kind.word != words[2])
            continue;
        fault->kind = kind.kind;
        return Arguments(kind, {words.begin() + 3, words.end()}, fault, error);
    }
    return Fail(error, "unknown fault '" + std::string(words[2]) + "'");
}

}  // namespace session
