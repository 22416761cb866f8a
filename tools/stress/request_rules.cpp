#include "tools/stress/request_rules.h"

#include "tools/session/status_names.h"

#include <algorithm>

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
    const char* name;
    std::vector<NTSTATUS> permitted;  // besides success, where success is allowed
    bool successAllowed;
    bool busFailuresAllowed;
};

const Rule& RuleFor(RequestKind kind)
{
    // Every request may find the device not started; a handle opened before
    // a stop is refused after the restart (its pipe entry is gone).
    static const Rule rules[] = {
        {RequestKind::OpenPipe, "open of a pipe", {STATUS_INVALID_DEVICE_STATE, STATUS_NO_SUCH_DEVICE,
         STATUS_OBJECT_NAME_NOT_FOUND, STATUS_INSUFFICIENT_RESOURCES}, true, false},
        {RequestKind::OpenBadName, "open of a name that selects no pipe", {STATUS_INVALID_DEVICE_STATE,
         STATUS_NO_SUCH_DEVICE, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES},
         false, false},
        {RequestKind::TransferOnBulk, "transfer on a bulk pipe", {STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_HANDLE},
         true, true},
        {RequestKind::TransferOther, "transfer on a handle without a bulk pipe of its direction",
         {STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_HANDLE, STATUS_INSUFFICIENT_RESOURCES}, false, false},
        {RequestKind::FetchConfiguration, "IOCTL_FETCH_CONFIGURATION", {STATUS_INVALID_DEVICE_STATE,
         STATUS_BUFFER_TOO_SMALL, STATUS_INSUFFICIENT_RESOURCES}, true, false},
        {RequestKind::PortReset, "IOCTL_PORT_RESET", {STATUS_INVALID_DEVICE_STATE}, true, true},
        {RequestKind::PipeResetOnPipe, "IOCTL_PIPE_RESET on a pipe", {STATUS_INVALID_DEVICE_STATE,
         STATUS_INVALID_HANDLE}, true, true},
        {RequestKind::PipeResetOnDevice, "IOCTL_PIPE_RESET on the device handle", {STATUS_INVALID_DEVICE_STATE,
         STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES}, false, false},
        {RequestKind::UnknownCode, "an unknown control code", {STATUS_INVALID_DEVICE_STATE,
         STATUS_INVALID_DEVICE_REQUEST, STATUS_INSUFFICIENT_RESOURCES}, false, false},
    };
    return *std::find_if(std::begin(rules), std::end(rules), [kind](const Rule& rule) { return rule.kind == kind; });
}

template <typename List>
bool Contains(const List& statuses, NTSTATUS status)
{
    return std::find(std::begin(statuses), std::end(statuses), status) != std::end(statuses);
}

}  // namespace

const char* KindName(RequestKind kind)
{
    return RuleFor(kind).name;
}

std::string StatusName(NTSTATUS status)
{
    return session::StatusName(static_cast<uint32_t>(status));
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
    if (!NT_SUCCESS(status)) {
        const bool permitted =
            Contains(rule.permitted, status) || (rule.busFailuresAllowed && Contains(BusFailures, status));
        return permitted ? std::nullopt : std::optional<std::string>(what + ", a status the driver may not give here");
    }
    if (!rule.successAllowed) {
        return what + ", a request that may not succeed";
    }
    // A transfer reports every byte it was asked to move; a fetch at least
    // one byte and no more than its buffer; anything else nothing.
    const ULONG_PTR information = outcome.result.information;
    const bool fetch = outcome.kind == RequestKind::FetchConfiguration;
    const ULONG_PTR expected = outcome.kind == RequestKind::TransferOnBulk ? outcome.length : 0;
    if (fetch ? (information == 0 || information > outcome.length) : information != expected) {
        return "succeeded with Information " + std::to_string(information) + " for " +
               std::to_string(outcome.length) + " bytes";
    }
    return std::nullopt;
}

}  // namespace lives
