// A small reader of INF files for the package tests: the lines outside
// comments (a ';' inside double quotes is no comment), each with its section.
#pragma once

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace tools_test {

struct InfLine {
    std::string section;
    std::string key;    // text before '=', trimmed; empty when the line has no '='
    std::string value;  // text after '=', trimmed; the whole line when it has no '='
};

inline std::string Trim(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"(^[ \t\r]+|[ \t\r]+$)"), "");
}

class InfFile {
public:
    // Null when the file cannot be read.
    static std::optional<InfFile> Load(const std::string& path)
    {
        std::ifstream in(path);
        if (!in)
            return std::nullopt;
        InfFile inf;
        std::string section;
        const std::regex comment(R"(^((?:[^;"]|"[^"]*")*);[\s\S]*$)");
        for (std::string raw; std::getline(in, raw);) {
            const std::string line = Trim(std::regex_replace(raw, comment, "$1"));
            const size_t equals = line.find('=');
            if (line.empty())
                continue;
            inf.text_.push_back(line);
            if (line.front() == '[' && line.back() == ']')
                section = line.substr(1, line.size() - 2);
            else
                inf.lines_.push_back({section, equals == std::string::npos ? "" : Trim(line.substr(0, equals)),
                                      equals == std::string::npos ? line : Trim(line.substr(equals + 1))});
        }
        return inf;
    }

    // Every line outside comments as written (trimmed), headers included.
    const std::vector<std::string>& Text() const { return text_; }
    std::vector<InfLine> Lines(const std::string& section) const
    {
        std::vector<InfLine> lines;
        std::copy_if(lines_.begin(), lines_.end(), std::back_inserter(lines),
                     [&](const InfLine& line) { return line.section == section; });
        return lines;
    }
    std::optional<std::string> Value(const std::string& section, const std::string& key) const
    {
        for (const auto& line : Lines(section)) {
            if (line.key == key)
                return line.value;
        }
        return std::nullopt;
    }

private:
    std::vector<InfLine> lines_;  // section headers left out
    std::vector<std::string> text_;
};

}  // namespace tools_test
