// One command of a session, as the parser reads it and the executor runs it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace session {

enum class Verb {
    // The device's life (the emulator only).
    Plug, Start, QueryStop, CancelStop, Stop, QueryRemove, CancelRemove,
    SurpriseRemove, Remove, Unload, Sleep, Resume, Wake, Fault,
    // What an application does.
    Open, OpenInterface, Close, Write, Read, WriteAsync, ReadAsync, Ioctl, Cancel, Loopback,
    // The session itself.
    Expect, Wait,
};

// The word that names a verb in a session ("query-stop", "write&").
std::string_view VerbWord(Verb verb);

// True for the verbs that drive the device's life rather than use it.
bool IsLifecycleVerb(Verb verb);

// The control codes that have names in a session.
constexpr uint32_t IoctlFetchConfiguration = 0x220444;
constexpr uint32_t IoctlPortReset = 0x220448;
constexpr uint32_t IoctlPipeReset = 0x22044C;

// Largest lengths a session accepts: far beyond what the driver takes, so
// that the driver's own refusals can be tested.
constexpr uint64_t MaxCommandLength = 16u * 1024 * 1024;
constexpr uint64_t MaxWaitMilliseconds = 600'000;

// What `fault EP KIND` makes an endpoint do.
enum class FaultKind { Stall, Silent, Clear };

struct Command {
    Verb verb = Verb::Plug;
    std::string text;    // the command as written, white space folded
    std::string source;  // the script's file name, or "-c"
    int line = 0;        // the line in the script (for -c: the command's position)

    std::string name;            // open, open-interface: the name behind the device ("\PIPE1"; empty for the device)
    int handle = 0;              // the N of hN: close, write, read, ioctl, cancel; loopback's OUT handle
    int inHandle = 0;            // loopback: the IN handle
    uint64_t length = 0;         // write/read/loopback: bytes; ioctl: output buffer length
    bool hasBytes = false;       // write: `bytes` given as hex: rather than a length
    std::vector<uint8_t> bytes;  // write hex:BYTES
    uint64_t chunk = 0;          // loopback: bytes per write and read
    uint32_t code = 0;           // ioctl: control code
    int sleepState = 0;          // sleep: 1..4 for S1..S4
    uint32_t status = 0;         // expect
    uint64_t milliseconds = 0;   // wait
    uint8_t endpoint = 0;        // fault: the endpoint address
    FaultKind fault = FaultKind::Stall;  // fault: what the endpoint does

    // "file:line" for messages about this command.
    std::string Where() const { return source + ":" + std::to_string(line); }
};

}  // namespace session
