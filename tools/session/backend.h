// What runs a session's commands: the emulator for pondrel-sim, Win32 calls
// for pondrelctl. Every request ends with an NTSTATUS and an Information
// count, as the driver completed it.
#pragma once

#include "tools/session/command.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace session {

using BackendHandle = uint64_t;

struct Outcome {
    Outcome() = default;
    Outcome(uint32_t status, uint64_t information = 0, std::vector<uint8_t> data = {}, std::string note = {})
        : status(status), information(information), data(std::move(data)), note(std::move(note))
    {
    }

    uint32_t status = 0;
    uint64_t information = 0;
    std::vector<uint8_t> data;  // bytes returned (Information of them)
    std::string note;           // a few words for people on what happened
    std::string table;          // lines for people under the result line
    std::vector<std::pair<std::string, std::string>> figures;  // more JSON fields, values already JSON
};

// A request started with write& or read&.
class PendingRequest {
public:
    virtual ~PendingRequest() = default;
    // True once the request has ended; waits at most `timeout`.
    virtual bool Wait(std::chrono::milliseconds timeout) = 0;
    // The outcome, once Wait returned true.
    virtual Outcome Result() = 0;
};

class Backend {
public:
    virtual ~Backend() = default;

    // Whether this backend can run the verb at all (pondrelctl cannot drive
    // the device's life).
    virtual bool Supports(Verb verb) const = 0;

    // `name` is what follows the device's name: "" for the device, "\PIPE1".
    virtual Outcome Open(const std::string& name, BackendHandle* handle) = 0;
    // The same through the link name of the first enabled device interface
    // of class GUID_DEVINTERFACE_PONDREL; STATUS_OBJECT_NAME_NOT_FOUND when
    // there is none.
    virtual Outcome OpenInterface(const std::string& name, BackendHandle* handle) = 0;
    virtual Outcome Close(BackendHandle handle) = 0;
    virtual Outcome Write(BackendHandle handle, const std::vector<uint8_t>& data) = 0;
    virtual Outcome Read(BackendHandle handle, uint32_t length) = 0;
    virtual Outcome Ioctl(BackendHandle handle, uint32_t code, uint32_t outLength) = 0;
    virtual std::unique_ptr<PendingRequest> StartWrite(BackendHandle handle, std::vector<uint8_t> data) = 0;
    virtual std::unique_ptr<PendingRequest> StartRead(BackendHandle handle, uint32_t length) = 0;
    // Cancels every request in flight on the handle.
    virtual Outcome Cancel(BackendHandle handle) = 0;

    // plug ... wake, fault, lower: the device's life, the system's power, the
    // device's faults, the filter under the driver.
    virtual Outcome Lifecycle(const Command& command) = 0;

    // Seconds on the device's bus's own clock, where the backend has one (an
    // emulated bus: throughput is figured on it, so that it does not move
    // with the machine's load); nothing on a real device.
    virtual std::optional<double> BusSeconds() { return std::nullopt; }
};

}  // namespace session
