#include "json_value.h"

#include <cstdlib>

namespace tools_test {
namespace {

// A recursive-descent reader over `text_`; each routine reads one value or
// token at `at_`, after white space, and says whether it could.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool Value(JsonValue* value)
    {
        Space();
        const char c = at_ < text_.size() ? text_[at_] : '\0';
        if (c == '{' || c == '[')
            return Items(value, c == '{');
        if (c == '"') {
            value->kind = JsonValue::Kind::String;
            return String(&value->text);
        }
        if (Word("true") || Word("false")) {
            value->kind = JsonValue::Kind::Bool;
            value->boolean = text_.substr(at_ - 4, 4) == "true";
            return true;
        }
        return Word("null") || Number(value);
    }

    bool AtEnd()
    {
        Space();
        return at_ == text_.size();
    }

private:
    void Space()
    {
        while (at_ < text_.size() && std::string_view(" \n\r\t").find(text_[at_]) != std::string_view::npos)
            ++at_;
    }

    bool Take(char c)
    {
        Space();
        if (at_ >= text_.size() || text_[at_] != c)
            return false;
        ++at_;
        return true;
    }

    bool Word(std::string_view word)
    {
        if (text_.substr(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }

    bool Number(JsonValue* value)
    {
        const size_t end = text_.find_first_not_of("+-0123456789.eE", at_);
        const std::string digits(text_.substr(at_, end - at_));
        at_ = end == std::string_view::npos ? text_.size() : end;
        char* stop = nullptr;
        value->kind = JsonValue::Kind::Number;
        value->number = std::strtod(digits.c_str(), &stop);
        return !digits.empty() && *stop == '\0';
    }

    bool String(std::string* out)
    {
        if (!Take('"'))
            return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c == '\\' && at_ < text_.size()) {
                c = text_[at_++];
                if (c == 'u' && at_ + 4 <= text_.size()) {
                    c = static_cast<char>(std::strtol(std::string(text_.substr(at_, 4)).c_str(), nullptr, 16));
                    at_ += 4;
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
        ++at_;
        if (Take(close))
            return true;
        do {
            std::string name;
            JsonValue item;
            if (object && !(String(&name) && Take(':')))
                return false;
            if (!Value(&item))
                return false;
            if (object)
                value->members[name] = std::move(item);
            else
                value->items.push_back(std::move(item));
        } while (Take(','));
        return Take(close);
    }

    std::string_view text_;
    size_t at_ = 0;
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
    Reader reader(text);
    JsonValue value;
    if (!reader.Value(&value) || !reader.AtEnd())
        return std::nullopt;
    return value;
}

}  // namespace tools_test
