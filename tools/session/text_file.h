// Reading a file a person wrote (a session script, a device file): the
// reasons it cannot be used are bad input, each one line naming the file.
#pragma once

#include <optional>
#include <string>

namespace session {

// The text of `path`, without the UTF-8 byte order mark some editors put
// first (Windows Notepad does). Null with `error` set ("path: ...") when the
// path is a directory, cannot be read, or holds something that is not text;
// `what` names the file's kind in the message ("script", "device file").
std::optional<std::string> ReadTextFile(const std::string& path, const std::string& what, std::string* error);

}  // namespace session
