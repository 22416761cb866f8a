#include "tools/session/text_file.h"

#include "tools/session/text.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

namespace session {

std::optional<std::string> ReadTextFile(const std::string& path, const std::string& what, std::string* error)
{
    std::error_code ignored;
    // A directory opens as a stream on Linux and reads as nothing.
    if (std::filesystem::is_directory(path, ignored)) {
        *error = path + ": is a directory, not a " + what;
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot read the " + what + " (" + std::strerror(errno) + ")";
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) {
        *error = path + ": cannot read the " + what;
        return std::nullopt;
    }
    std::string text = std::move(contents).str();
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (std::string_view(text).substr(0, kByteOrderMark.size()) == kByteOrderMark)
        text.erase(0, kByteOrderMark.size());
    if (std::string where = FindNonText(text); !where.empty()) {
        *error = path + ": not a " + what + " (" + where + ")";
        return std::nullopt;
    }
    return text;
}

}  // namespace session
