#include "tools/session/cli.h"

#include "tools/session/parser.h"
#include "tools/session/printer.h"
#include "tools/session/text.h"

#include <string_view>

namespace session {
namespace {

bool Value(int argc, char** argv, int* index, std::string* value, std::string* error)
{
    if (*index + 1 >= argc) {
        *error = std::string(argv[*index]) + " needs a value";
        return false;
    }
    *value = argv[++*index];
    return true;
}

}  // namespace

bool TakeCommonOption(int argc, char** argv, int* index, CommonOptions* options, std::string* error)
{
    std::string_view option = argv[*index];
    if (option == "--json") {
        options->json = true;
    } else if (option == "-v" || option == "--verbose") {
        options->verbose = true;
    } else if (option == "--script") {
        if (options->hasScript)
            *error = "--script given twice (one session is one file; -c may be repeated)";
        else
            options->hasScript = Value(argc, argv, index, &options->script, error);
    } else if (option == "-c") {
        // Each -c goes on where the one before ended, as one session.
        std::string more;
        if (Value(argc, argv, index, &more, error))
            options->commands += (options->hasCommands ? "\n" : "") + more;
        options->hasCommands = options->hasCommands || error->empty();
    } else if (option == "--timeout") {
        std::string value;
        if (options->hasTimeout) {
            *error = "--timeout given twice";
            return true;
        }
        if (!Value(argc, argv, index, &value, error))
            return true;
        options->hasTimeout = true;
        auto milliseconds = ParseNumber(value, MaxWaitMilliseconds);
        if (!milliseconds || *milliseconds == 0)
            *error = "--timeout takes milliseconds from 1 to " + std::to_string(MaxWaitMilliseconds) + ", not '" +
                     value + "'";
        else
            options->timeoutMs = *milliseconds;
    } else {
        return false;
    }
    return true;
}

bool TakeValueOption(int argc, char** argv, int* index,
                     std::initializer_list<std::pair<std::string_view, std::string*>> named, std::string* error)
{
    for (const auto& [option, value] : named) {
        if (option != argv[*index])
            continue;
        if (*index + 1 >= argc || argv[*index + 1][0] == '\0')
            *error = std::string(option) + " needs a value";
        else if (!value->empty())
            *error = std::string(option) + " given twice";
        else
            *value = argv[++*index];
        return true;
    }
    return false;
}

std::string_view Version()
{
    return PONDREL_VERSION;
}

bool WantsJson(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--json")
            return true;
    }
    return false;
}

int ReportBadInput(std::ostream& err, std::string_view program, bool json, std::string_view message)
{
    if (json)
        err << "{\"error\":{\"program\":" << JsonString(program) << ",\"message\":" << JsonString(message) << "}}\n";
    else
        err << program << ": " << Printable(message) << "\n";
    return ExitBadInput;
}

std::optional<std::vector<Command>> LoadSessionCommands(const CommonOptions& options, std::string* error)
{
    if (options.hasScript && options.hasCommands) {
        *error = "give either --script FILE or -c COMMANDS, not both";
        return std::nullopt;
    }
    if (!options.hasScript && !options.hasCommands) {
        *error = "no session given (--script FILE or -c COMMANDS)";
        return std::nullopt;
    }
    auto commands = options.hasScript ? LoadScript(options.script, error) : ParseCommandString(options.commands, error);
    if (commands && !CheckSession(*commands, error))
        return std::nullopt;
    return commands;
}

}  // namespace session
