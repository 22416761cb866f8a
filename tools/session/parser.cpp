#include "tools/session/parser.h"

#include "tools/session/request_names.h"
#include "tools/session/status_names.h"
#include "tools/session/text.h"
#include "tools/session/text_file.h"


namespace session {
namespace {

using Words = std::vector<std::string_view>;

struct VerbEntry {
    std::string_view word;
    Verb verb;
};

constexpr VerbEntry kVerbs[] = {
    {"plug", Verb::Plug},
    {"start", Verb::Start},
    {"query-stop", Verb::QueryStop},
    {"cancel-stop", Verb::CancelStop},
    {"stop", Verb::Stop},
    {"query-remove", Verb::QueryRemove},
    {"cancel-remove", Verb::CancelRemove},
    {"surprise-remove", Verb::SurpriseRemove},
    {"remove", Verb::Remove},
    {"unload", Verb::Unload},
    {"sleep", Verb::Sleep},
    {"resume", Verb::Resume},
    {"wake", Verb::Wake},
    {"system-control", Verb::SystemControl},
    {"fault", Verb::Fault},
    {"lower", Verb::Lower},
    {"open", Verb::Open},
    {"open-interface", Verb::OpenInterface},
    {"close", Verb::Close},
    {"write", Verb::Write},
    {"read", Verb::Read},
    {"write&", Verb::WriteAsync},
    {"read&", Verb::ReadAsync},
    {"ioctl", Verb::Ioctl},
    {"cancel", Verb::Cancel},
    {"loopback", Verb::Loopback},
    {"pipes", Verb::Pipes},
    {"expect", Verb::Expect},
    {"wait", Verb::Wait},
};

struct NamedControl {
    std::string_view word;
    uint32_t code;
};

constexpr NamedControl kControls[] = {
    {"fetch-config", IoctlFetchConfiguration},
    {"port-reset", IoctlPortReset},
    {"pipe-reset", IoctlPipeReset},
};

// The longest configuration descriptor there can be (wTotalLength is 16-bit).
constexpr uint64_t kFetchConfigDefaultLength = 65535;

std::string Quoted(std::string_view word)
{
    return "'" + Printable(word) + "'";
}

bool Fail(std::string* error, std::string what)
{
    *error = std::move(what);
    return false;
}

bool ArgumentCount(const Words& words, size_t least, size_t most, std::string_view usage, std::string* error)
{
    size_t count = words.size() - 1;
    if (count >= least && count <= most)
        return true;
    return Fail(error, Quoted(words[0]) + (count < least ? " is missing arguments" : " has too many arguments") +
                           " (usage: " + std::string(usage) + ")");
}

bool Handle(std::string_view word, int* handle, std::string* error)
{
    std::optional<uint64_t> number;
    if (word.size() > 1 && word[0] == 'h')
        number = ParseNumber(word.substr(1), 1'000'000);
    if (!number || *number == 0 || word[1] == '0')
        return Fail(error, "bad handle " + Quoted(word) + " (handles are h1, h2, ...)");
    *handle = static_cast<int>(*number);
    return true;
}

bool Number(std::string_view word, uint64_t least, uint64_t most, uint64_t* value, std::string* error)
{
    auto number = ParseNumber(word, most);
    if (!number || *number < least)
        return Fail(error, "bad number " + Quoted(word) + " (" + std::to_string(least) + " to " +
                               std::to_string(most) + ")");
    *value = *number;
    return true;
}

bool ParseNoArguments(const Words& words, Command&, std::string* error)
{
    return ArgumentCount(words, 0, 0, std::string(words[0]), error);
}

bool ParseSleep(const Words& words, Command& command, std::string* error)
{
    if (!ArgumentCount(words, 1, 1, "sleep S1..S4", error))
        return false;
    std::string_view state = words[1];
    if (state.size() != 2 || (state[0] != 'S' && state[0] != 's') || state[1] < '1' || state[1] > '4')
        return Fail(error, "bad sleep state " + Quoted(state) + " (S1 to S4)");
    command.sleepState = state[1] - '0';
    return true;
}

bool ParseSystemControl(const Words& words, Command& command, std::string* error)
{
    if (!ArgumentCount(words, 1, 1, "system-control MINOR", error))
        return false;
    auto minor = WmiMinorFromName(words[1]);
    if (!minor)
        return Fail(error, "unknown WMI request " + Quoted(words[1]) + " (QUERY_ALL_DATA, REGINFO_EX, ...)");
    command.wmiMinor = *minor;
    return true;
}

bool ParseOpen(const Words& words, Command& command, std::string* error)
{
    if (!ArgumentCount(words, 0, 1, std::string(words[0]) + " [NAME]", error))
        return false;
    if (words.size() == 2)
        command.name = std::string(words[1]);
    return true;
}

bool ParseHandleOnly(const Words& words, Command& command, std::string* error)
{
    return ArgumentCount(words, 1, 1, std::string(words[0]) + " H", error) &&
           Handle(words[1], &command.handle, error);
}

bool ParseWrite(const Words& words, Command& command, std::string* error)
{
    if (!ArgumentCount(words, 2, 2, std::string(words[0]) + " H N|hex:BYTES", error) ||
        !Handle(words[1], &command.handle, error))
        return false;
    std::string_view data = words[2];
    if (data.substr(0, 4) != "hex:")
        return Number(data, 0, MaxCommandLength, &command.length, error);
    auto bytes = ParseHexBytes(data.substr(4));
    if (!bytes)
        return Fail(error, "bad hex bytes " + Quoted(data) + " (pairs of hex digits)");
    if (bytes->size() > MaxCommandLength)
        return Fail(error, "too many bytes in " + Quoted(words[0]));
    command.hasBytes = true;
    command.bytes = std::move(*bytes);
    command.length = command.bytes.size();
    return true;
}

bool ParseRead(const Words& words, Command& command, std::string* error)
{
    return ArgumentCount(words, 2, 2, std::string(words[0]) + " H N", error) &&
           Handle(words[1], &command.handle, error) &&
           Number(words[2], 0, MaxCommandLength, &command.length, error);
}

bool ParseIoctl(const Words& words, Command& command, std::string* error)
{
    if (!ArgumentCount(words, 2, 3, "ioctl H fetch-config|port-reset|pipe-reset|0xCODE [OUTLEN]", error) ||
        !Handle(words[1], &command.handle, error))
        return false;
    std::string_view control = words[2];
    bool named = false;
    for (const auto& entry : kControls) {
        if (entry.word == control) {
            command.code = entry.code;
            named = true;
        }
    }
    if (!named) {
        auto code = control.substr(0, 2) == "0x" ? ParseNumber(control) : std::nullopt;
        if (!code)
            return Fail(error, "unknown control " + Quoted(control) +
                                   " (fetch-config, port-reset, pipe-reset or 0xCODE)");
        command.code = static_cast<uint32_t>(*code);
    }
    command.length = command.code == IoctlFetchConfiguration ? kFetchConfigDefaultLength : 0;
    if (words.size() == 4)
        return Number(words[3], 0, MaxCommandLength, &command.length, error);
    return true;
}

bool ParseLoopback(const Words& words, Command& command, std::string* error)
{
    if (!ArgumentCount(words, 3, 4, "loopback HOUT HIN TOTAL [CHUNK]", error) ||
        !Handle(words[1], &command.handle, error) || !Handle(words[2], &command.inHandle, error) ||
        !Number(words[3], 1, 1ull << 32, &command.length, error))
        return false;
    command.chunk = 65536;
    if (words.size() == 5)
        return Number(words[4], 1, MaxCommandLength, &command.chunk, error);
    return true;
}

// expect STATUS_NAME [INFORMATION], or expect data hex:BYTES.
bool ParseExpect(const Words& words, Command& command, std::string* error)
{
    constexpr std::string_view kUsage = "expect STATUS_NAME [INFORMATION] | expect data hex:BYTES";
    if (!ArgumentCount(words, 1, 2, kUsage, error))
        return false;
    if (words[1] == "data") {
        if (words.size() != 3 || words[2].substr(0, 4) != "hex:")
            return Fail(error, "'expect data' needs hex:BYTES (usage: " + std::string(kUsage) + ")");
        auto bytes = ParseHexBytes(words[2].substr(4));
        if (!bytes)
            return Fail(error, "bad hex bytes " + Quoted(words[2]) + " (pairs of hex digits)");
        command.expectsData = true;
        command.bytes = std::move(*bytes);
        return true;
    }
    auto status = StatusFromName(words[1]);
    if (!status)
        return Fail(error, "unknown status name " + Quoted(words[1]));
    command.expectsStatus = true;
    command.status = *status;
    if (words.size() == 2)
        return true;
    command.expectsInformation = true;
    return Number(words[2], 0, UINT64_MAX, &command.information, error);
}

bool ParseWait(const Words& words, Command& command, std::string* error)
{
    return ArgumentCount(words, 1, 1, "wait MS", error) &&
           Number(words[1], 0, MaxWaitMilliseconds, &command.milliseconds, error);
}

using ArgumentParser = bool (*)(const Words&, Command&, std::string*);

ArgumentParser ArgumentsOf(Verb verb)
{
    switch (verb) {
    case Verb::Sleep: return ParseSleep;
    case Verb::SystemControl: return ParseSystemControl;
    case Verb::Open:
    case Verb::OpenInterface: return ParseOpen;
    case Verb::Close:
    case Verb::Cancel:
    case Verb::Pipes: return ParseHandleOnly;
    case Verb::Write:
    case Verb::WriteAsync: return ParseWrite;
    case Verb::Read:
    case Verb::ReadAsync: return ParseRead;
    case Verb::Ioctl: return ParseIoctl;
    case Verb::Loopback: return ParseLoopback;
    case Verb::Expect: return ParseExpect;
    case Verb::Wait: return ParseWait;
    case Verb::Fault: return [](const Words& words, Command& command, std::string* error) {
        return ParseFaultCommand(words, &command.fault, error);
    };
    case Verb::Lower: return [](const Words& words, Command& command, std::string* error) {
        return ParseLowerCommand(words, &command.lower, error);
    };
    default: return ParseNoArguments;
    }
}

Words SplitWords(std::string_view text)
{
    Words words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r'))
            ++i;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r')
            ++i;
        if (i > start)
            words.push_back(text.substr(start, i - start));
    }
    return words;
}

// A command whose first word starts with `#` is a comment; it ends where a
// command ends, at `;` or at the end of the line. A `#` anywhere else is an
// ordinary character, so that a one-line session cannot lose the commands
// after it.
bool IsComment(const Words& words)
{
    return !words.empty() && words[0].front() == '#';
}

// Parses one piece of text between separators; an empty piece gives nothing.
bool ParsePiece(std::string_view piece, std::string_view source, int line, std::vector<Command>* commands,
                std::string* error)
{
    Words words = SplitWords(piece);
    if (words.empty() || IsComment(words))
        return true;
    std::string what;
    auto command = ParseCommand(words, &what);
    if (!command) {
        *error = std::string(source) + ":" + std::to_string(line) + ": " + what;
        return false;
    }
    command->source = std::string(source);
    command->line = line;
    commands->push_back(std::move(*command));
    return true;
}

// Calls `piece` for each text between separators (new lines and `;`), with
// its line number; stops at the first false.
template <typename PieceFunction>
bool ForEachPiece(std::string_view text, PieceFunction piece)
{
    int line = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        ++line;
        std::string_view content = text.substr(start, end - start);
        size_t pieceStart = 0;
        while (pieceStart <= content.size()) {
            size_t semicolon = content.find(';', pieceStart);
            if (semicolon == std::string_view::npos)
                semicolon = content.size();
            if (!piece(content.substr(pieceStart, semicolon - pieceStart), line))
                return false;
            pieceStart = semicolon + 1;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

bool CheckSession(const std::vector<Command>& commands, std::string* error)
{
    if (commands.empty() || commands.front().verb != Verb::Expect)
        return true;
    *error = commands.front().Where() + ": 'expect' has no result before it to check";
    return false;
}

std::string_view VerbWord(Verb verb)
{
    for (const auto& entry : kVerbs) {
        if (entry.verb == verb)
            return entry.word;
    }
    return "?";
}

bool IsLifecycleVerb(Verb verb)
{
    return verb <= Verb::Lower;
}

std::optional<Command> ParseCommand(const Words& words, std::string* error)
{
    const VerbEntry* found = nullptr;
    for (const auto& entry : kVerbs) {
        if (entry.word == words[0])
            found = &entry;
    }
    if (!found) {
        *error = "unknown command " + Quoted(words[0]);
        return std::nullopt;
    }
    Command command;
    command.verb = found->verb;
    if (!ArgumentsOf(found->verb)(words, command, error))
        return std::nullopt;
    for (size_t i = 0; i < words.size(); ++i)
        command.text += (i ? " " : "") + std::string(words[i]);
    return command;
}

std::optional<std::vector<Command>> ParseScript(std::string_view text, std::string_view source,
                                                std::string* error)
{
    std::vector<Command> commands;
    bool ok = ForEachPiece(text, [&](std::string_view piece, int line) {
        return ParsePiece(piece, source, line, &commands, error);
    });
    if (!ok)
        return std::nullopt;
    return commands;
}

std::optional<std::vector<Command>> ParseCommandString(std::string_view text, std::string* error)
{
    std::vector<Command> commands;
    int position = 0;
    bool ok = ForEachPiece(text, [&](std::string_view piece, int) {
        Words words = SplitWords(piece);
        if (!words.empty() && !IsComment(words))
            ++position;
        return ParsePiece(piece, "-c", position, &commands, error);
    });
    if (!ok)
        return std::nullopt;
    return commands;
}

std::optional<std::vector<Command>> LoadScript(const std::string& path, std::string* error)
{
    auto text = ReadTextFile(path, "script", error);
    if (!text)
        return std::nullopt;
    return ParseScript(*text, path, error);
}

}  // namespace session
