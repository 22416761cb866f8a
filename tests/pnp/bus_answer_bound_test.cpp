// Bus requests that the device or the bus driver never answers: each is
// cancelled once the bound has passed, waited for until it comes back, and
// ends with STATUS_IO_TIMEOUT. Each case waits the bound out.
#include "tests/pnp/support/driver_fixture.h"
#include "tests/pnp/support/wait_until.h"

#include "emulator/kernel/system.h"
#include "usb/bus_requests.h"
#include "usb/internal_request.h"

#include <thread>

namespace pondrel::test {
namespace {

class BusAnswerBoundTest : public DriverFixture {};

constexpr auto Bound = std::chrono::milliseconds(BusAnswerBound / 10'000);

// A device that never answers on endpoint 0: the start's first descriptor
// read is cancelled after the bound, and the start fails.
TEST_F(BusAnswerBoundTest, StartFailsWhenTheDefaultPipeNeverAnswers)
{
    emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin();
    model.defaultPipeSilent = true;
    LoadWithSpy(model);
    EXPECT_EQ(pnp().Start(), STATUS_IO_TIMEOUT);
    const std::vector<emu::usb::UrbRecord> urbs = device().Urbs();
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(std::pair(urbs[0].function, urbs[0].status), std::pair(USHORT{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE}, STATUS_CANCELLED));
}

// A request the bus driver keeps without a cancel routine: cancelled after
// the bound, then waited for, however long it takes, and STATUS_IO_TIMEOUT
// whatever failure it came back with. (A URB goes the same way: the start's
// descriptor read above.)
TEST_F(BusAnswerBoundTest, UnansweredRequestIsCancelledAndWaitedFor)
{
    BringUp();
    spy().AnswerInternal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, Verdict::HoldIt());
    NTSTATUS result = STATUS_PENDING;
    std::thread sender([&] {
        emu::DriverScope scope(driver());
        result = ResetPortIfDisabled(fdo());
    });
    ASSERT_TRUE(spy().WaitForHeld(1, Patience));
    PIRP held = spy().Held().front();
    std::this_thread::sleep_for(Bound - std::chrono::milliseconds(500));
    EXPECT_FALSE(held->Cancel) << "cancelled before the bound";
    EXPECT_TRUE(WaitUntil([&] { return held->Cancel != FALSE; })) << "never cancelled";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result, STATUS_PENDING) << "returned before the request came back";
    spy().Release(held, Verdict::CompleteWith(STATUS_UNSUCCESSFUL));
    sender.join();
    EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    spy().ForgetAnswers();
}

}  // namespace
}  // namespace pondrel::test
