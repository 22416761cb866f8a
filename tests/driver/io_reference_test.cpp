// The last release of the I/O reference. (Its events' other steps are what
// every drain and removal of tests/pnp and tests/power waits for.)
#include "tests/pnp/support/driver_fixture.h"

#include <thread>
#include <tuple>

namespace pondrel::test {
namespace {

class IoReferenceTest : public DriverFixture {};

// What the thread that gives back the last reference does after it has set
// FinalReleaseEvent: any touch of the context then could land in a device
// object the remover has already deleted.
struct AfterFinalRelease {
    static inline const DeviceContext* context = nullptr;
    static inline std::thread::id releaser;
    static inline bool eventSet = false;
    static inline int touchesAfter = 0;

    static void Hook(emu::sched::Point, const void* object)
    {
        if (std::this_thread::get_id() != releaser) {
            return;
        }
        if (object == &context->FinalReleaseEvent) {
            eventSet = true;
            return;
        }
        if (eventSet && object >= context && object < context + 1) {
            ++touchesAfter;
        }
    }
};

TEST_F(IoReferenceTest, LastReleaseTouchesNothingAfterSettingFinalEvent)
{
    Load();
    Add();
    DeviceContext* c = context();
    AfterFinalRelease::context = c;
    AfterFinalRelease::releaser = std::this_thread::get_id();
    emu::sched::SetHook(AfterFinalRelease::Hook);
    EXPECT_EQ(ReleaseIoReference(c), 0);
    emu::sched::SetHook(nullptr);

    EXPECT_TRUE(AfterFinalRelease::eventSet);
    EXPECT_EQ(AfterFinalRelease::touchesAfter, 0);

    AcquireIoReference(c);
    KeClearEvent(&c->FinalReleaseEvent);
}

// QuiesceEvent is what a drain waits on: it must stop being signalled the
// moment the first request goes in flight (or a drain that starts then
// finds nothing to wait for) and be signalled again only when the last
// request in flight gives its reference back.
TEST_F(IoReferenceTest, QuiesceEventSignalledOnlyWhileNothingIsInFlight)
{
    Load();
    Add();
    DeviceContext* c = context();
    // acquire (+1) or release (-1), the count after it, QuiesceEvent after it
    const std::tuple<int, LONG, bool> steps[] = {
        {+1, 2, false}, {+1, 3, false}, {-1, 2, false}, {-1, 1, true}, {+1, 2, false}};
    for (const auto& [step, count, quiet] : steps) {
        SCOPED_TRACE(testing::Message() << step << " to " << count);
        EXPECT_EQ(step > 0 ? AcquireIoReference(c) : ReleaseIoReference(c), count);
        EXPECT_EQ(KeReadStateEvent(&c->QuiesceEvent) != 0, quiet);
    }
    ReleaseIoReference(c);
}

}  // namespace
}  // namespace pondrel::test
