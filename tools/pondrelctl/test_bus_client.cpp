#include "tools/pondrelctl/test_bus_client.h"

#include "tests/wine/test_bus_control.h"
#include "tools/session/status_names.h"

#include <windows.h>
#include <winternl.h>

extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

namespace pondrelctl {
namespace {

using session::Outcome;
using Clock = std::chrono::steady_clock;

// How often an open is retried while a device comes up.
constexpr DWORD kRetryMs = 20;

// Opens `path`, retrying until `timeout` while it does not exist yet.
HANDLE OpenWhenThere(const std::string& path, std::chrono::milliseconds timeout, uint32_t* status)
{
    HANDLE timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    auto deadline = Clock::now() + timeout;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (;;) {
        file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (file != INVALID_HANDLE_VALUE || Clock::now() >= deadline)
            break;
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(kRetryMs) * 10000;
        SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
        WaitForSingleObject(timer, INFINITE);
    }
    *status = file == INVALID_HANDLE_VALUE ? static_cast<uint32_t>(RtlGetLastNtStatus()) : 0;
    CloseHandle(timer);
    return file;
}

}  // namespace

Outcome TestBusClient::Send(unsigned long verb, unsigned long argument, unsigned long endpoint,
                            const std::string& name)
{
    uint32_t status = 0;
    HANDLE bus = OpenWhenThere(PONDREL_TEST_BUS_PATH, timeout_, &status);
    if (bus == INVALID_HANDLE_VALUE)
        return {status, 0, {}, "no test bus"};
    PondrelTestBusCommand command{verb, argument, endpoint, {}};
    for (size_t i = 0; i < name.size() && i + 1 < PONDREL_TEST_BUS_NAME_CHARS; ++i)
        command.name[i] = static_cast<unsigned char>(name[i]);
    LONG answer = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    BOOL done = DeviceIoControl(bus, IOCTL_PONDREL_TEST_BUS_COMMAND, &command, sizeof command, &answer, sizeof answer,
                                nullptr, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING)
        done = WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(3 * timeout_.count())) == WAIT_OBJECT_0 &&
               GetOverlappedResult(bus, &overlapped, &bytes, FALSE);
    Outcome outcome{done ? static_cast<uint32_t>(answer) : 0xC00000B5u /* STATUS_IO_TIMEOUT */, 0, {},
                    done ? "" : "the test bus did not answer"};
    if (!done)
        CancelIoEx(bus, &overlapped);
    CloseHandle(overlapped.hEvent);
    CloseHandle(bus);
    return outcome;
}

std::string TestBusClient::PathForName(const std::string& name)
{
    if (name.size() + 1 >= PONDREL_TEST_BUS_NAME_CHARS)
        return {};
    Outcome outcome = Send(TestBusNameNextOpen, 0, 0, name);
    return session::IsSuccess(outcome.status) ? PONDREL_TEST_BUS_PATH : std::string();
}

uint32_t TestBusClient::LastOpenStatus()
{
    return Send(TestBusLastOpenStatus, 0, 0).status;
}

Outcome TestBusClient::Run(const session::Command& command)
{
    using session::Verb;
    switch (command.verb) {
    case Verb::Plug: {
        // Done once the started device opens, as an application waiting for its arrival would see it.
        Outcome outcome = Send(TestBusPlug, 0, 0);
        uint32_t status = 0;
        HANDLE device = session::IsSuccess(outcome.status) ? OpenWhenThere(device_, timeout_, &status) : nullptr;
        if (device == INVALID_HANDLE_VALUE)
            return {status, 0, {}, "the started device never opened"};
        if (device != nullptr)
            CloseHandle(device);
        return outcome;
    }
    case Verb::SurpriseRemove: return Send(TestBusSurpriseRemove, 0, 0);
    case Verb::Remove: return Send(TestBusRemove, 0, 0);
    case Verb::Sleep: return Send(TestBusSleep, static_cast<unsigned long>(command.sleepState), 0);
    case Verb::Resume: return Send(TestBusResume, 0, 0);
    case Verb::Wake: return Send(TestBusWake, 0, 0);
    // The PnP minor codes of the queries and their cancels.
    case Verb::QueryRemove: return Send(TestBusPnp, 0x01, 0);
    case Verb::CancelRemove: return Send(TestBusPnp, 0x03, 0);
    case Verb::QueryStop: return Send(TestBusPnp, 0x05, 0);
    case Verb::CancelStop: return Send(TestBusPnp, 0x06, 0);
    case Verb::SystemControl: return Send(TestBusSystemControl, command.wmiMinor, 0);
    case Verb::Fault: return Fault(command.fault);
    default: return {session::StatusNotSupported, 0, {}, {}};
    }
}

// The test bus can stall an endpoint's next transfer, silence it and clear
// that; the other faults of the session language are the emulator's alone.
Outcome TestBusClient::Fault(const session::FaultRequest& fault)
{
    using Kind = session::FaultRequest::Kind;
    switch (fault.kind) {
    case Kind::Stall:
        if (fault.value == 0)
            return Send(TestBusStall, 0, fault.endpoint);
        break;
    case Kind::Silent: return Send(TestBusSilent, 0, fault.endpoint);
    case Kind::Clear: return Send(TestBusClearFault, 0, fault.endpoint);
    default: break;
    }
    return {session::StatusNotSupported, 0, {}, "the test bus cannot do this fault"};
}

}  // namespace pondrelctl
