// Events and waits, as the kernel defines them.
#include "tests/support/kernel_test.h"

#include <chrono>

namespace emu::test {
namespace {

class Events : public KernelTest {};

NTSTATUS WaitWithTimeout(PKEVENT event, LONGLONG timeout)
{
    LARGE_INTEGER value;
    value.QuadPart = timeout;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &value);
}

// Set and reset return the previous state, clear clears; a wait consumes
// only a synchronization event's signal.
TEST_F(Events, SetReturnsPreviousStateAndWaitsConsumeOnlySynchronizationEvents)
{
    const struct {
        const char* name;
        EVENT_TYPE type;
        BOOLEAN initial;
        NTSTATUS secondWait;
    } cases[] = {
        {"notification, initially clear", NotificationEvent, FALSE, STATUS_SUCCESS},
        {"notification, initially set", NotificationEvent, TRUE, STATUS_SUCCESS},
        {"synchronization, initially clear", SynchronizationEvent, FALSE, STATUS_TIMEOUT},
        {"synchronization, initially set", SynchronizationEvent, TRUE, STATUS_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KEVENT event;
        KeInitializeEvent(&event, c.type, c.initial);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), c.initial ? 1 : 0);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
        EXPECT_EQ(WaitWithTimeout(&event, 0), STATUS_SUCCESS);
        EXPECT_EQ(WaitWithTimeout(&event, 0), c.secondWait);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(KeResetEvent(&event), 1);
        EXPECT_EQ(KeResetEvent(&event), 0);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        KeClearEvent(&event);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        EXPECT_EQ(WaitWithTimeout(&event, 0), STATUS_TIMEOUT);
    }
}

// A relative timeout lasts its interval; an absolute one in the past is a
// poll.
TEST_F(Events, TimeoutsExpire)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitWithTimeout(&event, -20 * 10000), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(WaitWithTimeout(&event, now.QuadPart - 10000000), STATUS_TIMEOUT);
}

}  // namespace
}  // namespace emu::test
