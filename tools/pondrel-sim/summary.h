// The closing summary of a pondrel-sim session.
#pragma once

#include "emulator/kernel/system.h"
#include "tools/session/printer.h"

#include <cstdint>
#include <vector>

namespace sim {

struct Summary {
    uint64_t requests = 0;  // requests the driver's dispatch routines received
    uint64_t pnpRequests = 0;
    uint64_t powerRequests = 0;
    uint64_t ioRequests = 0;
    uint64_t busRequests = 0;
    uint64_t bytesWritten = 0;
    uint64_t bytesRead = 0;
    std::vector<emu::verifier::Finding> findings;
    bool unloaded = false;
    uint64_t poolBlocksLeft = 0;  // of the driver's tag, after unload
    uint64_t poolBytesLeft = 0;
    int expectsHeld = 0;
    int expectsFailed = 0;
    int unexpectedFailures = 0;  // result lines with a failure no expect covered
};

// The pool the driver's tag still holds.
void MeasurePoolLeft(Summary* summary);

// Prints the summary (and each finding) for people, or as JSON lines.
void PrintSummary(const Summary& summary, session::Printer& printer);

// True when nothing in the summary is a failure.
bool SummaryIsClean(const Summary& summary);

}  // namespace sim
