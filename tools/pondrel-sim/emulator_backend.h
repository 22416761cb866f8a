// Runs session commands in the emulator: the application side, the PnP and
// power managers and the emulated device of one emu::Machine. The machine
// behaves as Windows does: a plug loads the driver if it is not loaded, and
// the PnP manager unloads it when its last device has been removed.
#pragma once

#include "emulator/filter/lower_filter.h"
#include "emulator/machine.h"
#include "tools/session/backend.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// What the session moved, for its summary.
struct Tally {
    uint64_t bytesWritten = 0;
    uint64_t bytesRead = 0;
};

class EmulatorBackend : public session::Backend {
public:
    // `timeout` bounds each request the session waits for; one that runs
    // past it is cancelled. `capturePath`, when not empty, receives a USBPcap
    // capture of the first device's URBs from the moment it is plugged.
    EmulatorBackend(emu::Machine& machine, PDRIVER_INITIALIZE entry, std::chrono::milliseconds timeout,
                    std::string capturePath);

    bool Supports(session::Verb verb) const override;
    session::Outcome Open(const std::string& name, session::BackendHandle* handle) override;
    session::Outcome OpenInterface(const std::string& name, session::BackendHandle* handle) override;
    session::Outcome Close(session::BackendHandle handle) override;
    session::Outcome Write(session::BackendHandle handle, const std::vector<uint8_t>& data) override;
    std::optional<double> BusSeconds() override;
    session::Outcome Read(session::BackendHandle handle, uint32_t length) override;
    session::Outcome Ioctl(session::BackendHandle handle, uint32_t code, uint32_t outLength) override;
    std::unique_ptr<session::PendingRequest> StartWrite(session::BackendHandle handle,
                                                        std::vector<uint8_t> data) override;
    std::unique_ptr<session::PendingRequest> StartRead(session::BackendHandle handle, uint32_t length) override;
    session::Outcome Cancel(session::BackendHandle handle) override;
    session::Outcome Lifecycle(const session::Command& command) override;

    // Each plug from now on puts a lower filter between the driver and the
    // device's PDO, for the `lower` command (--lower-filter).
    void UseLowerFilter() { useLowerFilter_ = true; }
    // What the filter holds goes on and its rules end: the end of a session
    // cancels what is in flight, which a held request would outlive.
    void StopFiltering();

    // Loads the driver (DriverEntry); its status.
    NTSTATUS Load();
    // Ends what the session left: closes `handles`, removes a device still
    // attached and unloads a driver still loaded.
    void Teardown(const std::vector<session::BackendHandle>& handles);

    bool Loaded();
    bool EverLoaded() const { return everLoaded_; }
    const Tally& Counts() const { return tally_; }

private:
    bool Attached();  // the driver's device object is on the device's stack
    std::string RemovalNote(const std::string& why);
    session::Outcome Plug();
    session::Outcome SurpriseRemove();
    session::Outcome Remove();
    void AwaitDeparture();
    session::Outcome Unload();
    session::Outcome Wake();
    session::Outcome Fault(const session::FaultRequest& fault);
    session::Outcome Lower(const session::LowerRequest& request);
    // A new filter above the new device's PDO, before AddDevice.
    void PutFilterUnder();
    // Waits for a request the session started, cancelling it past the timeout.
    session::Outcome Finish(std::unique_ptr<emu::PendingIo> io, bool returnsData);

    emu::Machine& machine_;
    PDRIVER_INITIALIZE entry_;
    std::chrono::milliseconds timeout_;
    std::string capturePath_;
    bool plugged_ = false;      // a device was plugged in this session
    bool everLoaded_ = false;
    Tally tally_;
    bool useLowerFilter_ = false;
    std::unique_ptr<emu::filter::LowerFilter> filter_;  // the current device's, with --lower-filter
    std::vector<std::unique_ptr<emu::PendingIo>> stuck_;  // requests that outlived even their cancel
};

}  // namespace sim
