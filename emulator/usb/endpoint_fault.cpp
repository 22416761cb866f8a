// The words of an endpoint fault and the USBD status names; see endpoint_fault.h.
#include "emulator/usb/endpoint_fault.h"

#include <charconv>

namespace emu::usb {
namespace {

struct StatusName {
    std::string_view name;
    USBD_STATUS value;
};

// The errors a transfer can end with on a real bus.
constexpr StatusName kStatusNames[] = {
    {"USBD_STATUS_CRC", USBD_STATUS_CRC},
    {"USBD_STATUS_BTSTUFF", USBD_STATUS_BTSTUFF},
    {"USBD_STATUS_DATA_TOGGLE_MISMATCH", USBD_STATUS_DATA_TOGGLE_MISMATCH},
    {"USBD_STATUS_STALL_PID", USBD_STATUS_STALL_PID},
    {"USBD_STATUS_DEV_NOT_RESPONDING", USBD_STATUS_DEV_NOT_RESPONDING},
    {"USBD_STATUS_PID_CHECK_FAILURE", USBD_STATUS_PID_CHECK_FAILURE},
    {"USBD_STATUS_UNEXPECTED_PID", USBD_STATUS_UNEXPECTED_PID},
    {"USBD_STATUS_DATA_OVERRUN", USBD_STATUS_DATA_OVERRUN},
    {"USBD_STATUS_DATA_UNDERRUN", USBD_STATUS_DATA_UNDERRUN},
    {"USBD_STATUS_BUFFER_OVERRUN", USBD_STATUS_BUFFER_OVERRUN},
    {"USBD_STATUS_BUFFER_UNDERRUN", USBD_STATUS_BUFFER_UNDERRUN},
    {"USBD_STATUS_FIFO", USBD_STATUS_FIFO},
    {"USBD_STATUS_XACT_ERROR", USBD_STATUS_XACT_ERROR},
    {"USBD_STATUS_BABBLE_DETECTED", USBD_STATUS_BABBLE_DETECTED},
    {"USBD_STATUS_DATA_BUFFER_ERROR", USBD_STATUS_DATA_BUFFER_ERROR},
    {"USBD_STATUS_ENDPOINT_HALTED", USBD_STATUS_ENDPOINT_HALTED},
    {"USBD_STATUS_INTERNAL_HC_ERROR", USBD_STATUS_INTERNAL_HC_ERROR},
    {"USBD_STATUS_ERROR_SHORT_TRANSFER", USBD_STATUS_ERROR_SHORT_TRANSFER},
    {"USBD_STATUS_NOT_SUPPORTED", USBD_STATUS_NOT_SUPPORTED},
    {"USBD_STATUS_INSUFFICIENT_RESOURCES", USBD_STATUS_INSUFFICIENT_RESOURCES},
    {"USBD_STATUS_TIMEOUT", USBD_STATUS_TIMEOUT},
    {"USBD_STATUS_DEVICE_GONE", USBD_STATUS_DEVICE_GONE},
    {"USBD_STATUS_CANCELED", USBD_STATUS_CANCELED},
};

std::optional<uint64_t> Number(std::string_view word)
{
    uint64_t value = 0;
    const int base = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') ? 16 : 10;
    if (base == 16) {
        word.remove_prefix(2);
    }
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    if (error != std::errc() || end != word.data() + word.size() || word.empty()) {
        return std::nullopt;
    }
    return value;
}

bool Fail(std::string* error, std::string what)
{
    if (error != nullptr) {
        *error = std::move(what);
    }
    return false;
}

// Reads the one number a fault word takes, with a usage message.
bool TakeNumber(const std::vector<std::string_view>& words, size_t at, std::string_view usage, uint64_t* value,
                std::string* error)
{
    auto number = at < words.size() ? Number(words[at]) : std::nullopt;
    const bool digits = at < words.size() && words[at].find_first_not_of("0123456789") == std::string_view::npos;
    if (!number && digits) {
        return Fail(error, "'" + std::string(words[0]) + "' takes a number from 0 to " + std::to_string(UINT64_MAX) +
                               ", not '" + std::string(words[at]) + "'");
    }
    if (!number) {
        return Fail(error, "'" + std::string(words[0]) + "' needs a number (" + std::string(usage) + ")");
    }
    *value = *number;
    return true;
}

}  // namespace

std::optional<USBD_STATUS> UsbdErrorFromName(std::string_view name)
{
    for (const auto& entry : kStatusNames) {
        if (entry.name == name) {
            return entry.value;
        }
    }
    auto value = name.substr(0, 2) == "0x" ? Number(name) : std::nullopt;
    if (!value || *value > 0xFFFFFFFFu || !USBD_ERROR(static_cast<USBD_STATUS>(*value))) {
        return std::nullopt;
    }
    return static_cast<USBD_STATUS>(*value);
}

std::optional<EndpointFault> ParseEndpointFault(const std::vector<std::string_view>& words, std::string* error)
{
    using Kind = EndpointFault::Kind;
    constexpr std::string_view kUsage =
        "stall [after N], nak MS, silent, short N, zlp on|off, fail-after N USBD_STATUS_NAME, leave-after N or clear";
    if (words.empty()) {
        Fail(error, "a fault needs a kind (" + std::string(kUsage) + ")");
        return std::nullopt;
    }
    const std::string_view kind = words[0];
    EndpointFault fault;
    size_t expected = 1;
    bool ok = true;
    if (kind == "stall") {
        fault.kind = Kind::Stall;
        if (words.size() > 1) {
            expected = 3;
            ok = words[1] == "after" ? TakeNumber(words, 2, "stall after N", &fault.value, error)
                                     : Fail(error, "'stall' takes only 'after N'");
        }
    } else if (kind == "nak" || kind == "short" || kind == "leave-after") {
        fault.kind = kind == "nak" ? Kind::Nak : kind == "short" ? Kind::Short : Kind::LeaveAfter;
        expected = 2;
        ok = TakeNumber(words, 1, kind == "nak" ? "nak MS" : kind == "short" ? "short N" : "leave-after N",
                        &fault.value, error);
    } else if (kind == "silent" || kind == "clear") {
        fault.kind = kind == "silent" ? Kind::Silent : Kind::Clear;
    } else if (kind == "zlp") {
        fault.kind = Kind::Zlp;
        expected = 2;
        ok = words.size() > 1 && (words[1] == "on" || words[1] == "off") ? true : Fail(error, "'zlp' takes on or off");
        fault.value = ok && words[1] == "on" ? 1 : 0;
    } else if (kind == "fail-after") {
        fault.kind = Kind::FailAfter;
        expected = 3;
        ok = TakeNumber(words, 1, "fail-after N USBD_STATUS_NAME", &fault.value, error);
        auto status = ok && words.size() > 2 ? UsbdErrorFromName(words[2]) : std::nullopt;
        if (ok && !status) {
            ok = Fail(error, "'fail-after' needs an error status such as USBD_STATUS_CRC after the byte count");
        }
        fault.status = status.value_or(0);
    } else {
        ok = Fail(error, "unknown fault '" + std::string(kind) + "' (" + std::string(kUsage) + ")");
    }
    if (ok && words.size() > expected) {
        ok = Fail(error, "unexpected '" + std::string(words[expected]) + "' after the fault");
    }
    return ok ? std::optional(fault) : std::nullopt;
}

}  // namespace emu::usb
