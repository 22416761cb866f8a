#include "tools/session/printer.h"

#include "tools/session/status_names.h"
#include "tools/session/text.h"

#include <cstdio>

namespace session {
namespace {

constexpr size_t kCommandColumn = 26;
constexpr size_t kStatusColumn = 42;

// Pads to a column counted in characters: UTF-8 continuation bytes take no room.
void PadTo(std::string& line, size_t column)
{
    size_t width = 0;
    for (char c : line)
        width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    line.append(width < column ? column - width : 1, ' ');
}

}  // namespace

Printer::Printer(std::ostream& out, Style style, bool verbose) : out_(out), style_(style), verbose_(verbose) {}

std::string Printer::HumanLine(const Result& result) const
{
    std::string line = Printable(result.cmd);
    if (result.done)
        line += " [" + result.request + " done]";
    PadTo(line, kCommandColumn);
    std::string status = StatusName(result.status) + " (" + StatusHex(result.status) + ")";
    line += status;
    PadTo(line, kCommandColumn + kStatusColumn);
    line += "Information " + std::to_string(result.information);
    if (!result.handle.empty())
        line += "  -> " + result.handle;
    if (!result.request.empty() && !result.done)
        line += "  -> " + result.request;
    if (result.held)
        line += *result.held ? "  held" : "  NOT HELD";
    if (!result.note.empty())
        line += "  " + Printable(result.note);
    return line;
}

std::string Printer::JsonObject(const Result& result)
{
    std::string object = "{\"cmd\":" + JsonString(result.cmd) + ",\"status\":" + JsonString(StatusName(result.status)) +
                         ",\"ntstatus\":" + JsonString(StatusHex(result.status)) +
                         ",\"information\":" + std::to_string(result.information);
    if (!result.handle.empty())
        object += ",\"handle\":" + JsonString(result.handle);
    if (!result.request.empty())
        object += ",\"request\":" + JsonString(result.request);
    if (result.done)
        object += ",\"done\":true";
    if (result.held)
        object += std::string(",\"held\":") + (*result.held ? "true" : "false");
    if (result.hasData)
        object += ",\"data\":" + JsonString(HexBytes(result.data));
    for (const auto& [name, value] : result.figures)
        object += "," + JsonString(name) + ":" + value;
    object += "}";
    return object;
}

void Printer::Print(const Result& result)
{
    if (Json()) {
        out_ << JsonObject(result) << '\n';
        out_.flush();
        return;
    }
    out_ << HumanLine(result) << '\n';
    out_ << result.table;
    if (verbose_ && !result.decoded.empty())
        out_ << result.decoded;
    else if (verbose_ && result.hasData && result.table.empty())
        out_ << HexDump(result.data);
    out_.flush();
}

void Printer::Text(std::string_view line)
{
    if (Json())
        return;
    out_ << line << '\n';
    out_.flush();
}

void Printer::JsonLine(std::string_view object)
{
    if (!Json())
        return;
    out_ << object << '\n';
    out_.flush();
}

std::string JsonString(std::string_view text)
{
    std::string quoted = "\"";
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        size_t length = PrintableSequence(text.substr(i));
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (length) {
            quoted.append(text.substr(i, length));
            i += length;
            continue;
        } else {
            // A control character, or a byte that is not UTF-8: written so
            // that the line stays valid JSON and shows what the byte was.
            auto u = static_cast<unsigned char>(c);
            char escape[8];
            std::snprintf(escape, sizeof escape, u < 0x80 ? "\\u%04x" : "\\\\x%02x", u);
            quoted += escape;
        }
        ++i;
    }
    return quoted + "\"";
}

std::string HexDump(const std::vector<uint8_t>& data)
{
    std::string dump;
    for (size_t offset = 0; offset < data.size(); offset += 16) {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "    %04zx ", offset);
        dump += prefix;
        for (size_t i = offset; i < data.size() && i < offset + 16; ++i)
            dump += " " + HexBytes(&data[i], 1);
        dump += '\n';
    }
    return dump;
}

}  // namespace session
