// Prints result lines: one line per command for people, or one JSON object
// per line for programs.
#pragma once

#include "tools/session/result.h"

#include <ostream>
#include <string>
#include <string_view>

namespace session {

class Printer {
public:
    enum class Style { Human, Json };

    Printer(std::ostream& out, Style style, bool verbose);

    void Print(const Result& result);
    // A line for people; JSON output leaves it out.
    void Text(std::string_view line);
    // A ready-made JSON object; human output leaves it out.
    void JsonLine(std::string_view object);

    bool Json() const { return style_ == Style::Json; }
    bool Verbose() const { return verbose_; }

    // One result as the printer would write it, without the new line.
    std::string HumanLine(const Result& result) const;
    static std::string JsonObject(const Result& result);

private:
    std::ostream& out_;
    Style style_;
    bool verbose_;
};

// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

// Hex dump lines of `data` ("    0000  00 01 02 ..."), each ending in a new line.
std::string HexDump(const std::vector<uint8_t>& data);

}  // namespace session
