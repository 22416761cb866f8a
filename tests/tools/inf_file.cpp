#include "inf_file.h"

#include <fstream>

namespace tools_test {
namespace {

std::string Trim(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t\r");
    return begin == std::string::npos ? "" : text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// Drops a comment, leaving a ';' inside double quotes alone.
std::string WithoutComment(const std::string& line)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        quoted ^= line[i] == '"';
        if (line[i] == ';' && !quoted)
            return line.substr(0, i);
    }
    return line;
}

}  // namespace

std::optional<InfFile> InfFile::Load(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    InfFile inf;
    std::string section;
    for (std::string raw; std::getline(in, raw);) {
        const std::string line = Trim(WithoutComment(raw));
        if (line.empty())
            continue;
        inf.text_.push_back(line);
        const size_t equals = line.find('=');
        if (line.front() == '[' && line.back() == ']')
            section = line.substr(1, line.size() - 2);
        else if (equals == std::string::npos)
            inf.lines_.push_back({section, "", line});
        else
            inf.lines_.push_back({section, Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))});
    }
    return inf;
}

std::vector<InfLine> InfFile::Lines(const std::string& section) const
{
    std::vector<InfLine> lines;
    for (const auto& line : lines_) {
        if (line.section == section)
            lines.push_back(line);
    }
    return lines;
}

std::optional<std::string> InfFile::Value(const std::string& section, const std::string& key) const
{
    for (const auto& line : Lines(section)) {
        if (line.key == key)
            return line.value;
    }
    return std::nullopt;
}

std::vector<std::string> Fields(const std::string& value)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t comma = value.find(','); comma != std::string::npos; comma = value.find(',', start)) {
        fields.push_back(Trim(value.substr(start, comma - start)));
        start = comma + 1;
    }
    fields.push_back(Trim(value.substr(start)));
    return fields;
}

}  // namespace tools_test
