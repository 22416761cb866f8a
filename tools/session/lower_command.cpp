// The `lower` command's words; see lower_command.h.
#include "tools/session/lower_command.h"

#include "tools/session/request_names.h"
#include "tools/session/status_names.h"

#include <optional>
#include <utility>

namespace session {
namespace {

using Kind = LowerRequest::Kind;

constexpr std::string_view kUsage =
    "lower fail pnp MINOR STATUS_NAME | fail urb FUNCTION STATUS_NAME | hold urb FUNCTION | release | seen | clear";

bool Fail(std::string* error, std::string what)
{
    *error = std::move(what) + " (usage: " + std::string(kUsage) + ")";
    return false;
}

// The PnP minor or URB function `name` names, after `family` ("pnp" or "urb").
std::optional<uint16_t> Code(std::string_view family, std::string_view name)
{
    if (family == "pnp")
        return PnpMinorFromName(name);
    if (family == "urb")
        return UrbFunctionFromName(name);
    return std::nullopt;
}

// "fail pnp MINOR STATUS" and "hold urb FUNCTION".
bool ParseRule(const std::vector<std::string_view>& words, LowerRequest* lower, std::string* error)
{
    const bool fail = words[1] == "fail";
    if (words.size() != (fail ? 5u : 4u) || (!fail && words[2] != "urb"))
        return Fail(error, "'lower " + std::string(words[1]) + "' takes " +
                               (fail ? "pnp MINOR or urb FUNCTION, then a status name" : "urb FUNCTION"));
    auto code = Code(words[2], words[3]);
    if (!code)
        return Fail(error, "unknown " + std::string(words[2] == "pnp" ? "PnP request" : "URB function") + " '" +
                               std::string(words[3]) + "'");
    lower->code = *code;
    lower->kind = !fail ? Kind::HoldUrb : words[2] == "pnp" ? Kind::FailPnp : Kind::FailUrb;
    if (!fail)
        return true;
    auto status = StatusFromName(words[4]);
    if (!status || IsSuccess(*status))
        return Fail(error, "'" + std::string(words[4]) + "' is not a failure status");
    lower->status = *status;
    return true;
}

}  // namespace

bool ParseLowerCommand(const std::vector<std::string_view>& words, LowerRequest* lower, std::string* error)
{
    if (words.size() < 2)
        return Fail(error, "'lower' is missing arguments");
    if (words[1] == "fail" || words[1] == "hold")
        return words.size() < 3 || (words[2] != "pnp" && words[2] != "urb")
                   ? Fail(error, "'lower " + std::string(words[1]) + "' takes pnp or urb")
                   : ParseRule(words, lower, error);
    constexpr std::pair<std::string_view, Kind> kPlain[] = {
        {"release", Kind::Release}, {"seen", Kind::Seen}, {"clear", Kind::Clear}};
    for (const auto& [word, kind] : kPlain) {
        if (words[1] != word)
            continue;
        lower->kind = kind;
        return words.size() == 2 ? true : Fail(error, "'lower " + std::string(word) + "' takes nothing more");
    }
    return Fail(error, "unknown lower command '" + std::string(words[1]) + "'");
}

}  // namespace session
