// The lower filter's record read by kind, and the rules its owner adds most
// often. All at PASSIVE_LEVEL, from the owner's thread.
#include "emulator/filter/lower_filter.h"

namespace emu::filter {

std::vector<SeenRequest> LowerFilter::SeenIf(const std::function<bool(const SeenRequest&)>& wanted)
{
    std::vector<SeenRequest> found;
    for (const SeenRequest& request : Seen()) {
        if (wanted(request)) {
            found.push_back(request);
        }
    }
    return found;
}

std::vector<SeenRequest> LowerFilter::SeenPnp()
{
    return SeenIf([](const SeenRequest& r) { return r.major == IRP_MJ_PNP; });
}

std::vector<SeenRequest> LowerFilter::SeenPower()
{
    return SeenIf([](const SeenRequest& r) { return r.major == IRP_MJ_POWER; });
}

std::vector<SeenRequest> LowerFilter::SeenPower(UCHAR minor, ULONG type)
{
    return SeenIf([&](const SeenRequest& r) {
        return r.major == IRP_MJ_POWER && r.minor == minor && r.powerType == type;
    });
}

std::vector<SeenRequest> LowerFilter::SeenUrbs(USHORT urbFunction)
{
    return SeenIf([&](const SeenRequest& r) {
        return r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && r.urbFunction == urbFunction;
    });
}

std::optional<SeenRequest> LowerFilter::Last(UCHAR major, UCHAR minor)
{
    const std::vector<SeenRequest> found =
        SeenIf([&](const SeenRequest& r) { return r.major == major && r.minor == minor; });
    return found.empty() ? std::nullopt : std::optional<SeenRequest>(found.back());
}

size_t LowerFilter::Count(UCHAR major, UCHAR minor)
{
    return SeenIf([&](const SeenRequest& r) { return r.major == major && r.minor == minor; }).size();
}

void LowerFilter::FailPnp(UCHAR minor, NTSTATUS status)
{
    AddRule(When([=](const SeenRequest& r) { return r.major == IRP_MJ_PNP && r.minor == minor; },
                 Verdict::CompleteWith(status)));
}

void LowerFilter::AnswerInternal(ULONG ioControlCode, Verdict answer)
{
    AddRule(When([=](const SeenRequest& r) {
        return r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && r.ioControlCode == ioControlCode;
    }, answer));
}

void LowerFilter::FailUrb(USHORT urbFunction, NTSTATUS status)
{
    AddRule(When([=](const SeenRequest& r) { return r.urbFunction == urbFunction; }, Verdict::CompleteWith(status)));
}

void LowerFilter::HoldUrbs(USHORT urbFunction)
{
    AddRule(When([=](const SeenRequest& r) { return r.urbFunction == urbFunction; }, Verdict::HoldIt()));
}

void LowerFilter::HoldPowerUp()
{
    AddRule(When([](const SeenRequest& r) {
        return r.major == IRP_MJ_POWER && r.minor == IRP_MN_SET_POWER && r.powerType == DevicePowerState &&
               r.powerState == PowerDeviceD0;
    }, Verdict::HoldIt()));
}

}  // namespace emu::filter
