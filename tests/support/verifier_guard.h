// Test-side handling of the emulator's verifier: every finding fails the
// running test unless the test said it expects it (ExpectFinding).
#pragma once

#include "emulator/kernel/system.h"

#include <functional>
#include <string>
#include <vector>

namespace emu::test {

// Installs the failing listener for its lifetime (nests).
class VerifierGuard {
public:
    VerifierGuard();
    ~VerifierGuard();
    VerifierGuard(const VerifierGuard&) = delete;
    VerifierGuard& operator=(const VerifierGuard&) = delete;
};

// Runs `action`, during which findings whose rule contains `rule` are
// expected rather than failures. Fails the test when none was reported.
// Returns the expected findings seen.
std::vector<verifier::Finding> ExpectFinding(const std::string& rule, const std::function<void()>& action);

}  // namespace emu::test
