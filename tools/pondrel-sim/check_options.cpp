#include "tools/pondrel-sim/check_options.h"

#include "emulator/loader/driver_image.h"
#include "tools/pondrel-sim/check_commands.h"
#include "tools/pondrel-sim/device_input.h"
#include "tools/session/cli.h"
#include "tools/session/text.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <unistd.h>

namespace sim {
namespace {

bool Listed(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Single quotes for a shell when the word needs them.
std::string Quoted(const std::string& word)
{
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("-_./=:,+@").find(c) != std::string_view::npos;
    });
    if (plain) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace

CheckCommand FindCheckCommand(const char* name)
{
    const std::string_view command = name;
    if (command == "stress")
        return RunStressCommand;
    if (command == "sweep")
        return RunSweepCommand;
    if (command == "explore")
        return RunExploreCommand;
    return nullptr;
}

const char* const kSharedCheckOptions =
    "  --device FILE    the emulated device, from a device file (default: the built-in device)\n"
    "  --json           one JSON object instead of the table\n"
    "exit status: 0 when nothing was found, 1 on a finding (each with the command that\n"
    "  replays it), 2 on bad input\n";

CheckArguments::CheckArguments(std::vector<std::string> values, std::vector<std::string> flags, std::string help)
    : values_(std::move(values)), flags_(std::move(flags)), help_(std::move(help))
{
    values_.push_back("--device");
    flags_.push_back("--json");
}

bool CheckArguments::Parse(int argc, char** argv, std::string* error)
{
    program_ = argv[0];
    command_ = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        const size_t equals = name.find('=');
        const bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if ((name == "--help" || name == "-h") && !inlineValue) {
            std::cout << help_ << kSharedCheckOptions;
            error->clear();
            return false;
        }
        if (Listed(flags_, name) && !inlineValue) {
            given_[name] = "";
            continue;
        }
        if (!Listed(values_, name)) {
            *error = "unknown argument '" + std::string(argv[i]) + "' (pondrel-sim " + command_ + " --help lists them)";
            return false;
        }
        if (Has(name)) {
            *error = name + " given twice";
            return false;
        }
        if (!inlineValue) {
            if (i + 1 == argc) {
                *error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        given_[name] = value;
    }
    if (Has("--device")) {
        auto loaded = LoadDeviceFile(Value("--device"), error);
        if (!loaded) {
            return false;
        }
        model_ = std::move(*loaded);
    }
    return true;
}

std::string CheckArguments::Value(const std::string& name, const std::string& fallback) const
{
    const auto found = given_.find(name);
    return found == given_.end() ? fallback : found->second;
}

bool CheckArguments::Number(const std::string& name, uint64_t fallback, uint64_t least, uint64_t most,
                            uint64_t* value, std::string* error) const
{
    if (!Has(name)) {
        *value = fallback;
        return true;
    }
    const std::string text = Value(name);
    const auto number = session::ParseNumber(text, most);
    if (!number || *number < least) {
        *error = name + " takes a whole number from " + std::to_string(least) + " to " + std::to_string(most) +
                 ", not '" + session::Printable(text) + "'";
        return false;
    }
    *value = *number;
    return true;
}

std::string CheckArguments::DeviceName() const
{
    return Has("--device") ? Value("--device") : "the built-in device";
}

std::string CheckArguments::Replay(const std::vector<std::string>& extra) const
{
    std::string line = Quoted(program_) + " " + command_;
    for (const std::string& word : extra) {
        line += " " + Quoted(word);
    }
    if (Has("--device")) {
        line += " --device " + Quoted(Value("--device"));
    }
    if (emu::loader::ImageChosen()) {
        line += " --sys " + Quoted(emu::loader::ChosenImagePath());
    }
    return line;
}

ProgressLine::ProgressLine(bool json) : enabled_(!json && isatty(STDOUT_FILENO)) {}

ProgressLine::~ProgressLine()
{
    Clear();
}

void ProgressLine::Show(const std::string& text)
{
    if (enabled_) {
        std::cout << "\r\033[K" << text << std::flush;
        shown_ = true;
    }
}

void ProgressLine::Clear()
{
    if (shown_) {
        std::cout << "\r\033[K" << std::flush;
        shown_ = false;
    }
}

void PrintTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows)
{
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    for (const auto& row : rows) {
        std::string line = " ";
        for (size_t column = 0; column < row.size(); ++column) {
            line += " " + row[column] + std::string(widths[column] - row[column].size() + 1, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << "\n";
    }
}

int CheckBadInput(const char* command, const std::string& error, bool reportJson)
{
    if (error.empty())
        return session::ExitSuccess;
    return session::ReportBadInput(std::cerr, "pondrel-sim", reportJson, std::string(command) + ": " + error);
}

}  // namespace sim
