#include "emulator/app/application.h"

#include <algorithm>

namespace emu::app {
namespace {

constexpr auto CloseLimit = std::chrono::seconds(30);
// The longest name a UNICODE_STRING can carry: its Length is a USHORT
// counting bytes, and a name is whole 16-bit characters.
constexpr size_t LongestNameBytes = 0xFFFE;

// A request the application issued with OVERLAPPED.
class OverlappedIo final : public PendingIo {
public:
    explicit OverlappedIo(std::shared_ptr<AppRequest> request) : request_(std::move(request)) {}
    bool Done() override { return request_->Done(); }
    bool WaitFor(std::chrono::milliseconds timeout) override { return request_->WaitFor(timeout); }
    IoResult Result() override { return request_->Result(); }
    void Cancel() override { request_->Cancel(); }
    std::vector<uint8_t> Data() override { return request_->Data(); }

private:
    std::shared_ptr<AppRequest> request_;
};

}  // namespace

Application::Application(Hooks hooks) : hooks_(std::move(hooks)) {}

Application::~Application() = default;

// Fails what the I/O manager fails before any driver sees the create: a
// name too long for a UNICODE_STRING, a name that resolves to nothing, a
// device still initializing or being deleted, a second open of an
// exclusive device.
NTSTATUS Application::Open(std::u16string_view path, Handle* handle)
{
    *handle = 0;
    if (path.size() * sizeof(char16_t) > LongestNameBytes) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string remainder;
    PDEVICE_OBJECT named = ResolveDeviceName(path, &remainder);
    if (named == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if ((named->Flags & DO_DEVICE_INITIALIZING) != 0 || IsDeletePending(named)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((named->Flags & DO_EXCLUSIVE) != 0 && named->ReferenceCount != 0) {
        return STATUS_ACCESS_DENIED;
    }
    auto file = std::make_shared<OpenFile>();
    file->named = named;
    file->file = CreateFileObject(named, remainder);
    ReferenceDeviceObject(named);

    RequestShape shape;
    shape.major = IRP_MJ_CREATE;
    shape.countsForClose = false;
    auto request = Start(file, shape, false);
    request->WaitForever();
    const NTSTATUS status = request->Result().status;
    if (!NT_SUCCESS(status)) {
        DereferenceDeviceObject(named);
        DeleteFileObject(file->file);
        return status;
    }
    file->handles = 1;
    std::lock_guard<std::mutex> lock(mutex_);
    *handle = nextHandle_++;
    handles_[*handle] = file;
    files_.insert(file);
    return status;
}

NTSTATUS Application::Open(std::string_view path, Handle* handle)
{
    return Open(std::u16string(path.begin(), path.end()), handle);
}

// CloseHandle: the last handle to a file object brings IRP_MJ_CLEANUP at
// once, and IRP_MJ_CLOSE once no request carrying it is still in flight.
void Application::Close(Handle handle)
{
    std::shared_ptr<OpenFile> file;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = handles_.find(handle);
        if (found == handles_.end()) {
            return;
        }
        file = found->second;
        handles_.erase(found);
    }
    {
        std::lock_guard<std::mutex> lock(file->mutex);
        if (--file->handles != 0) {
            return;
        }
    }
    RequestShape cleanup;
    cleanup.major = IRP_MJ_CLEANUP;
    cleanup.countsForClose = false;
    Start(file, cleanup, false)->WaitForever();
    bool closeNow;
    {
        std::lock_guard<std::mutex> lock(file->mutex);
        file->cleanedUp = true;
        closeNow = file->outstanding == 0 && !file->closeSent;
        file->closeSent = file->closeSent || closeNow;
    }
    if (closeNow) {
        SendClose(file);
    }
}

Handle Application::Duplicate(Handle handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = handles_.find(handle);
    if (found == handles_.end()) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> fileLock(found->second->mutex);
        ++found->second->handles;
    }
    Handle copy = nextHandle_++;
    handles_[copy] = found->second;
    return copy;
}

IoResult Application::Read(Handle handle, void* buffer, ULONG length)
{
    RequestShape shape;
    shape.major = IRP_MJ_READ;
    shape.length = length;
    shape.output = buffer;
    return Synchronous(handle, shape);
}

IoResult Application::Write(Handle handle, const void* buffer, ULONG length)
{
    RequestShape shape;
    shape.major = IRP_MJ_WRITE;
    shape.length = length;
    shape.writeData = buffer;
    return Synchronous(handle, shape);
}

IoResult Application::DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out,
                                      ULONG outLength)
{
    RequestShape shape;
    shape.major = IRP_MJ_DEVICE_CONTROL;
    shape.code = code;
    shape.input = in;
    shape.inputLength = inLength;
    shape.output = out;
    shape.outputLength = outLength;
    return Synchronous(handle, shape);
}

std::unique_ptr<PendingIo> Application::ReadAsync(Handle handle, ULONG length)
{
    RequestShape shape;
    shape.major = IRP_MJ_READ;
    shape.length = length;
    return Overlapped(handle, shape);
}

std::unique_ptr<PendingIo> Application::WriteAsync(Handle handle, std::vector<uint8_t> data)
{
    RequestShape shape;
    shape.major = IRP_MJ_WRITE;
    shape.length = static_cast<ULONG>(data.size());
    shape.writeData = data.data();
    return Overlapped(handle, shape);
}

std::unique_ptr<PendingIo> Application::DeviceIoControlAsync(Handle handle, ULONG code, std::vector<uint8_t> in,
                                                             ULONG outLength)
{
    RequestShape shape;
    shape.major = IRP_MJ_DEVICE_CONTROL;
    shape.code = code;
    shape.input = in.empty() ? nullptr : in.data();
    shape.inputLength = static_cast<ULONG>(in.size());
    shape.outputLength = outLength;
    return Overlapped(handle, shape);
}

void Application::CancelAll(Handle handle)
{
    std::shared_ptr<OpenFile> file = Find(handle);
    if (!file) {
        return;
    }
    std::vector<std::shared_ptr<AppRequest>> inFlight;
    {
        std::lock_guard<std::mutex> lock(file->mutex);
        for (auto& weak : file->inFlight) {
            if (auto request = weak.lock()) {
                inFlight.push_back(std::move(request));
            }
        }
    }
    for (auto& request : inFlight) {
        request->Cancel();
    }
}

PFILE_OBJECT Application::FileObjectOf(Handle handle)
{
    std::shared_ptr<OpenFile> file = Find(handle);
    return file ? file->file : nullptr;
}

size_t Application::OpenFileObjects()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.size();
}

bool Application::WaitUntilAllClosed(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return allClosed_.wait_for(lock, timeout, [this] { return files_.empty(); });
}

size_t Application::OpenFilesOn(const std::vector<PDEVICE_OBJECT>& devices)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(files_.begin(), files_.end(), [&](const std::shared_ptr<OpenFile>& file) {
        return std::find(devices.begin(), devices.end(), file->named) != devices.end();
    });
}

void Application::Teardown()
{
    std::vector<Handle> open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [handle, file] : handles_) {
            open.push_back(handle);
        }
    }
    for (Handle handle : open) {
        CancelAll(handle);
        Close(handle);
    }
    if (!WaitUntilAllClosed(CloseLimit)) {
        verifier::Report("file objects never closed: a request on them never completed", "App",
                         std::to_string(OpenFileObjects()) + " left\n" + threads::DescribeBlocked());
    }
    worker_.WaitIdle(CloseLimit);
}

std::shared_ptr<OpenFile> Application::Find(Handle handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = handles_.find(handle);
    return found == handles_.end() ? nullptr : found->second;
}

std::shared_ptr<AppRequest> Application::Start(const std::shared_ptr<OpenFile>& file, const RequestShape& shape,
                                               bool overlapped)
{
    auto request = std::make_shared<AppRequest>(
        file, shape, [this](const std::shared_ptr<OpenFile>& done, AppRequest* finished) {
            RequestFinished(done, finished);
        });
    if (overlapped) {
        request->OwnBuffers();
    }
    if (shape.countsForClose) {
        std::lock_guard<std::mutex> lock(file->mutex);
        ++file->outstanding;
        file->inFlight.push_back(request);
    }
    request->Send(request);
    return request;
}

IoResult Application::Synchronous(Handle handle, const RequestShape& shape)
{
    std::shared_ptr<OpenFile> file = Find(handle);
    if (!file) {
        return {STATUS_INVALID_HANDLE, 0};
    }
    auto request = Start(file, shape, false);
    request->WaitForever();
    return request->Result();
}

std::unique_ptr<PendingIo> Application::Overlapped(Handle handle, const RequestShape& shape)
{
    std::shared_ptr<OpenFile> file = Find(handle);
    if (!file) {
        auto closed = std::make_shared<OpenFile>();
        auto request = std::make_shared<AppRequest>(closed, shape, nullptr);
        request->Refuse(STATUS_INVALID_HANDLE);
        return std::make_unique<OverlappedIo>(std::move(request));
    }
    return std::make_unique<OverlappedIo>(Start(file, shape, true));
}

// A request carrying the file object has completed (any thread, up to
// DISPATCH_LEVEL): the close it held back goes out from the I/O manager's
// thread.
void Application::RequestFinished(const std::shared_ptr<OpenFile>& file, AppRequest* request)
{
    if (!request->Shape().countsForClose) {
        return;
    }
    bool closeNow;
    {
        std::lock_guard<std::mutex> lock(file->mutex);
        --file->outstanding;
        std::erase_if(file->inFlight, [request](const std::weak_ptr<AppRequest>& weak) {
            auto live = weak.lock();
            return !live || live.get() == request;
        });
        closeNow = file->cleanedUp && file->outstanding == 0 && !file->closeSent;
        file->closeSent = file->closeSent || closeNow;
    }
    if (closeNow) {
        worker_.Post([this, file] { SendClose(file); });
    }
}

// IRP_MJ_CLOSE, then the file object's reference on the device goes (which
// may finish a deletion IoDeleteDevice deferred). PASSIVE_LEVEL.
void Application::SendClose(const std::shared_ptr<OpenFile>& file)
{
    RequestShape close;
    close.major = IRP_MJ_CLOSE;
    close.countsForClose = false;
    Start(file, close, false)->WaitForever();
    DereferenceDeviceObject(file->named);
    DeleteFileObject(file->file);
    file->file = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        files_.erase(file);
        allClosed_.notify_all();
    }
    if (hooks_.fileClosed) {
        hooks_.fileClosed();
    }
}

}  // namespace emu::app
