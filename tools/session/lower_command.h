// The session's `lower` command: program the filter pondrel-sim puts
// between the driver and the device's PDO (--lower-filter), and read what
// went down through it.
//
//   lower fail pnp MINOR STATUS_NAME     completes those PnP requests with the status
//   lower fail urb FUNCTION STATUS_NAME  completes those URBs with the status
//   lower hold urb FUNCTION              keeps those URBs until `lower release`
//   lower release                        passes every held request on (the rules stay)
//   lower seen                           one line per request that went down
//   lower clear                          forgets the rules and the requests seen
//
// MINOR and FUNCTION are the platform's names, with or without their
// IRP_MN_ or URB_FUNCTION_ prefix (QUERY_STOP_DEVICE, BULK_OR_INTERRUPT_TRANSFER).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace session {

struct LowerRequest {
    enum class Kind { FailPnp, FailUrb, HoldUrb, Release, Seen, Clear };
    Kind kind = Kind::Seen;
    uint16_t code = 0;    // the PnP minor code or the URB function
    uint32_t status = 0;  // fail: the failure status the request is completed with
};

// `words` is the whole command ("lower", "fail", ...). On error returns
// false with one line saying what is wrong.
bool ParseLowerCommand(const std::vector<std::string_view>& words, LowerRequest* lower, std::string* error);

}  // namespace session
