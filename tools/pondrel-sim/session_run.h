// One pondrel-sim session: the demo or a script, in a fresh emulated
// machine, then the teardown and the summary.
#pragma once

#include "tools/session/cli.h"

#include <ostream>
#include <string>

namespace sim {

struct SessionOptions {
    session::CommonOptions common;
    std::string deviceFile;  // --device
    std::string pcapFile;    // --pcap
    std::string traceFile;   // --trace
    bool lowerFilter = false;  // --lower-filter
};

// Returns the exit status: 0 when the session went as expected and the
// verifier found nothing, 1 otherwise, 2 on bad input (one line on `err`).
int RunSession(const SessionOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sim
