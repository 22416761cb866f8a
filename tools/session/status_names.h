// NTSTATUS values by their platform names, in both directions, for result
// lines and for `expect STATUS_NAME`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace session {

// The platform name of a status ("STATUS_CANCELLED"), or its hex form
// ("0xC0001234") when the table does not know it.
std::string StatusName(uint32_t status);

// "0xC0000120": eight upper-case hex digits.
std::string StatusHex(uint32_t status);

// A status from its platform name, or from a hex number ("0xC0000120").
std::optional<uint32_t> StatusFromName(std::string_view name);

inline bool IsSuccess(uint32_t status) { return static_cast<int32_t>(status) >= 0; }

// The statuses the session itself produces.
constexpr uint32_t StatusSuccess = 0x00000000;
constexpr uint32_t StatusTimeout = 0x00000102;
constexpr uint32_t StatusPending = 0x00000103;
constexpr uint32_t StatusUnsuccessful = 0xC0000001;
constexpr uint32_t StatusNotSupported = 0xC00000BB;
constexpr uint32_t StatusDataError = 0xC000003E;

}  // namespace session
