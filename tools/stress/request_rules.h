// What the driver may answer to each kind of application request, whatever
// the PnP, power and fault events around it, and what it must answer to a
// request made and finished while the device was not started.
#pragma once

#include "emulator/machine.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lives {

enum class RequestKind {
    OpenPipe,       // a name that selects an existing pipe
    OpenBadName,    // a name that selects no pipe
    TransferOnBulk, // read on a bulk IN pipe, write on a bulk OUT pipe
    TransferOther,  // any other read or write: device handle, interrupt pipe, wrong direction
    FetchConfiguration,
    PortReset,
    PipeResetOnPipe,
    PipeResetOnDevice,
    UnknownCode,
};

const char* KindName(RequestKind kind);

// One finished request as the application saw it.
struct Outcome {
    RequestKind kind;
    emu::IoResult result;
    ULONG length = 0;                 // bytes asked to move (reads, writes, output buffer)
    bool wholeWindowNotStarted = false;  // made and finished while the device was not started
};

// Null when the outcome is one the driver may give; otherwise what is wrong.
std::optional<std::string> CheckOutcome(const Outcome& outcome);

// The status by name where the session language knows it, else in hex.
std::string StatusName(NTSTATUS status);

}  // namespace lives
