#include "json_value.h"

#include <cstdlib>

namespace tools_test {
namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool Value(JsonValue* value)
    {
        Space();
        if (at_ >= text_.size())
            return false;
        char c = text_[at_];
        if (c == '{')
            return Object(value);
        if (c == '[')
            return Array(value);
        if (c == '"') {
            value->kind = JsonValue::Kind::String;
            return String(&value->text);
        }
        if (Word("true")) {
            value->kind = JsonValue::Kind::Bool;
            value->boolean = true;
            return true;
        }
        if (Word("false")) {
            value->kind = JsonValue::Kind::Bool;
            return true;
        }
        if (Word("null"))
            return true;
        return Number(value);
    }

    bool AtEnd()
    {
        Space();
        return at_ == text_.size();
    }

private:
    void Space()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
            ++at_;
    }

    bool Take(char c)
    {
        Space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
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
        std::string digits;
        while (at_ < text_.size() && std::string_view("+-0123456789.eE").find(text_[at_]) != std::string_view::npos)
            digits.push_back(text_[at_++]);
        if (digits.empty())
            return false;
        char* end = nullptr;
        value->kind = JsonValue::Kind::Number;
        value->number = std::strtod(digits.c_str(), &end);
        return *end == '\0';
    }

    bool String(std::string* out)
    {
        if (!Take('"'))
            return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (at_ >= text_.size())
                return false;
            char escaped = text_[at_++];
            if (escaped == 'u') {
                if (at_ + 4 > text_.size())
                    return false;
                out->push_back(static_cast<char>(std::strtol(std::string(text_.substr(at_, 4)).c_str(), nullptr, 16)));
                at_ += 4;
            } else {
                out->push_back(escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped);
            }
        }
        return Take('"');
    }

    bool Array(JsonValue* value)
    {
        value->kind = JsonValue::Kind::Array;
        Take('[');
        if (Take(']'))
            return true;
        do {
            JsonValue item;
            if (!Value(&item))
                return false;
            value->items.push_back(std::move(item));
        } while (Take(','));
        return Take(']');
    }

    bool Object(JsonValue* value)
    {
        value->kind = JsonValue::Kind::Object;
        Take('{');
        if (Take('}'))
            return true;
        do {
            std::string name;
            Space();
            JsonValue member;
            if (!String(&name) || !Take(':') || !Value(&member))
                return false;
            value->members[name] = std::move(member);
        } while (Take(','));
        return Take('}');
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
