// Numbers and hex bytes as a session writes and reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace session {

// A decimal number ("4096") or a hex one ("0x1000"), at most `limit`.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t limit = UINT32_MAX);

// Bytes written as pairs of hex digits ("00ff10"); null on an odd count or
// a character that is not a hex digit.
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text);

// "00ff10": two lower-case hex digits per byte.
std::string HexBytes(const uint8_t* data, size_t length);
inline std::string HexBytes(const std::vector<uint8_t>& data) { return HexBytes(data.data(), data.size()); }

// The counting pattern of `write H N`: byte i is i modulo 256.
std::vector<uint8_t> CountingPattern(size_t length, uint64_t start = 0);

// `value` with `decimals` digits after the point ("12.500").
std::string Fixed(double value, int decimals);

// A size as people read it: "1 byte", "1000 bytes", "4.0 KiB", "1.00 MiB",
// "2.00 GiB".
std::string ReadableSize(uint64_t bytes);

// The path an `open NAME` opens: `base` (\\.\pondrel) for an empty name,
// otherwise base and name joined by one backslash (PIPE1 and \PIPE1 alike).
std::string DevicePath(std::string_view base, std::string_view name);

// `text` as it may be shown on a terminal: valid UTF-8 printable text as
// it is, control characters and bytes that are not UTF-8 as \xNN.
std::string Printable(std::string_view text);

// Where `text` stops being text: "line L: byte 0xNN is not text" for the
// first control character (other than tab, carriage return and new line)
// or byte that is not UTF-8; empty when all of it is text.
std::string FindNonText(std::string_view text);

// The length of the valid UTF-8 sequence at the start of `text` that is
// not a control character, or 0.
size_t PrintableSequence(std::string_view text);

}  // namespace session
