// The session's `fault` command: make an endpoint of the device misbehave.
//
//   fault EP stall [after N] | nak MS | silent | short N | zlp on|off
//         | fail-after N USBD_STATUS_NAME | leave-after N | clear
//
// EP is an endpoint address such as 0x81. The words are those of a device
// file's `fault` lines (docs/device-files.md). Kept apart from the rest of
// the parser so that every backend that can make a device misbehave (the
// emulator, the Windows test bus) reads the same command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace session {

struct FaultRequest {
    enum class Kind { Stall, Nak, Silent, Short, Zlp, FailAfter, LeaveAfter, Clear };
    uint8_t endpoint = 0;
    Kind kind = Kind::Clear;
    uint64_t value = 0;       // Stall: transfers before it; Nak: ms; Short, FailAfter, LeaveAfter: bytes; Zlp: 1 on, 0 off
    uint32_t usbdStatus = 0;  // FailAfter
};

// `words` is the whole command ("fault", "0x81", "stall", ...). On error
// returns false with one line saying what is wrong.
bool ParseFaultCommand(const std::vector<std::string_view>& words, FaultRequest* fault, std::string* error);

// USBD_STATUS_CRC and the other transfer errors, or 0xC...: the value;
// nullopt for anything that is not an error status.
std::optional<uint32_t> UsbdErrorStatus(std::string_view name);

}  // namespace session
