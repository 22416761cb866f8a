// Fuzz target: the session language's parsers (pondrel-sim and pondrelctl
// read scripts and -c strings with them). Parse only: nothing is run. A
// parse either fails with a located message or gives commands that read
// back the same from their own folded text.
#include "fuzz/harness/targets.h"

#include "tools/session/parser.h"

#include <tuple>

namespace pondrel_fuzz {
namespace {

constexpr std::string_view ScriptName = "fuzz.session";

// The fields a command's meaning is made of (not where it was written).
auto Meaning(const session::Command& c)
{
    return std::tie(c.verb, c.name, c.handle, c.inHandle, c.length, c.hasBytes, c.bytes, c.chunk, c.code,
                    c.sleepState, c.status, c.milliseconds);
}

std::string CheckFailure(const std::string& error, std::string_view source)
{
    return error.starts_with(std::string(source) + ":") ? "" : "a parse error does not name its place: '" + error + "'\n";
}

// Each command, parsed again from the text the parser recorded for it,
// must be the same single command.
std::string CheckReadsBack(const std::vector<session::Command>& commands)
{
    for (const session::Command& command : commands) {
        std::string error;
        const auto again = session::ParseCommandString(command.text, &error);
        if (!again || again->size() != 1)
            return "the folded text '" + command.text + "' does not parse back to one command: " + error + "\n";
        if (Meaning(again->front()) != Meaning(command))
            return "the folded text '" + command.text + "' parses back to another command\n";
        // A loopback's total may reach 4 GiB; its chunk is one request.
        const uint64_t longest = command.verb == session::Verb::Loopback ? (1ull << 32) : session::MaxCommandLength;
        if (command.length > longest || command.chunk > session::MaxCommandLength ||
            command.milliseconds > session::MaxWaitMilliseconds) {
            return "'" + command.text + "' was accepted beyond the session's limits\n";
        }
    }
    return {};
}

}  // namespace

std::string CheckSessionScript(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string report;

    std::string error;
    const auto script = session::ParseScript(text, ScriptName, &error);
    report += script ? CheckReadsBack(*script) : CheckFailure(error, ScriptName);

    error.clear();
    const auto inline_ = session::ParseCommandString(text, &error);
    report += inline_ ? CheckReadsBack(*inline_) : CheckFailure(error, "-c");
    if (script.has_value() != inline_.has_value())
        report += "the script and the -c string disagree on whether the text parses\n";
    return report;
}

}  // namespace pondrel_fuzz
