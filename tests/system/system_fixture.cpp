#include "tests/system/system_fixture.h"

namespace system_test {

emu::Machine& SystemTest::Boot(emu::MachineOptions options)
{
    if (machine_) {
        Shutdown();
        CheckFindings();
    }
    BeforeBoot();
    machine_ = std::make_unique<emu::Machine>(std::move(options));
    booted_ = true;
    taken_.clear();
    return *machine_;
}

void SystemTest::Shutdown()
{
    machine_.reset();
}

void SystemTest::TearDown()
{
    Shutdown();
    CheckFindings();
}

void SystemTest::CheckFindings()
{
    if (!booted_) {
        return;
    }
    const auto findings = emu::verifier::Findings();
    for (size_t i = 0; i < findings.size(); ++i) {
        if (taken_.count(i) == 0) {
            ADD_FAILURE() << "verifier: " << findings[i].rule << " in " << findings[i].routine << ": "
                          << findings[i].detail;
            taken_.insert(i);
        }
    }
}

size_t SystemTest::TakeFindings(std::string_view rule)
{
    const auto findings = emu::verifier::Findings();
    size_t count = 0;
    for (size_t i = 0; i < findings.size(); ++i) {
        if (taken_.count(i) == 0 && findings[i].rule.find(rule) != std::string::npos) {
            taken_.insert(i);
            ++count;
        }
    }
    return count;
}

int PipeIndexOf(const std::vector<uint8_t>& config, uint8_t endpoint)
{
    int index = 0;
    bool inFirstInterface = false;
    for (size_t at = 0; at + 1 < config.size() && config[at] != 0; at += config[at]) {
        const uint8_t type = config[at + 1];
        if (type == 4) {
            if (inFirstInterface) {
                return -1;
            }
            inFirstInterface = true;
        } else if (type == 5 && inFirstInterface && at + 2 < config.size()) {
            if (config[at + 2] == endpoint) {
                return index;
            }
            ++index;
        }
    }
    return -1;
}

}  // namespace system_test
