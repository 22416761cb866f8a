#include "inf_file.h"

#include <fstream>

namespace tools_test {
namespace {

std::string Trim(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// Drops a comment, leaving a ';' inside double quotes alone.
std::string WithoutComment(const std::string& line)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
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
        std::string line = Trim(WithoutComment(raw));
        if (line.empty())
            continue;
        inf.text_.push_back(line);
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            inf.order_.push_back(section);
            inf.sections_[section];
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            inf.sections_[section].push_back({"", line});
        else
            inf.sections_[section].push_back({Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))});
    }
    return inf;
}

bool InfFile::Has(const std::string& section) const
{
    return sections_.count(section) != 0;
}

const std::vector<InfLine>& InfFile::Lines(const std::string& section) const
{
    static const std::vector<InfLine> kNone;
    auto found = sections_.find(section);
    return found == sections_.end() ? kNone : found->second;
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
    while (true) {
        size_t comma = value.find(',', start);
        fields.push_back(Trim(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos)
            return fields;
        start = comma + 1;
    }
}

}  // namespace tools_test
