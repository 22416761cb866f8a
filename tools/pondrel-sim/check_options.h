// What the stress, sweep and explore commands share: their options'
// parsing, the device they run on, the replay line of a finding, the
// progress line on a terminal and the closing table.
#pragma once

#include "emulator/usb/device_model.h"

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

// The options of one check command: `--name VALUE` or `--name=VALUE`, and
// flags. Every command takes --device FILE and --json.
class CheckArguments {
public:
    // `values` and `flags` name what the command takes besides the shared
    // ones; `help` is what --help prints.
    CheckArguments(std::vector<std::string> values, std::vector<std::string> flags, std::string help);
    // False with `error` set on an unknown option, an option given twice, a
    // missing value or a device file that does not load. False with `error`
    // empty after printing the help when --help (or -h) was asked for.
    bool Parse(int argc, char** argv, std::string* error);

    bool Has(const std::string& name) const { return given_.count(name) != 0; }
    std::string Value(const std::string& name, const std::string& fallback = "") const;
    // A whole number from `least` to `most`; false with `error` set, naming
    // the range, when it is not one.
    bool Number(const std::string& name, uint64_t fallback, uint64_t least, uint64_t most, uint64_t* value,
                std::string* error) const;
    bool json() const { return Has("--json"); }
    const emu::usb::DeviceModel& model() const { return model_; }
    std::string DeviceName() const;
    // "<program> <command> --device FILE" with `extra` after it, quoted for a shell.
    std::string Replay(const std::vector<std::string>& extra) const;

private:
    std::vector<std::string> values_;
    std::vector<std::string> flags_;
    std::string help_;
    std::map<std::string, std::string> given_;
    std::string program_;
    std::string command_;
    emu::usb::DeviceModel model_ = emu::usb::DeviceModel::Builtin();
};

// One line that rewrites itself, on a terminal only (never in JSON mode or
// when the output is a file or pipe).
class ProgressLine {
public:
    explicit ProgressLine(bool json);
    ~ProgressLine();
    void Show(const std::string& text);
    void Clear();

private:
    bool enabled_;
    bool shown_ = false;
};

// A table of left-aligned columns, printed with two spaces between them.
void PrintTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows);

// Prints `error` as the command's bad-input line (as JSON when
// `reportJson`) and returns the exit status; an empty `error` is the help
// that was asked for (exit 0).
int CheckBadInput(const char* command, const std::string& error, bool reportJson);

// The option lines every check command's help ends with.
extern const char* const kSharedCheckOptions;

}  // namespace sim
