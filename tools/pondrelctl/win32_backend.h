// Runs session commands against the installed driver through CreateFile,
// WriteFile, ReadFile, DeviceIoControl and CancelIoEx. Every request is
// overlapped, so its NTSTATUS and Information are read from the OVERLAPPED
// exactly as the driver completed them; a request the driver fails at once
// gives its status through RtlGetLastNtStatus.
#pragma once

#include "tools/pondrelctl/test_bus_client.h"
#include "tools/session/backend.h"

#include <windows.h>

#include <chrono>
#include <string>

namespace pondrelctl {

class Win32Backend : public session::Backend {
public:
    // `base` is the device's path (\\.\pondrel); `timeout` bounds every
    // synchronous request, which is cancelled when it runs out. With
    // `testBus` the device's life is driven through the test bus.
    Win32Backend(std::string base, std::chrono::milliseconds timeout, bool testBus = false);

    bool Supports(session::Verb verb) const override;
    session::Outcome Open(const std::string& name, session::BackendHandle* handle) override;
    session::Outcome OpenInterface(const std::string& name, session::BackendHandle* handle) override;
    session::Outcome Close(session::BackendHandle handle) override;
    session::Outcome Write(session::BackendHandle handle, const std::vector<uint8_t>& data) override;
    session::Outcome Read(session::BackendHandle handle, uint32_t length) override;
    session::Outcome Ioctl(session::BackendHandle handle, uint32_t code, uint32_t outLength) override;
    std::unique_ptr<session::PendingRequest> StartWrite(session::BackendHandle handle,
                                                        std::vector<uint8_t> data) override;
    std::unique_ptr<session::PendingRequest> StartRead(session::BackendHandle handle, uint32_t length) override;
    session::Outcome Cancel(session::BackendHandle handle) override;
    session::Outcome Lifecycle(const session::Command& command) override;

private:
    session::Outcome OpenThroughTestBus(const std::string& name, session::BackendHandle* handle);

    std::string base_;
    std::chrono::milliseconds timeout_;
    bool testBus_;
    TestBusClient bus_;
};

}  // namespace pondrelctl
