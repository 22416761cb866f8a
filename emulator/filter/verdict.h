// What the lower filter does with a request one of its rules matched, and
// the rules themselves.
#pragma once

#include "emulator/filter/seen_request.h"

#include <functional>
#include <optional>

namespace emu::filter {

struct Verdict {
    enum class Action { Pass, Complete, Hold };
    Action action = Action::Pass;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool pend = false;                // return STATUS_PENDING, complete from another thread
    std::optional<ULONG> portStatus;  // written for IOCTL_INTERNAL_USB_GET_PORT_STATUS

    static Verdict Pass() { return {}; }
    static Verdict CompleteWith(NTSTATUS status, ULONG_PTR information = 0)
    {
        Verdict verdict;
        verdict.action = Action::Complete;
        verdict.status = status;
        verdict.information = information;
        return verdict;
    }
    static Verdict Pended(NTSTATUS status, std::optional<ULONG> portStatus = std::nullopt)
    {
        Verdict verdict = CompleteWith(status);
        verdict.pend = true;
        verdict.portStatus = portStatus;
        return verdict;
    }
    static Verdict HoldIt()
    {
        Verdict verdict;
        verdict.action = Action::Hold;
        return verdict;
    }
};

// A verdict for the requests it matches, nothing for the others.
using Rule = std::function<std::optional<Verdict>(const SeenRequest&)>;

// The rule that answers every request `matches` accepts with `verdict`.
inline Rule When(std::function<bool(const SeenRequest&)> matches, Verdict verdict)
{
    return [matches = std::move(matches), verdict](const SeenRequest& seen) -> std::optional<Verdict> {
        return matches(seen) ? std::optional(verdict) : std::nullopt;
    };
}

// What the filter does when the driver above cancels a wait-wake request it keeps.
enum class WaitWakeCancel {
    CompleteAtOnce,  // the cancel routine completes it (inside IoCancelIrp)
    Later,           // the cancel is noted; the owner completes the request
};

}  // namespace emu::filter
