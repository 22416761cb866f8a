// Events and waits, as the kernel defines them.
#include "tests/support/kernel_test.h"

#include <chrono>

namespace emu::test {
namespace {

class Events : public KernelTest {};

LARGE_INTEGER Relative(std::chrono::milliseconds delay)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(delay.count()) * 10000;
    return timeout;
}

NTSTATUS Poll(PKEVENT event)
{
    LARGE_INTEGER zero{};
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero);
}

struct SetCase {
    const char* name;
    EVENT_TYPE type;
    BOOLEAN initial;
    LONG previousOnSet;
    NTSTATUS firstWait;
    NTSTATUS secondWait;  // a notification event stays signalled; a synchronization one resets
};

TEST_F(Events, SetReturnsPreviousStateAndWaitsConsumeOnlySynchronizationEvents)
{
    const SetCase cases[] = {
        {"notification, initially clear", NotificationEvent, FALSE, 0, STATUS_SUCCESS, STATUS_SUCCESS},
        {"notification, initially set", NotificationEvent, TRUE, 1, STATUS_SUCCESS, STATUS_SUCCESS},
        {"synchronization, initially clear", SynchronizationEvent, FALSE, 0, STATUS_SUCCESS, STATUS_TIMEOUT},
        {"synchronization, initially set", SynchronizationEvent, TRUE, 1, STATUS_SUCCESS, STATUS_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KEVENT event;
        KeInitializeEvent(&event, c.type, c.initial);
        EXPECT_EQ(KeReadStateEvent(&event), c.initial ? 1 : 0);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), c.previousOnSet);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
        EXPECT_EQ(Poll(&event), c.firstWait);
        EXPECT_EQ(Poll(&event), c.secondWait);
    }
}

TEST_F(Events, ResetReturnsPreviousStateAndClearClears)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(Events, RelativeTimeoutExpiresAfterItsInterval)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(std::chrono::milliseconds(20));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST_F(Events, AbsoluteTimeoutInThePastIsAPoll)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    past.QuadPart -= 10000000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
}

}  // namespace
}  // namespace emu::test
