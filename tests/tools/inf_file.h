// A small reader of INF files for the package tests: sections in order,
// each with its lines (comments and blank lines dropped).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tools_test {

struct InfLine {
    std::string key;    // text before '=', trimmed; empty when the line has no '='
    std::string value;  // text after '=', trimmed; the whole line when it has no '='
};

class InfFile {
public:
    static std::optional<InfFile> Load(const std::string& path);

    bool Has(const std::string& section) const;
    const std::vector<InfLine>& Lines(const std::string& section) const;
    // The value of `key` in `section`, or nullopt.
    std::optional<std::string> Value(const std::string& section, const std::string& key) const;
    std::vector<std::string> Sections() const { return order_; }
    // Every line outside comments, as written.
    const std::vector<std::string>& Text() const { return text_; }

private:
    std::map<std::string, std::vector<InfLine>> sections_;
    std::vector<std::string> order_;
    std::vector<std::string> text_;
};

// Comma-separated fields, each trimmed.
std::vector<std::string> Fields(const std::string& value);

}  // namespace tools_test
