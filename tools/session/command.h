// One command of a session, as the parser reads it and the executor runs it.
#pragma once

#include "include/pondrel.h"
#include "tools/session/fault_command.h"
#include "tools/session/lower_command.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace session {

enum class Verb {
    // The device's life (the emulator only), and its faults.
    Plug, Start, QueryStop, CancelStop, Stop, QueryRemove, CancelRemove,
    SurpriseRemove, Remove, Unload, Sleep, Resume, Wake, SystemControl, Fault, Lower,
    // What an application does.
    Open, OpenInterface, Close, Write, Read, WriteAsync, ReadAsync, Ioctl, Cancel, Loopback, Pipes,
    // The session itself.
    Expect, Wait,
};

// The word that names a verb in a session ("query-stop", "write&").
std::string_view VerbWord(Verb verb);

// True for the verbs that drive the device's life (or its faults, or the
// filter under the driver) rather than use it.
bool IsLifecycleVerb(Verb verb);

// The control codes that have names in a session.
constexpr uint32_t IoctlFetchConfiguration = IOCTL_FETCH_CONFIGURATION;
constexpr uint32_t IoctlPortReset = IOCTL_PORT_RESET;
constexpr uint32_t IoctlPipeReset = IOCTL_PIPE_RESET;

// Largest lengths a session accepts: far beyond what the driver takes, so
// that the driver's own refusals can be tested.
constexpr uint64_t MaxCommandLength = 16u * 1024 * 1024;
constexpr uint64_t MaxWaitMilliseconds = 600'000;

struct Command {
    Verb verb = Verb::Plug;
    std::string text;    // the command as written, white space folded
    std::string source;  // the script's file name, or "-c"
    int line = 0;        // the line in the script (for -c: the command's position)

    std::string name;            // open, open-interface: the name behind the device ("\PIPE1"; empty for the device)
    int handle = 0;              // the N of hN: close, write, read, ioctl, cancel, pipes; loopback's OUT handle
    int inHandle = 0;            // loopback: the IN handle
    uint64_t length = 0;         // write/read/loopback: bytes; ioctl: output buffer length
    bool hasBytes = false;       // write: `bytes` given as hex: rather than a length
    std::vector<uint8_t> bytes;  // write hex:BYTES; expect data hex:BYTES
    uint64_t chunk = 0;          // loopback: bytes per write and read
    uint32_t code = 0;           // ioctl: control code
    int sleepState = 0;          // sleep: 1..4 for S1..S4
    uint8_t wmiMinor = 0;        // system-control: the WMI request's minor code
    bool expectsStatus = false;  // expect STATUS_NAME [N]
    uint32_t status = 0;
    bool expectsInformation = false;  // expect STATUS_NAME N
    uint64_t information = 0;
    bool expectsData = false;    // expect data hex:BYTES
    uint64_t milliseconds = 0;   // wait
    FaultRequest fault;             // fault
    LowerRequest lower;             // lower

    // "file:line" for messages about this command.
    std::string Where() const { return source + ":" + std::to_string(line); }
};

}  // namespace session
