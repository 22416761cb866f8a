#include "tools/pondrelctl/win32_backend.h"

#include "tools/session/missing_device.h"
#include "tools/session/status_names.h"
#include "tools/session/text.h"

#include <setupapi.h>
#include <winternl.h>

#include "include/pondrel.h"

#include <vector>

extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

namespace pondrelctl {
namespace {

using session::Outcome;

HANDLE FileOf(session::BackendHandle handle)
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

uint32_t LastStatus()
{
    return static_cast<uint32_t>(RtlGetLastNtStatus());
}

Outcome StatusOnly(uint32_t status)
{
    Outcome outcome;
    outcome.status = status;
    return outcome;
}

// One overlapped request. Its buffer and OVERLAPPED live together on the
// heap until the request has ended, since the kernel writes into both until
// then.
class Request : public session::PendingRequest {
public:
    Request(HANDLE file, std::vector<uint8_t> buffer, bool returnsData)
        : file_(file), io_(new Io{{}, std::move(buffer)}), returnsData_(returnsData)
    {
        io_->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }

    ~Request() override
    {
        if (inFlight_) {
            CancelIoEx(file_, &io_->overlapped);
            if (WaitForSingleObject(io_->overlapped.hEvent, 10000) != WAIT_OBJECT_0) {
                // The driver never ended the request: leave its memory to the
                // kernel, which may still write it.
                io_.release();
                return;
            }
        }
        CloseHandle(io_->overlapped.hEvent);
    }

    // `started` is what the Win32 call returned.
    void Started(BOOL started)
    {
        if (!started && GetLastError() != ERROR_IO_PENDING) {
            failedAtOnce_ = true;
            status_ = LastStatus();
            return;
        }
        inFlight_ = true;
    }

    bool Wait(std::chrono::milliseconds timeout) override
    {
        if (!inFlight_)
            return true;
        if (WaitForSingleObject(io_->overlapped.hEvent, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
            return false;
        inFlight_ = false;
        return true;
    }

    // Waits up to `timeout`; then cancels the request and waits for its end.
    Outcome Finish(std::chrono::milliseconds timeout)
    {
        if (Wait(timeout))
            return Result();
        CancelIoEx(file_, &io_->overlapped);
        Wait(std::chrono::milliseconds(INFINITE));
        Outcome outcome = Result();
        outcome.note = "no answer within " + std::to_string(timeout.count()) + " ms (--timeout), so it was cancelled";
        return outcome;
    }

    Outcome Result() override
    {
        if (failedAtOnce_)
            return StatusOnly(status_);
        Outcome outcome = StatusOnly(static_cast<uint32_t>(io_->overlapped.Internal));
        outcome.information = io_->overlapped.InternalHigh;
        if (returnsData_ && session::IsSuccess(outcome.status)) {
            auto& buffer = io_->buffer;
            outcome.data.assign(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(
                                                    outcome.information < buffer.size() ? outcome.information
                                                                                        : buffer.size()));
        }
        return outcome;
    }

    HANDLE File() const { return file_; }
    OVERLAPPED* Overlapped() { return &io_->overlapped; }
    uint8_t* Buffer() { return io_->buffer.data(); }
    DWORD Size() const { return static_cast<DWORD>(io_->buffer.size()); }

private:
    struct Io {
        OVERLAPPED overlapped;
        std::vector<uint8_t> buffer;
    };

    HANDLE file_;
    std::unique_ptr<Io> io_;
    bool returnsData_;
    bool inFlight_ = false;
    bool failedAtOnce_ = false;
    uint32_t status_ = 0;
};

std::unique_ptr<Request> StartWriteRequest(session::BackendHandle handle, std::vector<uint8_t> data)
{
    auto request = std::make_unique<Request>(FileOf(handle), std::move(data), false);
    request->Started(WriteFile(request->File(), request->Buffer(), request->Size(), nullptr, request->Overlapped()));
    return request;
}

std::unique_ptr<Request> StartReadRequest(session::BackendHandle handle, uint32_t length)
{
    auto request = std::make_unique<Request>(FileOf(handle), std::vector<uint8_t>(length), true);
    request->Started(ReadFile(request->File(), request->Buffer(), request->Size(), nullptr, request->Overlapped()));
    return request;
}

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The path of the first interface of the class that is present; empty if none.
std::wstring FirstInterfacePath()
{
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_PONDREL, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    std::wstring path;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    DWORD size = 0;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_PONDREL, 0, &data)) {
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        std::vector<uint8_t> buffer(size > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ? size
                                                                                  : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr))
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

Outcome OpenPath(const std::wstring& path, session::BackendHandle* handle)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return StatusOnly(LastStatus());
    *handle = static_cast<session::BackendHandle>(reinterpret_cast<uintptr_t>(file));
    return {};
}

}  // namespace

Win32Backend::Win32Backend(std::string base, std::chrono::milliseconds timeout, bool testBus)
    : base_(std::move(base)), timeout_(timeout), testBus_(testBus), bus_(base_, timeout)
{
}

// The test bus drives plug, removal, the queries of a stop or removal and
// their cancels, power, WMI requests and faults; start, stop and unload
// need the emulator.
bool Win32Backend::Supports(session::Verb verb) const
{
    using session::Verb;
    if (!session::IsLifecycleVerb(verb))
        return true;
    switch (verb) {
    case Verb::Plug:
    case Verb::SurpriseRemove:
    case Verb::Remove:
    case Verb::Sleep:
    case Verb::Resume:
    case Verb::Wake:
    case Verb::QueryStop:
    case Verb::CancelStop:
    case Verb::QueryRemove:
    case Verb::CancelRemove:
    case Verb::SystemControl:
    case Verb::Fault: return testBus_;
    default: return false;
    }
}

Outcome Win32Backend::Open(const std::string& name, session::BackendHandle* handle)
{
    if (testBus_ && !name.empty())
        return OpenThroughTestBus(name, handle);
    const std::string path = session::DevicePath(base_, name);
    Outcome outcome = OpenPath(Wide(path), handle);
    if (outcome.note.empty())
        outcome.note = session::MissingDeviceHint(outcome.status, path);
    return outcome;
}

Outcome Win32Backend::OpenThroughTestBus(const std::string& name, session::BackendHandle* handle)
{
    std::string path = bus_.PathForName(name);
    if (path.empty())
        return StatusOnly(0xC0000033);  // STATUS_OBJECT_NAME_INVALID
    Outcome outcome = OpenPath(Wide(path), handle);
    if (!session::IsSuccess(outcome.status))
        return outcome;
    uint32_t status = bus_.LastOpenStatus();
    if (!session::IsSuccess(status)) {
        CloseHandle(FileOf(*handle));
        return StatusOnly(status);
    }
    return outcome;
}

Outcome Win32Backend::OpenInterface(const std::string& name, session::BackendHandle* handle)
{
    std::wstring path = FirstInterfacePath();
    if (path.empty())
        return {0xC0000034, 0, {},  // STATUS_OBJECT_NAME_NOT_FOUND
                "no present interface of class " PONDREL_INTERFACE_GUID_STRING
                ": is the pondrel driver installed (pnputil /add-driver pondrel.inf /install) and the device plugged in?"};
    if (testBus_ && !name.empty())
        return OpenThroughTestBus(name, handle);  // the interface leads to the same device
    return OpenPath(path + Wide(session::DevicePath("", name)), handle);
}

Outcome Win32Backend::Close(session::BackendHandle handle)
{
    if (!CloseHandle(FileOf(handle)))
        return StatusOnly(LastStatus());
    return {};
}

Outcome Win32Backend::Write(session::BackendHandle handle, const std::vector<uint8_t>& data)
{
    return StartWriteRequest(handle, data)->Finish(timeout_);
}

Outcome Win32Backend::Read(session::BackendHandle handle, uint32_t length)
{
    return StartReadRequest(handle, length)->Finish(timeout_);
}

Outcome Win32Backend::Ioctl(session::BackendHandle handle, uint32_t code, uint32_t outLength)
{
    auto request = std::make_unique<Request>(FileOf(handle), std::vector<uint8_t>(outLength), true);
    request->Started(DeviceIoControl(request->File(), code, nullptr, 0, outLength ? request->Buffer() : nullptr,
                                     outLength, nullptr, request->Overlapped()));
    return request->Finish(timeout_);
}

std::unique_ptr<session::PendingRequest> Win32Backend::StartWrite(session::BackendHandle handle,
                                                                  std::vector<uint8_t> data)
{
    return StartWriteRequest(handle, std::move(data));
}

std::unique_ptr<session::PendingRequest> Win32Backend::StartRead(session::BackendHandle handle, uint32_t length)
{
    return StartReadRequest(handle, length);
}

Outcome Win32Backend::Cancel(session::BackendHandle handle)
{
    if (!CancelIoEx(FileOf(handle), nullptr) && GetLastError() != ERROR_NOT_FOUND)
        return StatusOnly(LastStatus());
    return {};
}

Outcome Win32Backend::Lifecycle(const session::Command& command)
{
    if (!testBus_)
        return StatusOnly(session::StatusNotSupported);
    return bus_.Run(command);
}

}  // namespace pondrelctl
