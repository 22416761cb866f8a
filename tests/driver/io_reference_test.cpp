// The I/O reference count and its two events.
#include "tests/pnp/support/driver_fixture.h"

#include <thread>

namespace pondrel::test {
namespace {

class IoReferenceTest : public DriverFixture {};

enum class Op { Acquire, Release };

// A count and the two events' states before and after one step.
struct CountStep {
    const char* name;
    Op op;
    LONG before;
    bool quiesceBefore, finalBefore;
    LONG after;
    bool quiesceAfter, finalAfter;
};

void Force(KEVENT& event, bool signalled)
{
    if (signalled) {
        KeSetEvent(&event, 0, FALSE);
    } else {
        KeClearEvent(&event);
    }
}

// Each step starts from a forced count and event state, so that "touches
// neither event" is seen in both directions.
TEST_F(IoReferenceTest, EventsFollowTheCount)
{
    Load();
    Add();
    DeviceContext* c = context();

    const CountStep steps[] = {
        {"acquire 1 to 2 clears quiesce", Op::Acquire, 1, true, false, 2, false, false},
        {"acquire 2 to 3 leaves set events", Op::Acquire, 2, true, true, 3, true, true},
        {"acquire 2 to 3 leaves clear events", Op::Acquire, 2, false, false, 3, false, false},
        {"release 3 to 2 leaves set events", Op::Release, 3, true, true, 2, true, true},
        {"release 3 to 2 leaves clear events", Op::Release, 3, false, false, 2, false, false},
        {"release 2 to 1 sets quiesce", Op::Release, 2, false, false, 1, true, false},
        {"release 1 to 0 sets final release only", Op::Release, 1, false, false, 0, false, true},
    };
    for (const CountStep& step : steps) {
        SCOPED_TRACE(step.name);
        c->IoRefCount = step.before;
        Force(c->QuiesceEvent, step.quiesceBefore);
        Force(c->FinalReleaseEvent, step.finalBefore);

        const LONG returned = step.op == Op::Acquire ? AcquireIoReference(c) : ReleaseIoReference(c);

        EXPECT_EQ(returned, step.after);
        EXPECT_EQ(c->IoRefCount, step.after);
        EXPECT_EQ(Signalled(c->QuiesceEvent), step.quiesceAfter);
        EXPECT_EQ(Signalled(c->FinalReleaseEvent), step.finalAfter);
    }

    c->IoRefCount = 1;
    Force(c->QuiesceEvent, true);
    Force(c->FinalReleaseEvent, false);
}

// What the thread that gives back the last reference does after it has set
// FinalReleaseEvent: any touch of the context then could land in a device
// object the remover has already deleted.
struct AfterFinalRelease {
    static inline const void* contextStart = nullptr;
    static inline const void* contextEnd = nullptr;
    static inline const void* finalEvent = nullptr;
    static inline std::thread::id releaser;
    static inline bool eventSet = false;
    static inline int touchesAfter = 0;

    static void Install(DeviceContext* c)
    {
        contextStart = c;
        contextEnd = c + 1;
        finalEvent = &c->FinalReleaseEvent;
        releaser = std::this_thread::get_id();
        eventSet = false;
        touchesAfter = 0;
        emu::sched::SetHook(Hook);
    }

    static void Hook(emu::sched::Point, const void* object)
    {
        if (std::this_thread::get_id() != releaser) {
            return;
        }
        if (object == finalEvent) {
            eventSet = true;
            return;
        }
        if (eventSet && object >= contextStart && object < contextEnd) {
            ++touchesAfter;
        }
    }
};

TEST_F(IoReferenceTest, LastReleaseTouchesNothingAfterSettingFinalEvent)
{
    Load();
    Add();
    DeviceContext* c = context();
    AfterFinalRelease::Install(c);
    EXPECT_EQ(ReleaseIoReference(c), 0);
    emu::sched::SetHook(nullptr);

    EXPECT_TRUE(AfterFinalRelease::eventSet);
    EXPECT_EQ(AfterFinalRelease::touchesAfter, 0);

    AcquireIoReference(c);
    Force(c->FinalReleaseEvent, false);
}

}  // namespace
}  // namespace pondrel::test
