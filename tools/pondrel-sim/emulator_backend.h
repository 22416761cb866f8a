// Runs session commands in the emulator: the application side, the PnP and
// power managers and the emulated device of one emu::Machine with the
// driver loaded.
#pragma once

#include "emulator/machine.h"
#include "tools/session/backend.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// What the session did, for its summary.
struct Tally {
    uint64_t bytesWritten = 0;
    uint64_t bytesRead = 0;
};

class EmulatorBackend : public session::Backend {
public:
    // `timeout` bounds each request the session waits for; one that runs
    // past it is cancelled. `capturePath`, when not empty, receives a USBPcap
    // capture of the device's URBs from the moment it is plugged.
    EmulatorBackend(emu::Machine& machine, PDRIVER_INITIALIZE entry, std::chrono::milliseconds timeout,
                    std::string capturePath);

    bool Supports(session::Verb verb) const override;
    session::Outcome Open(const std::string& name, session::BackendHandle* handle) override;
    session::Outcome Close(session::BackendHandle handle) override;
    session::Outcome Write(session::BackendHandle handle, const std::vector<uint8_t>& data) override;
    session::Outcome Read(session::BackendHandle handle, uint32_t length) override;
    session::Outcome Ioctl(session::BackendHandle handle, uint32_t code, uint32_t outLength) override;
    std::unique_ptr<session::PendingRequest> StartWrite(session::BackendHandle handle,
                                                        std::vector<uint8_t> data) override;
    std::unique_ptr<session::PendingRequest> StartRead(session::BackendHandle handle, uint32_t length) override;
    session::Outcome Cancel(session::BackendHandle handle) override;
    session::Outcome Lifecycle(const session::Command& command) override;

    // Loads the driver (DriverEntry); its status.
    NTSTATUS Load();
    // Ends what the session left: closes `handles`, removes a device still
    // there and unloads a driver still loaded. Requests still in flight end
    // with the removal.
    void Teardown(const std::vector<session::BackendHandle>& handles);

    bool Loaded() const { return loaded_; }
    bool DevicePresent() const { return added_; }
    bool EverPlugged() const { return plugged_; }
    const Tally& Counts() const { return tally_; }
    // Requests the bus served in this session, over every device plugged.
    uint64_t BusRequests();

private:
    session::Outcome Plug();
    session::Outcome Unload();
    session::Outcome Wake();
    session::Outcome SurpriseRemove();
    session::Outcome Remove();
    // Waits for a request the session started, cancelling it past the timeout.
    session::Outcome Finish(emu::PendingIo& io, bool returnsData);

    emu::Machine& machine_;
    PDRIVER_INITIALIZE entry_;
    std::chrono::milliseconds timeout_;
    std::string capturePath_;
    bool loaded_ = false;
    bool plugged_ = false;   // a device was plugged in this session
    bool added_ = false;     // AddDevice succeeded and no removal since
    bool gone_ = false;      // the device left the bus (surprise removal)
    Tally tally_;
    uint64_t earlierBusRequests_ = 0;  // of devices replaced by a later plug
    std::vector<std::unique_ptr<emu::PendingIo>> stuck_;  // requests that outlived even their cancel
};

}  // namespace sim
