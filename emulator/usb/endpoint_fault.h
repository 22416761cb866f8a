// Misbehaviour an endpoint of an emulated device can be told to show, from
// a device file (`fault` lines) or from a session (the `fault` command).
// The words are the same in both places:
//
//   stall [after N]            the (N+1)th transfer from now is stalled (N = 0: the next one,
//                              or the oldest one waiting); the endpoint stays halted until a pipe reset
//   nak MS                     the endpoint answers NAK for MS milliseconds: transfers wait
//   silent                     the endpoint answers NAK until the fault is cleared
//   short N                    every transfer moves at most N bytes and ends there
//   zlp on|off                 a loopback echo that ends with a full packet is (not) followed
//                              by a zero-length packet
//   fail-after N USBD_STATUS   after N more bytes the transfer under way fails with that status
//   leave-after N              after N more bytes the device leaves the bus
//   clear                      every fault above ends (a halt stays until the pipe reset)
#pragma once

#include "emulator/usb/usb_api.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu::usb {

struct EndpointFault {
    enum class Kind { Stall, Nak, Silent, Short, Zlp, FailAfter, LeaveAfter, Clear };
    Kind kind = Kind::Clear;
    uint64_t value = 0;       // Stall: transfers before it; Nak: ms; Short, FailAfter, LeaveAfter: bytes; Zlp: 1 on, 0 off
    USBD_STATUS status = 0;   // FailAfter: what the failed transfer reports
};

// Reads the words after the endpoint address ("stall after 3"); on error
// returns nullopt and says what is wrong in `error`.
std::optional<EndpointFault> ParseEndpointFault(const std::vector<std::string_view>& words, std::string* error);

// USBD_STATUS_STALL_PID and the other error names of usb.h, or a value
// written as 0x...; nullopt for anything else or a status that is not an error.
std::optional<USBD_STATUS> UsbdErrorFromName(std::string_view name);

}  // namespace emu::usb
