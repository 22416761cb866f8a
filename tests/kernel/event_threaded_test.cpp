// Waits that really block: one KeSetEvent releases every waiter of a
// notification event and exactly one waiter of a synchronization event.
#include "tests/support/kernel_test.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace emu::test {
namespace {

class BlockingWaits : public KernelTest {};

// Waits until `count` emulator threads are blocked in a kernel wait.
bool WaitForBlockedThreads(size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string blocked = threads::DescribeBlocked();
        if (static_cast<size_t>(std::count(blocked.begin(), blocked.end(), '\n')) >= count) {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

struct ReleaseCase {
    const char* name;
    EVENT_TYPE type;
    int released;
};

TEST_F(BlockingWaits, OneSetReleasesAllNotificationWaitersAndOneSynchronizationWaiter)
{
    const ReleaseCase cases[] = {{"notification", NotificationEvent, 3}, {"synchronization", SynchronizationEvent, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KEVENT event;
        KeInitializeEvent(&event, c.type, FALSE);
        std::atomic<int> released{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.emplace_back([&] {
                LARGE_INTEGER timeout;
                timeout.QuadPart = -5000000LL;  // 500 ms: the set comes once all three are blocked
                if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
                    released++;
                }
            });
        }
        ASSERT_TRUE(WaitForBlockedThreads(3));
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        for (auto& waiter : waiters) {
            waiter.join();
        }
        EXPECT_EQ(released.load(), c.released);
        EXPECT_EQ(KeReadStateEvent(&event), c.type == NotificationEvent ? 1 : 0);
    }
}

TEST_F(BlockingWaits, BlockedThreadIsDescribedForTheWatchdog)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread waiter([&] {
        threads::SetName("sleeper");
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    });
    ASSERT_TRUE(WaitForBlockedThreads(1));
    const std::string story = threads::DescribeBlocked();
    EXPECT_NE(story.find("'sleeper'"), std::string::npos) << story;
    EXPECT_NE(story.find("KeWaitForSingleObject"), std::string::npos) << story;
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
}

}  // namespace
}  // namespace emu::test
