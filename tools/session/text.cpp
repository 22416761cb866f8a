#include "tools/session/text.h"

#include <cstdio>

namespace session {
namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t limit)
{
    uint64_t base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 20)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0 || static_cast<uint64_t>(digit) >= base)
            return std::nullopt;
        if (value > (limit - static_cast<uint64_t>(digit)) / base)
            return std::nullopt;
        value = value * base + static_cast<uint64_t>(digit);
    }
    return value;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
}

std::string HexBytes(const uint8_t* data, size_t length)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(kDigits[data[i] >> 4]);
        text.push_back(kDigits[data[i] & 0xF]);
    }
    return text;
}

std::vector<uint8_t> CountingPattern(size_t length, uint64_t start)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(start + i);
    return bytes;
}

std::string Fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

size_t PrintableSequence(std::string_view text)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    if (lead >= 0x20 && lead < 0x7F)
        return 1;
    size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || text.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    }
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0) || (lead == 0xF0 && byte(1) < 0x90) ||
        (lead == 0xF4 && byte(1) >= 0x90))
        return 0;
    // C1 control characters (U+0080 to U+009F).
    if (lead == 0xC2 && byte(1) < 0xA0)
        return 0;
    return length;
}

std::string FindNonText(std::string_view text)
{
    int line = 1;
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '\n')
            ++line;
        size_t length = c == '\n' || c == '\t' || c == '\r' ? 1 : PrintableSequence(text.substr(i));
        if (length == 0)
            return "line " + std::to_string(line) + ": byte 0x" +
                   HexBytes(reinterpret_cast<const uint8_t*>(text.data() + i), 1) + " is not text";
        i += length;
    }
    return {};
}

std::string Printable(std::string_view text)
{
    std::string shown;
    for (size_t i = 0; i < text.size();) {
        size_t length = PrintableSequence(text.substr(i));
        if (length) {
            shown.append(text.substr(i, length));
            i += length;
            continue;
        }
        shown += "\\x" + HexBytes(reinterpret_cast<const uint8_t*>(text.data() + i), 1);
        ++i;
    }
    return shown;
}

std::string ReadableSize(uint64_t bytes)
{
    constexpr double kKiB = 1024.0, kMiB = kKiB * 1024, kGiB = kMiB * 1024;
    const auto amount = static_cast<double>(bytes);
    if (bytes < 1024)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    if (amount < kMiB)
        return Fixed(amount / kKiB, 1) + " KiB";
    if (amount < kGiB)
        return Fixed(amount / kMiB, 2) + " MiB";
    return Fixed(amount / kGiB, 2) + " GiB";
}

std::string DevicePath(std::string_view base, std::string_view name)
{
    std::string path(base);
    if (name.empty())
        return path;
    if (name.front() != '\\')
        path += '\\';
    return path + std::string(name);
}

}  // namespace session
