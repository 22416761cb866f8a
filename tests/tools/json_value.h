// A small JSON reader for the tests of pondrel-sim's output: objects,
// arrays, strings, numbers, booleans and null.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tools_test {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool Has(const std::string& name) const { return kind == Kind::Object && members.count(name); }
    // The member, or a null value when there is none.
    const JsonValue& operator[](const std::string& name) const;
};

// Null when `text` is not one whole JSON value.
std::optional<JsonValue> ParseJson(std::string_view text);

}  // namespace tools_test
