// The power manager's rules and the pending rule of a request skipped
// down, each provoked by a driver that breaks it.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

namespace emu::test {
namespace {

class PowerRules : public KernelTest {};

// A driver that marks a request pending and then skips its location hands
// the lower driver a location already marked: flagged when it calls down.
// Copying the location instead is fine.
TEST_F(PowerRules, PendedRequestSkippedDown)
{
    for (const bool skip : {true, false}) {
        SCOPED_TRACE(skip ? "skipped" : "copied");
        TestStack stack(2);
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            if (skip) {
                IoSkipCurrentIrpStackLocation(irp);
            } else {
                IoCopyCurrentIrpStackLocationToNext(irp);
            }
            IoCallDriver(stack.Device(0), irp);
            return STATUS_PENDING;
        });
        const auto send = [&] { EXPECT_EQ(stack.Send(), STATUS_PENDING); };
        if (skip) {
            EXPECT_EQ(ExpectFinding("pended request skipped down", send).size(), 1u);
        } else {
            send();
        }
        EXPECT_EQ(stack.creator.calls, 1);
    }
}

}  // namespace
}  // namespace emu::test
