// Bus requests that the device or the bus driver never answers: each is
// cancelled once the bound has passed, waited for until it comes back, and
// ends with STATUS_IO_TIMEOUT. Each case waits the bound out.
#include "tests/pnp/support/driver_fixture.h"

#include "emulator/kernel/system.h"
#include "usb/bus_requests.h"
#include "usb/internal_request.h"

#include <thread>

namespace pondrel::test {
namespace {

constexpr auto Bound = std::chrono::milliseconds(BusAnswerBound / 10'000);

// Polls without spinning: the wait is seconds long on a shared machine.
template <typename Condition>
bool PollUntil(Condition condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class BusAnswerBoundTest : public DriverFixture {};

// A device whose endpoint 0 never answers (a device file's `fault 0x00
// silent`): the start's first descriptor read is cancelled after the bound
// and the start fails; nothing else is asked of the device.
TEST_F(BusAnswerBoundTest, StartFailsWhenTheDefaultPipeNeverAnswers)
{
    emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin();
    model.defaultPipeSilent = true;
    LoadWithSpy(model);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(pnp().Start(), STATUS_IO_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - began, Bound);
    const std::vector<emu::usb::UrbRecord> urbs = device().Urbs();
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(urbs[0].status, STATUS_CANCELLED);
}

// A request the bus driver keeps and does not cancel: the driver cancels it
// after the bound and then waits, however long it takes, for it to come
// back; the status is STATUS_IO_TIMEOUT whatever the request came back with,
// unless it succeeded.
TEST_F(BusAnswerBoundTest, UnansweredRequestIsCancelledAndWaitedFor)
{
    const struct {
        const char* name;
        ULONG code;
        USHORT urbFunction;  // 0: not a URB
        NTSTATUS comesBackWith;
        std::function<NTSTATUS(PDEVICE_OBJECT)> send;
    } cases[] = {
        {"pipe reset", IOCTL_INTERNAL_USB_SUBMIT_URB, URB_FUNCTION_RESET_PIPE, STATUS_CANCELLED,
         [this](PDEVICE_OBJECT fdo) { return SendPipeReset(fdo, &context()->InterfaceInfo->Pipes[1]); }},
        {"port status", IOCTL_INTERNAL_USB_GET_PORT_STATUS, 0, STATUS_UNSUCCESSFUL,
         [](PDEVICE_OBJECT fdo) { return ResetPortIfDisabled(fdo); }},
    };
    BringUp();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spy().ForgetAnswers();
        if (c.urbFunction != 0) {
            spy().HoldUrbs(c.urbFunction);
        } else {
            spy().AnswerInternal(c.code, Verdict::HoldIt());
        }
        NTSTATUS result = STATUS_PENDING;
        std::thread sender([&] {
            emu::DriverScope scope(driver());
            result = c.send(fdo());
        });
        ASSERT_TRUE(spy().WaitForHeld(1, Patience));
        PIRP held = spy().Held().front();
        const auto began = std::chrono::steady_clock::now();
        const bool cancelled = PollUntil([&] { return held->Cancel != FALSE; }, Bound + Patience);
        EXPECT_TRUE(cancelled) << "never cancelled";
        EXPECT_GE(std::chrono::steady_clock::now() - began + std::chrono::milliseconds(200), Bound);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(result, STATUS_PENDING) << "returned before the request came back";
        spy().Release(held, Verdict::CompleteWith(c.comesBackWith));
        sender.join();
        EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    }
    spy().ForgetAnswers();
}

}  // namespace
}  // namespace pondrel::test
