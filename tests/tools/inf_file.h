// A small reader of INF files for the package tests: the lines outside
// comments, each with its section.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tools_test {

struct InfLine {
    std::string section;
    std::string key;    // text before '=', trimmed; empty when the line has no '='
    std::string value;  // text after '=', trimmed; the whole line when it has no '='
};

class InfFile {
public:
    // Null when the file cannot be read.
    static std::optional<InfFile> Load(const std::string& path);

    // Every line outside comments as written (trimmed), headers included.
    const std::vector<std::string>& Text() const { return text_; }
    std::vector<InfLine> Lines(const std::string& section) const;
    // The value of `key` in `section`, or nullopt.
    std::optional<std::string> Value(const std::string& section, const std::string& key) const;

private:
    std::vector<InfLine> lines_;  // section headers left out
    std::vector<std::string> text_;
};

// Comma-separated fields, each trimmed.
std::vector<std::string> Fields(const std::string& value);

}  // namespace tools_test
