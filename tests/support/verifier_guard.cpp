// The verifier listener installed for tests, and expected findings.
#include "tests/support/verifier_guard.h"

#include <gtest/gtest.h>

#include <mutex>

namespace emu::test {
namespace {

std::mutex guardMutex;
int installed = 0;                          // nesting depth; guarded by guardMutex
std::vector<std::string> expectedRules;     // active ExpectFinding scopes; guarded
std::vector<verifier::Finding> expectedSeen;  // guarded by guardMutex

void OnFinding(const verifier::Finding& finding)
{
    {
        std::lock_guard lock(guardMutex);
        for (const auto& rule : expectedRules) {
            if (finding.rule.find(rule) != std::string::npos) {
                expectedSeen.push_back(finding);
                return;
            }
        }
    }
    ADD_FAILURE() << "verifier: " << finding.rule << " in " << finding.routine
                  << (finding.detail.empty() ? "" : " (" + finding.detail + ")") << " on emulator thread "
                  << finding.thread;
}

}  // namespace

VerifierGuard::VerifierGuard()
{
    std::lock_guard lock(guardMutex);
    if (installed++ == 0) {
        verifier::SetListener(OnFinding);
    }
}

VerifierGuard::~VerifierGuard()
{
    std::lock_guard lock(guardMutex);
    if (--installed == 0) {
        verifier::SetListener(nullptr);
    }
}

std::vector<verifier::Finding> ExpectFinding(const std::string& rule, const std::function<void()>& action)
{
    VerifierGuard guard;
    size_t firstSeen;
    {
        std::lock_guard lock(guardMutex);
        expectedRules.push_back(rule);
        firstSeen = expectedSeen.size();
    }
    action();
    std::vector<verifier::Finding> seen;
    {
        std::lock_guard lock(guardMutex);
        std::erase(expectedRules, rule);
        for (size_t i = firstSeen; i < expectedSeen.size(); ++i) {
            if (expectedSeen[i].rule.find(rule) != std::string::npos) {
                seen.push_back(expectedSeen[i]);
            }
        }
        if (expectedRules.empty()) {
            expectedSeen.clear();
        }
    }
    if (seen.empty()) {
        ADD_FAILURE() << "expected the verifier to report \"" << rule << "\", and it did not";
    }
    return seen;
}

}  // namespace emu::test
