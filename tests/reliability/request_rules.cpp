#include "tests/reliability/request_rules.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>

namespace lives {
namespace {

// Failures the bus or the kernel may report for a request that reached the
// device's stack: cancellation, a device gone, a failed or halted transfer,
// a pipe handle of a configuration the bus no longer has, no resources.
constexpr NTSTATUS BusFailures[] = {
    STATUS_CANCELLED,         STATUS_DEVICE_NOT_CONNECTED, STATUS_UNSUCCESSFUL,
    STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_SUCH_DEVICE,
};

struct Rule {
    RequestKind kind;
    std::vector<NTSTATUS> permitted;  // besides success, where success is allowed
    bool successAllowed;
    bool busFailuresAllowed;
};

const Rule& RuleFor(RequestKind kind)
{
    // Every request may find the device not started; a handle opened before
    // a stop is refused after the restart (its pipe entry is gone).
    static const Rule rules[] = {
        {RequestKind::OpenPipe, {STATUS_INVALID_DEVICE_STATE, STATUS_NO_SUCH_DEVICE, STATUS_OBJECT_NAME_NOT_FOUND,
                                 STATUS_INSUFFICIENT_RESOURCES}, true, false},
        {RequestKind::OpenBadName, {STATUS_INVALID_DEVICE_STATE, STATUS_NO_SUCH_DEVICE, STATUS_OBJECT_NAME_NOT_FOUND,
                                    STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES}, false, false},
        {RequestKind::TransferOnBulk, {STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_HANDLE}, true, true},
        {RequestKind::TransferOther, {STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_HANDLE,
                                      STATUS_INSUFFICIENT_RESOURCES}, false, false},
        {RequestKind::FetchConfiguration, {STATUS_INVALID_DEVICE_STATE, STATUS_BUFFER_TOO_SMALL,
                                           STATUS_INSUFFICIENT_RESOURCES}, true, false},
        {RequestKind::PortReset, {STATUS_INVALID_DEVICE_STATE}, true, true},
        {RequestKind::PipeResetOnPipe, {STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_HANDLE}, true, true},
        {RequestKind::PipeResetOnDevice, {STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_PARAMETER,
                                          STATUS_INSUFFICIENT_RESOURCES}, false, false},
        {RequestKind::UnknownCode, {STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_DEVICE_REQUEST,
                                    STATUS_INSUFFICIENT_RESOURCES}, false, false},
    };
    return *std::find_if(std::begin(rules), std::end(rules), [kind](const Rule& rule) { return rule.kind == kind; });
}

bool Contains(const std::vector<NTSTATUS>& statuses, NTSTATUS status)
{
    return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
}

// What a successful request must report in Information.
std::optional<std::string> CheckSuccess(const Outcome& outcome)
{
    const ULONG_PTR information = outcome.result.information;
    const bool transfer = outcome.kind == RequestKind::TransferOnBulk;
    const bool fetch = outcome.kind == RequestKind::FetchConfiguration;
    const ULONG_PTR expected = transfer ? outcome.length : 0;
    if (fetch ? (information == 0 || information > outcome.length) : information != expected) {
        return "succeeded with Information " + std::to_string(information) + " for " +
               std::to_string(outcome.length) + " bytes";
    }
    return std::nullopt;
}

}  // namespace

const char* KindName(RequestKind kind)
{
    switch (kind) {
    case RequestKind::OpenPipe: return "open of a pipe";
    case RequestKind::OpenBadName: return "open of a name that selects no pipe";
    case RequestKind::TransferOnBulk: return "transfer on a bulk pipe";
    case RequestKind::TransferOther: return "transfer on a handle without a bulk pipe of its direction";
    case RequestKind::FetchConfiguration: return "IOCTL_FETCH_CONFIGURATION";
    case RequestKind::PortReset: return "IOCTL_PORT_RESET";
    case RequestKind::PipeResetOnPipe: return "IOCTL_PIPE_RESET on a pipe";
    case RequestKind::PipeResetOnDevice: return "IOCTL_PIPE_RESET on the device handle";
    case RequestKind::UnknownCode: return "an unknown control code";
    }
    return "?";
}

std::string StatusName(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::optional<std::string> CheckOutcome(const Outcome& outcome)
{
    const NTSTATUS status = outcome.result.status;
    const std::string what = std::string(KindName(outcome.kind)) + " ended with " + StatusName(status);
    if (status == STATUS_PENDING) {
        return what + " (the request never finished)";
    }
    if (outcome.wholeWindowNotStarted) {
        const bool refused = status == STATUS_INVALID_DEVICE_STATE ||
                             ((outcome.kind == RequestKind::OpenPipe || outcome.kind == RequestKind::OpenBadName) &&
                              (status == STATUS_NO_SUCH_DEVICE || status == STATUS_OBJECT_NAME_NOT_FOUND)) ||
                             status == STATUS_INSUFFICIENT_RESOURCES;
        return refused ? std::nullopt : std::optional<std::string>(what + " while the device was not started");
    }
    const Rule& rule = RuleFor(outcome.kind);
    if (NT_SUCCESS(status)) {
        if (!rule.successAllowed) {
            return what + ", a request that may not succeed";
        }
        return CheckSuccess(outcome);
    }
    if (Contains(rule.permitted, status)) {
        return std::nullopt;
    }
    if (rule.busFailuresAllowed && std::find(std::begin(BusFailures), std::end(BusFailures), status) != std::end(BusFailures)) {
        return std::nullopt;
    }
    return what + ", a status the driver may not give here";
}

}  // namespace lives
