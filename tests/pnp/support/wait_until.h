// Waiting for a condition another thread brings about, with a deadline that
// fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <thread>

namespace pondrel::test {

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

}  // namespace pondrel::test
