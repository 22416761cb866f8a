// The `lower` command's work in the emulator; see lower_filter_commands.h.
#include "tools/pondrel-sim/lower_filter_commands.h"

#include "tools/session/printer.h"
#include "tools/session/request_names.h"
#include "tools/session/status_names.h"

#include <cstdio>

namespace sim {
namespace {

using emu::filter::SeenRequest;
using Kind = session::LowerRequest::Kind;

struct NamedControl {
    ULONG code;
    const char* name;
};

constexpr NamedControl kPortControls[] = {
    {IOCTL_INTERNAL_USB_GET_PORT_STATUS, "IOCTL_INTERNAL_USB_GET_PORT_STATUS"},
    {IOCTL_INTERNAL_USB_RESET_PORT, "IOCTL_INTERNAL_USB_RESET_PORT"},
    {IOCTL_INTERNAL_USB_CYCLE_PORT, "IOCTL_INTERNAL_USB_CYCLE_PORT"},
};

std::string InternalControlName(const SeenRequest& seen)
{
    if (seen.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return session::UrbFunctionName(seen.urbFunction);
    for (const auto& control : kPortControls) {
        if (control.code == seen.ioControlCode)
            return control.name;
    }
    char text[48];
    std::snprintf(text, sizeof text, "internal control 0x%08lX", static_cast<unsigned long>(seen.ioControlCode));
    return text;
}

// The request's name as the platform's headers give it; set and query
// power requests with their target state.
std::string RequestName(const SeenRequest& seen)
{
    if (seen.major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        return InternalControlName(seen);
    std::string name = session::MinorName(seen.major, seen.minor);
    if (name.empty())
        return session::MajorName(seen.major);
    if (seen.major == IRP_MJ_POWER && (seen.minor == IRP_MN_SET_POWER || seen.minor == IRP_MN_QUERY_POWER))
        return name + " " + (seen.powerType == DevicePowerState ? session::DevicePowerName(seen.powerState)
                                                                 : session::SystemPowerName(seen.powerState));
    return name;
}

std::string FateWord(SeenRequest::Fate fate)
{
    switch (fate) {
    case SeenRequest::Fate::Completed: return "completed";
    case SeenRequest::Fate::Held: return "held";
    case SeenRequest::Fate::KeptWaitWake: return "kept";
    default: return "passed";
    }
}

// "       1  IRP_MN_START_DEVICE    passed"
std::string TableLine(const char* number, const std::string& name, const std::string& fate)
{
    char line[160];
    std::snprintf(line, sizeof line, "    %4s  %-46s %s\n", number, name.c_str(), fate.c_str());
    return line;
}

// One line per request for people, one array for programs.
session::Outcome Seen(emu::filter::LowerFilter& filter)
{
    const std::vector<SeenRequest> seen = filter.Seen();
    session::Outcome outcome(STATUS_SUCCESS, seen.size());
    outcome.table = seen.empty() ? "" : TableLine("#", "request", "filter");
    std::string json = "[";
    for (size_t i = 0; i < seen.size(); ++i) {
        const std::string name = RequestName(seen[i]);
        const std::string fate = FateWord(seen[i].fate);
        const bool completed = seen[i].fate == SeenRequest::Fate::Completed;
        const std::string status = session::StatusName(static_cast<uint32_t>(seen[i].answer));
        outcome.table += TableLine(std::to_string(i + 1).c_str(), name, fate + (completed ? " " + status : ""));
        json += std::string(i ? "," : "") + "{\"request\":" + session::JsonString(name) +
                ",\"filter\":" + session::JsonString(fate) +
                (completed ? ",\"status\":" + session::JsonString(status) : "") + "}";
    }
    outcome.figures.emplace_back("seen", json + "]");
    return outcome;
}

}  // namespace

session::Outcome RunLowerCommand(emu::filter::LowerFilter& filter, const session::LowerRequest& request)
{
    const auto status = static_cast<NTSTATUS>(request.status);
    switch (request.kind) {
    case Kind::FailPnp: filter.FailPnp(static_cast<UCHAR>(request.code), status); break;
    case Kind::FailUrb: filter.FailUrb(request.code, status); break;
    case Kind::HoldUrb: filter.HoldUrbs(request.code); break;
    case Kind::Release: return session::Outcome(STATUS_SUCCESS, filter.ReleaseHeld());
    case Kind::Seen: return Seen(filter);
    case Kind::Clear:
        filter.ForgetAnswers();
        filter.ForgetSeen();
        break;
    }
    return session::Outcome(STATUS_SUCCESS);
}

}  // namespace sim
