// The application side of one machine: what CreateFile, ReadFile,
// WriteFile, DeviceIoControl, CancelIoEx and CloseHandle do through the I/O
// manager. Requests go from the calling thread at PASSIVE_LEVEL; a
// synchronous one waits for its completion.
#pragma once

#include "emulator/app/app_request.h"
#include "emulator/app/open_file.h"
#include "emulator/machine.h"
#include "emulator/system_worker.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace emu::app {

class Application final : public App {
public:
    struct Hooks {
        std::function<void()> fileClosed;  // after IRP_MJ_CLOSE and the device's dereference
    };

    explicit Application(Hooks hooks);
    ~Application() override;

    // File objects not yet closed whose device is one of `devices`.
    size_t OpenFilesOn(const std::vector<PDEVICE_OBJECT>& devices);
    // What process exit does: cancels the requests of every handle left
    // open, closes the handles, and waits for the closes.
    void Teardown();

    // ---- emu::App ----
    NTSTATUS Open(std::u16string_view path, Handle* handle) override;
    NTSTATUS Open(std::string_view path, Handle* handle) override;
    void Close(Handle handle) override;
    Handle Duplicate(Handle handle) override;
    IoResult Read(Handle handle, void* buffer, ULONG length) override;
    IoResult Write(Handle handle, const void* buffer, ULONG length) override;
    IoResult DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out,
                             ULONG outLength) override;
    std::unique_ptr<PendingIo> ReadAsync(Handle handle, ULONG length) override;
    std::unique_ptr<PendingIo> WriteAsync(Handle handle, std::vector<uint8_t> data) override;
    std::unique_ptr<PendingIo> DeviceIoControlAsync(Handle handle, ULONG code, std::vector<uint8_t> in,
                                                    ULONG outLength) override;
    void CancelAll(Handle handle) override;
    PFILE_OBJECT FileObjectOf(Handle handle) override;
    size_t OpenFileObjects() override;
    bool WaitUntilAllClosed(std::chrono::milliseconds timeout) override;

private:
    std::shared_ptr<OpenFile> Find(Handle handle);
    std::shared_ptr<AppRequest> Start(const std::shared_ptr<OpenFile>& file, const RequestShape& shape,
                                      bool overlapped);
    IoResult Synchronous(Handle handle, const RequestShape& shape);
    std::unique_ptr<PendingIo> Overlapped(Handle handle, const RequestShape& shape);
    void RequestFinished(const std::shared_ptr<OpenFile>& file, AppRequest* request);
    void SendClose(const std::shared_ptr<OpenFile>& file);

    Hooks hooks_;
    std::mutex mutex_;  // guards the fields below
    std::condition_variable allClosed_;
    std::map<Handle, std::shared_ptr<OpenFile>> handles_;
    std::set<std::shared_ptr<OpenFile>> files_;  // opened, IRP_MJ_CLOSE not yet sent
    Handle nextHandle_ = 1;

    SystemWorker worker_{"I/O manager"};  // sends the closes that wait for a last request; last
};

}  // namespace emu::app
