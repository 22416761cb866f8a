// The event a driver gives IoBuildDeviceIoControlRequest is the I/O
// manager's to signal, and a driver waits on it with a timeout.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <chrono>
#include <thread>

namespace emu::test {
namespace {

class BuiltRequestRules : public KernelTest {};

// While the request is held below: signalling its event, or waiting on it
// without a timeout (here until a lower driver completes it), is a finding.
TEST_F(BuiltRequestRules, EventOfAnOutstandingRequestIsTheIoManagers)
{
    for (const bool signal : {true, false}) {
        TestStack stack(1);
        PIRP held = nullptr;
        stack.OnDispatch(0, HoldPending(&held));
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack.Top(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        ASSERT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
        std::thread completer;
        ExpectFinding(signal ? "KeSetEvent on the event of a request built by IoBuildDeviceIoControlRequest"
                             : "wait without a timeout on the event of a request built by IoBuildDeviceIoControlRequest",
                      [&] {
                          if (signal) {
                              KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
                              return;
                          }
                          completer = std::thread([&] {
                              std::this_thread::sleep_for(std::chrono::milliseconds(20));
                              CompleteWith(held, STATUS_SUCCESS);
                          });
                          KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
                      });
        if (signal) {
            CompleteWith(held, STATUS_SUCCESS);
        } else {
            completer.join();
        }
    }
}

}  // namespace
}  // namespace emu::test
