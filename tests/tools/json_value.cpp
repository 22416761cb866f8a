#include "json_value.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace tools_test {
namespace {

// A recursive-descent reader over `text`; each routine reads one value or
// token at `at`, after white space, and says whether it could.
struct Reader {
    std::string text;  // ends in '\0', for strtod
    size_t at = 0;

    char Peek()
    {
        at = std::min(text.find_first_not_of(" \n\r\t", at), text.size());
        return text.c_str()[at];
    }
    bool Take(char c) { return Peek() == c && (++at, true); }
    bool Word(std::string_view word) { return text.compare(at, word.size(), word) == 0 && (at += word.size(), true); }

    bool Value(JsonValue* value)
    {
        const char c = Peek();
        if (c == '{' || c == '[')
            return Items(value, c == '{');
        value->kind = c == '"' ? JsonValue::Kind::String : c == 't' || c == 'f' ? JsonValue::Kind::Bool
                                                                                : JsonValue::Kind::Number;
        if (c == '"')
            return String(&value->text);
        if (Word("true") || Word("false")) {
            value->boolean = c == 't';
            return true;
        }
        if (Word("null")) {
            value->kind = JsonValue::Kind::Null;
            return true;
        }
        if (c != '-' && (c < '0' || c > '9'))
            return false;  // strtod would take inf, nan and hex too
        char* stop = nullptr;
        value->number = std::strtod(text.c_str() + at, &stop);
        const size_t start = std::exchange(at, static_cast<size_t>(stop - text.c_str()));
        return at > start;
    }

    bool String(std::string* out)
    {
        if (!Take('"'))
            return false;
        while (at < text.size() && text[at] != '"') {
            char c = text[at++];
            if (c == '\\' && at < text.size()) {
                c = text[at++];
                if (c == 'u') {
                    c = static_cast<char>(std::strtol(text.substr(at, 4).c_str(), nullptr, 16));
                    at += 4;
                } else {
                    c = c == 'n' ? '\n' : c == 't' ? '\t' : c;
                }
            }
            out->push_back(c);
        }
        return Take('"');
    }

    // An object's members or an array's items, after the opening bracket.
    bool Items(JsonValue* value, bool object)
    {
        value->kind = object ? JsonValue::Kind::Object : JsonValue::Kind::Array;
        const char close = object ? '}' : ']';
        ++at;
        if (Take(close))
            return true;
        do {
            std::string name;
            JsonValue item;
            if ((object && !(String(&name) && Take(':'))) || !Value(&item))
                return false;
            (object ? value->members[name] : value->items.emplace_back()) = std::move(item);
        } while (Take(','));
        return Take(close);
    }
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& name) const
{
    static const JsonValue kNull;
    auto found = members.find(name);
    return found == members.end() ? kNull : found->second;
}

std::optional<JsonValue> ParseJson(std::string_view text)
{
    Reader reader{std::string(text)};
    JsonValue value;
    if (!reader.Value(&value) || reader.Peek() != '\0' || reader.at != reader.text.size())
        return std::nullopt;
    return value;
}

}  // namespace tools_test
