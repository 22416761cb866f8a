// The command-line options that pondrel-sim and pondrelctl share, and their
// exit statuses.
#pragma once

#include "tools/session/command.h"

#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace session {

constexpr int ExitSuccess = 0;       // every expect held (and, in the emulator, no finding)
constexpr int ExitFailed = 1;        // an expect did not hold, a check failed, or a finding
constexpr int ExitBadInput = 2;      // the input could not be used; one line says why

struct CommonOptions {
    bool json = false;
    bool verbose = false;
    std::string script;    // --script FILE
    std::string commands;  // -c "cmd; cmd", each -c on a line of its own
    bool hasScript = false;
    bool hasCommands = false;
    bool hasTimeout = false;
    uint64_t timeoutMs = 10000;  // --timeout MS: longest wait for one request
};

// If argv[*index] is a shared option, reads it (and its value, moving
// *index past it) and returns true; `error` is set when its value is bad.
bool TakeCommonOption(int argc, char** argv, int* index, CommonOptions* options, std::string* error);

// If argv[*index] is one of the `named` options, reads its value into the
// string paired with it and returns true; `error` is set when the value is
// missing or the string already holds one (the option was given twice).
bool TakeValueOption(int argc, char** argv, int* index,
                     std::initializer_list<std::pair<std::string_view, std::string*>> named, std::string* error);

// The project's version ("2.0.0"), as the build gives it.
std::string_view Version();

// True when --json is among the arguments, so that bad input met before it
// is read is reported as JSON too.
bool WantsJson(int argc, char** argv);

// Reports bad input on `err`: "program: message" for people (bytes that are
// not text escaped), or {"error":{"program":...,"message":...}} with --json.
// Returns ExitBadInput.
int ReportBadInput(std::ostream& err, std::string_view program, bool json, std::string_view message);

// The session's commands, from --script or -c; null with `error` set when
// they cannot be read, or when both or neither were given.
std::optional<std::vector<Command>> LoadSessionCommands(const CommonOptions& options, std::string* error);

}  // namespace session
