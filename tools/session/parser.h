// Reads a session: commands separated by new lines or `;`; a command that
// starts with `#` is a comment (up to the next `;` or new line); every error
// is one line "file:line: what is wrong".
#pragma once

#include "tools/session/command.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace session {

// A script: each command's line is its line in the text.
std::optional<std::vector<Command>> ParseScript(std::string_view text, std::string_view source,
                                                std::string* error);

// A -c string: "open \PIPE0; write h1 64". Each command's "line" is its
// position in the string, counted from 1; the source is "-c".
std::optional<std::vector<Command>> ParseCommandString(std::string_view text, std::string* error);

// A script file; an unreadable file is an error naming it.
std::optional<std::vector<Command>> LoadScript(const std::string& path, std::string* error);

// What a whole session cannot mean, found before any of it runs: an expect
// with no command before it has no result to check. False with `error` set.
bool CheckSession(const std::vector<Command>& commands, std::string* error);

// One command from its words (the first being the verb).
std::optional<Command> ParseCommand(const std::vector<std::string_view>& words, std::string* error);

}  // namespace session
