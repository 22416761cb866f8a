// Device files: a descriptor set, endpoint behaviours, the bus speed and
// endpoint faults written as text. The format: docs/device-files.md.
#include "emulator/usb/device_model.h"

#include "emulator/usb/descriptor_walk.h"
#include "emulator/usb/enumeration.h"

#include <cctype>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

namespace emu::usb {
namespace {

struct FaultLine {
    size_t line;
    uint8_t address;
    EndpointFault fault;
};

struct EndpointLine {
    size_t line;
    uint8_t address;
    EndpointRole role;
};

class DeviceFileParser {
public:
    explicit DeviceFileParser(std::string_view fileName) : fileName_(fileName) {}
    std::optional<DeviceModel> Run(std::string_view text, std::string* error);

private:
    enum class Section { None, Device, Config, Bos, Endpoint };

    bool ParseLine(std::string_view line);
    bool AppendHex(std::string_view tokens, std::vector<uint8_t>& bytes);
    bool StartDirective(std::string_view keyword, std::string_view rest);
    bool ParseEndpoint(std::string_view rest);
    bool ParseSpeed(std::string_view rest);
    bool ParseFault(std::string_view rest);
    bool ApplyFaults(const std::map<uint8_t, EndpointInfo>& present);
    bool CheckSpeed(const std::map<uint8_t, EndpointInfo>& present);
    void InferSpeed();
    bool ApplyEndpoints();
    bool ApplyEndpoint(const EndpointLine& entry, const std::map<uint8_t, EndpointInfo>& present);
    bool Fail(size_t line, const std::string& what);

    std::string fileName_;
    size_t line_ = 0;
    Section section_ = Section::None;
    std::optional<std::vector<uint8_t>> device_;
    std::optional<std::vector<uint8_t>> config_;
    size_t deviceLine_ = 0;
    size_t configLine_ = 0;
    std::optional<std::vector<uint8_t>> bos_;
    size_t bosLine_ = 0;
    std::vector<EndpointLine> endpoints_;
    std::vector<FaultLine> faults_;
    size_t speedLine_ = 0;
    DeviceModel model_;
    std::string error_;
};

std::vector<std::string_view> Tokens(std::string_view text)
{
    std::vector<std::string_view> tokens;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        if (i > start) {
            tokens.push_back(text.substr(start, i - start));
        }
    }
    return tokens;
}

std::optional<uint8_t> HexDigit(char c)
{
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
        return std::nullopt;
    }
    if (std::isdigit(static_cast<unsigned char>(c))) {
        return static_cast<uint8_t>(c - '0');
    }
    return static_cast<uint8_t>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
}

bool HasHexPrefix(std::string_view token)
{
    return token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
}

// "0x1" .. "0xff" (one byte) or an even run of digits ("0902" = 09 02).
bool DecodeHexToken(std::string_view token, std::vector<uint8_t>& bytes)
{
    if (HasHexPrefix(token)) {
        token.remove_prefix(2);
        if (token.size() > 2) {
            return false;
        }
        uint8_t value = 0;
        for (char c : token) {
            auto digit = HexDigit(c);
            if (!digit) {
                return false;
            }
            value = static_cast<uint8_t>(value * 16 + *digit);
        }
        bytes.push_back(value);
        return true;
    }
    if (token.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < token.size(); i += 2) {
        auto high = HexDigit(token[i]);
        auto low = HexDigit(token[i + 1]);
        if (!high || !low) {
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(*high * 16 + *low));
    }
    return true;
}

std::optional<uint8_t> ParseAddress(std::string_view token)
{
    std::vector<uint8_t> bytes;
    if (!DecodeHexToken(token, bytes) || bytes.size() != 1) {
        return std::nullopt;
    }
    return bytes[0];
}

std::optional<EndpointBehaviour> ParseBehaviour(std::string_view token)
{
    if (token == "loopback") return EndpointBehaviour::Loopback;
    if (token == "source") return EndpointBehaviour::Source;
    if (token == "sink") return EndpointBehaviour::Sink;
    if (token == "silent") return EndpointBehaviour::Silent;
    return std::nullopt;
}

std::string Hex(uint8_t value)
{
    static const char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[value >> 4] + digits[value & 15];
}

bool IsIn(uint8_t address)
{
    return (address & USB_ENDPOINT_DIRECTION_MASK) != 0;
}

bool DeviceFileParser::Fail(size_t line, const std::string& what)
{
    if (error_.empty()) {
        error_ = fileName_ + ":" + std::to_string(line) + ": " + what;
    }
    return false;
}

bool DeviceFileParser::AppendHex(std::string_view text, std::vector<uint8_t>& bytes)
{
    for (std::string_view token : Tokens(text)) {
        if (!DecodeHexToken(token, bytes)) {
            return Fail(line_, "'" + std::string(token) + "' is not a hex byte");
        }
    }
    return true;
}

bool DeviceFileParser::StartDirective(std::string_view keyword, std::string_view rest)
{
    if (keyword == "device" || keyword == "config") {
        const bool isDevice = keyword == "device";
        auto& block = isDevice ? device_ : config_;
        if (block) {
            return Fail(line_, "a second " + std::string(keyword) + " line (the first is line " +
                                   std::to_string(isDevice ? deviceLine_ : configLine_) + ")");
        }
        block.emplace();
        (isDevice ? deviceLine_ : configLine_) = line_;
        section_ = isDevice ? Section::Device : Section::Config;
        return AppendHex(rest, *block);
    }
    if (keyword == "bos") {
        if (bos_) {
            return Fail(line_, "a second bos line (the first is line " + std::to_string(bosLine_) + ")");
        }
        bos_.emplace();
        bosLine_ = line_;
        section_ = Section::Bos;
        return AppendHex(rest, *bos_);
    }
    if (keyword == "endpoint") {
        section_ = Section::Endpoint;
        return ParseEndpoint(rest);
    }
    if (keyword == "speed" || keyword == "fault") {
        section_ = Section::Endpoint;
        return keyword == "speed" ? ParseSpeed(rest) : ParseFault(rest);
    }
    // `bus-wake none`: the bus reports no wake state (its controller cannot
    // wake the machine), whatever the descriptor's remote-wakeup bit says.
    if (keyword == "bus-wake") {
        if (Tokens(rest) != std::vector<std::string_view>{"none"}) {
            return Fail(line_, "bus-wake takes one word: none");
        }
        model_.power.systemWake = PowerSystemUnspecified;
        model_.power.deviceWake = PowerDeviceUnspecified;
        return true;
    }
    return Fail(line_, "unknown keyword '" + std::string(keyword) + "' (expected device, config, bos, endpoint, speed, bus-wake or fault)");
}

bool DeviceFileParser::ParseEndpoint(std::string_view rest)
{
    auto tokens = Tokens(rest);
    if (tokens.size() < 2) {
        return Fail(line_, "endpoint needs an address and a behaviour (loopback, source, sink or silent)");
    }
    auto address = ParseAddress(tokens[0]);
    if (!address || (*address & 0x70) != 0 || (*address & USB_ENDPOINT_ADDRESS_MASK) == 0) {
        return Fail(line_, "'" + std::string(tokens[0]) + "' is not an endpoint address");
    }
    auto behaviour = ParseBehaviour(tokens[1]);
    if (!behaviour) {
        return Fail(line_, "unknown behaviour '" + std::string(tokens[1]) + "' (loopback, source, sink or silent)");
    }
    EndpointLine entry{line_, *address, EndpointRole{*behaviour, std::nullopt}};
    for (size_t i = 2; i < tokens.size(); ++i) {
        if (tokens[i] == "no-zlp") {
            entry.role.zeroLengthTerminator = false;
        } else if (tokens[i] == "paired" && i + 1 < tokens.size()) {
            entry.role.pairedWith = ParseAddress(tokens[++i]);
            if (!entry.role.pairedWith) {
                return Fail(line_, "'" + std::string(tokens[i]) + "' is not an endpoint address");
            }
        } else {
            return Fail(line_, "unexpected '" + std::string(tokens[i]) + "' (expected paired <address> or no-zlp)");
        }
    }
    endpoints_.push_back(entry);
    return true;
}

// `speed low|full|high|super`, once.
bool DeviceFileParser::ParseSpeed(std::string_view rest)
{
    auto tokens = Tokens(rest);
    if (speedLine_ != 0) {
        return Fail(line_, "a second speed line (the first is line " + std::to_string(speedLine_) + ")");
    }
    for (BusSpeed speed : {BusSpeed::Low, BusSpeed::Full, BusSpeed::High, BusSpeed::Super}) {
        if (tokens.size() == 1 && tokens[0] == BusSpeedName(speed)) {
            model_.speed = speed;
            speedLine_ = line_;
            return true;
        }
    }
    return Fail(line_, "speed needs one of low, full, high or super");
}

// `fault <address> <fault words>`: the words of the session's fault command.
bool DeviceFileParser::ParseFault(std::string_view rest)
{
    auto tokens = Tokens(rest);
    auto address = tokens.empty() ? std::nullopt : ParseAddress(tokens[0]);
    if (address == 0x00) {
        if (tokens.size() != 2 || tokens[1] != "silent") {
            return Fail(line_, "endpoint 0x00 knows one fault: silent");
        }
        model_.defaultPipeSilent = true;
        return true;
    }
    if (!address || (*address & 0x70) != 0 || (*address & USB_ENDPOINT_ADDRESS_MASK) == 0) {
        return Fail(line_, "fault needs an endpoint address first");
    }
    std::string what;
    auto fault = ParseEndpointFault({tokens.begin() + 1, tokens.end()}, &what);
    if (!fault) {
        return Fail(line_, what);
    }
    faults_.push_back({line_, *address, *fault});
    return true;
}

// Fault lines name endpoints of the configuration; they apply in order.
bool DeviceFileParser::ApplyFaults(const std::map<uint8_t, EndpointInfo>& present)
{
    for (const auto& entry : faults_) {
        if (present.find(entry.address) == present.end()) {
            return Fail(entry.line, "endpoint " + Hex(entry.address) + " is not in the configuration descriptor");
        }
        model_.faults.emplace_back(entry.address, entry.fault);
    }
    return true;
}

// A low-speed device has no bulk endpoints (USB 2.0 allows it control and
// interrupt transfers only).
bool DeviceFileParser::CheckSpeed(const std::map<uint8_t, EndpointInfo>& present)
{
    if (model_.speed != BusSpeed::Low) {
        return true;
    }
    for (const auto& [address, endpoint] : present) {
        if (endpoint.Type() == USB_ENDPOINT_TYPE_BULK) {
            return Fail(speedLine_, "a low-speed device cannot have bulk endpoints (" + Hex(address) + " is bulk)");
        }
    }
    return true;
}

// A device that runs at a speed says so in bcdUSB: 2.00 or later for high
// speed, 3.00 or later for SuperSpeed.
bool UsbVersionAllows(const std::vector<uint8_t>& device, BusSpeed speed)
{
    const unsigned bcdUsb = device.size() >= 4 ? static_cast<unsigned>(device[2] | (device[3] << 8)) : 0;
    return speed == BusSpeed::Super ? bcdUsb >= 0x0300 : speed == BusSpeed::High ? bcdUsb >= 0x0200 : true;
}

// Without a speed line the device is on the fastest bus at which the hub
// would enumerate it and the bus configure it, as a device plugged into a
// SuperSpeed port settles at the fastest speed it can; with none, on a
// high-speed bus, where the hub or the bus says what is wrong.
void DeviceFileParser::InferSpeed()
{
    const bool bosValid = BosRejection(*device_, bos_.value_or(std::vector<uint8_t>{})).empty();
    for (BusSpeed speed : {BusSpeed::Super, BusSpeed::High, BusSpeed::Full, BusSpeed::Low}) {
        if (bosValid && UsbVersionAllows(*device_, speed) && HubRejection(*device_, speed).empty() &&
            ConfigurationRejection(*config_, speed).empty()) {
            model_.speed = speed;
            model_.speedNote = "no speed line: " + std::string(BusSpeedName(speed)) +
                               " speed, the fastest its descriptors are valid at";
            return;
        }
    }
    model_.speed = BusSpeed::High;
    model_.speedNote = "no speed line, and no speed its descriptors are valid at: high speed";
}

bool DeviceFileParser::ParseLine(std::string_view line)
{
    line = line.substr(0, line.find('#'));
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    auto tokens = Tokens(line);
    if (tokens.empty()) {
        return true;
    }
    if (std::isspace(static_cast<unsigned char>(line[0]))) {
        if (section_ == Section::Device) return AppendHex(line, *device_);
        if (section_ == Section::Config) return AppendHex(line, *config_);
        if (section_ == Section::Bos) return AppendHex(line, *bos_);
        return Fail(line_, "continuation line without a device, config or bos line before it");
    }
    std::string_view keyword = tokens[0];
    return StartDirective(keyword, line.substr(keyword.data() + keyword.size() - line.data()));
}

// Checks one endpoint line against the endpoints the configuration has and
// records it (and, for loopback, its partner) in the model.
bool DeviceFileParser::ApplyEndpoint(const EndpointLine& entry, const std::map<uint8_t, EndpointInfo>& present)
{
    const uint8_t address = entry.address;
    if (present.find(address) == present.end()) {
        return Fail(entry.line, "endpoint " + Hex(address) + " is not in the configuration descriptor");
    }
    const EndpointBehaviour behaviour = entry.role.behaviour;
    if (behaviour == EndpointBehaviour::Source && !IsIn(address)) {
        return Fail(entry.line, "source needs an IN endpoint, " + Hex(address) + " is OUT");
    }
    if (behaviour == EndpointBehaviour::Sink && IsIn(address)) {
        return Fail(entry.line, "sink needs an OUT endpoint, " + Hex(address) + " is IN");
    }
    if (model_.endpoints.count(address) != 0) {
        return Fail(entry.line, "endpoint " + Hex(address) + " is already described");
    }
    model_.endpoints[address] = entry.role;
    if (behaviour != EndpointBehaviour::Loopback) {
        return true;
    }
    const uint8_t partner = entry.role.pairedWith.value_or(static_cast<uint8_t>(address ^ USB_ENDPOINT_DIRECTION_MASK));
    if (present.find(partner) == present.end() || IsIn(partner) == IsIn(address)) {
        return Fail(entry.line, "loopback partner " + Hex(partner) + " of " + Hex(address) +
                                    " is not an endpoint of the other direction in the configuration descriptor");
    }
    auto existing = model_.endpoints.find(partner);
    if (existing != model_.endpoints.end() &&
        (existing->second.behaviour != EndpointBehaviour::Loopback || existing->second.pairedWith != address)) {
        return Fail(entry.line, "loopback partner " + Hex(partner) + " of " + Hex(address) + " is described otherwise");
    }
    model_.endpoints[address].pairedWith = partner;
    EndpointRole partnerRole = entry.role;
    partnerRole.pairedWith = address;
    model_.endpoints[partner] = partnerRole;
    return true;
}

bool DeviceFileParser::ApplyEndpoints()
{
    std::map<uint8_t, EndpointInfo> present;
    if (auto parsed = ParseConfiguration(config_->data(), config_->size())) {
        for (const auto& interface : parsed->interfaces) {
            for (const auto& endpoint : interface.endpoints) {
                present[endpoint.address] = endpoint;
            }
        }
    }
    if (!CheckSpeed(present) || !ApplyFaults(present)) {
        return false;
    }
    std::set<uint8_t> listed;
    for (const auto& entry : endpoints_) {
        if (!listed.insert(entry.address).second) {
            return Fail(entry.line, "endpoint " + Hex(entry.address) + " is described twice");
        }
    }
    for (const auto& entry : endpoints_) {
        // A partner line that matches what its loopback pair already set is
        // not a second description.
        auto existing = model_.endpoints.find(entry.address);
        if (existing != model_.endpoints.end() && entry.role.behaviour == EndpointBehaviour::Loopback &&
            existing->second.behaviour == EndpointBehaviour::Loopback &&
            (!entry.role.pairedWith || entry.role.pairedWith == existing->second.pairedWith)) {
            continue;
        }
        if (!ApplyEndpoint(entry, present)) {
            return false;
        }
    }
    return true;
}

std::optional<DeviceModel> DeviceFileParser::Run(std::string_view text, std::string* error)
{
    bool ok = true;
    size_t start = 0;
    while (ok && start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++line_;
        ok = ParseLine(text.substr(start, end - start));
        start = end + 1;
    }
    if (ok && !device_) {
        ok = Fail(line_, "no device line");
    }
    if (ok && !config_) {
        ok = Fail(line_, "no config line");
    }
    if (ok && device_->empty()) {
        ok = Fail(deviceLine_, "the device line has no bytes");
    }
    if (ok && config_->empty()) {
        ok = Fail(configLine_, "the config line has no bytes");
    }
    if (ok && speedLine_ == 0) {
        InferSpeed();
    }
    ok = ok && ApplyEndpoints();
    if (!ok) {
        if (error != nullptr) {
            *error = error_;
        }
        return std::nullopt;
    }
    model_.deviceDescriptor = *device_;
    model_.configDescriptor = *config_;
    model_.bosDescriptor = bos_.value_or(std::vector<uint8_t>{});
    return model_;
}

}  // namespace

std::optional<DeviceModel> DeviceModel::Parse(std::string_view text, std::string_view fileName, std::string* error)
{
    return DeviceFileParser(fileName).Run(text, error);
}

std::optional<DeviceModel> DeviceModel::Load(const std::string& path, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error != nullptr) {
            *error = path + ":0: cannot open the file";
        }
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    return Parse(contents.str(), path, error);
}

}  // namespace emu::usb
