// The kernel-stack budget. Windows gives a thread 24 KB of kernel stack on
// x64, shared by the system-call base, the I/O manager, every dispatch
// routine called through IofCallDriver and every completion routine called
// inside an IofCompleteRequest on that thread; running out is a double-fault
// bugcheck, never an error status. Host threads have megabytes, so the
// emulator estimates what the same nesting would cost on Windows and reports
// it past the budget:
//   - a fixed reserve for the system-call base, the I/O manager and the
//     application's own call (StackReserve, 4 KB);
//   - per driver level (a dispatch routine or a completion routine)
//     StackPerLevel, 0x280 bytes. A send that the bus completes inside
//     IofCallDriver is two levels (the bus's dispatch, the caller's
//     completion routine) and costs, on x64: IofCallDriver 0x40-0x60, a
//     minimal bus dispatch 0x60-0x100, IopfCompleteRequest 0xA0-0x100, and
//     the driver's own frames (measured with -fstack-usage on the Windows
//     build: ReadCompletion 80 bytes with DriveReads 144, CarryOnWrite 96):
//     0x240-0x3B0 for the two levels through a minimal bus, 1.5-3 KB a level
//     through a framework-based bus or filter. A driver cannot tell which
//     bus it sits on; 0x280 a level bounds the nesting at (24 KB - 4 KB) /
//     0x280 = 32 levels, which a minimal bus would hold but one
//     framework-based driver in the stack would not (it overflows from 7-13
//     levels). A driver whose nesting grows with the size of a transfer or
//     the length of a queue reaches the bound on some bus;
//   - the innermost level's own driver frames, measured on the host stack at
//     the kernel calls the driver makes (a recursion inside one routine adds
//     no level but eats the same stack). A debug or sanitizer build's frames
//     are larger than the Windows build's, so this part errs high.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

namespace emu::kernel {
namespace {

constexpr uintptr_t KernelStackBytes = 24 * 1024;
constexpr uintptr_t StackReserve = 4 * 1024;
constexpr uintptr_t StackPerLevel = 0x280;

uintptr_t StackPointer()
{
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

// Bytes the innermost level has used so far on the host stack.
uintptr_t InnermostLevelBytes(const ThreadState& self)
{
    if (self.levelEntries.empty()) {
        return 0;
    }
    const uintptr_t entry = self.levelEntries.back();
    const uintptr_t now = StackPointer();
    return entry > now ? entry - now : 0;
}

// The same, counted only in driver code: 0 in a system driver's (the
// emulated bus is counted per level).
uintptr_t InnermostDriverBytes(const ThreadState& self)
{
    if (self.drivers.empty() || IsSystemDriver(self.drivers.back())) {
        return 0;
    }
    return InnermostLevelBytes(self);
}

void Check(ThreadState& self, const char* routine)
{
    if (self.stackOverflowReported) {
        return;
    }
    const uintptr_t levels = StackReserve + self.levelEntries.size() * StackPerLevel;
    // Every kernel call passes here: whose code runs is asked only when the
    // level's bytes, counted whoever's they are, would not fit.
    if (levels + InnermostLevelBytes(self) <= KernelStackBytes) {
        return;
    }
    const uintptr_t estimate = levels + InnermostDriverBytes(self);
    if (estimate <= KernelStackBytes) {
        return;
    }
    self.stackOverflowReported = true;  // once per overflow: the levels above would repeat it
    verifier::Report("kernel stack overflow", routine,
                     std::to_string(self.levelEntries.size()) + " nested driver levels, about " +
                         std::to_string(estimate) + " bytes of a " + std::to_string(KernelStackBytes) +
                         "-byte kernel stack");
}

}  // namespace

DriverLevel::DriverLevel(const char* routine)
{
    ThreadState& self = CurrentThread();
    Check(self, routine);
    self.levelEntries.push_back(StackPointer());
    Check(self, routine);
}

DriverLevel::~DriverLevel()
{
    ThreadState& self = CurrentThread();
    self.levelEntries.pop_back();
    if (self.levelEntries.empty()) {
        self.stackOverflowReported = false;
    }
}

void CheckStackBudget(const char* routine)
{
    ThreadState& self = CurrentThread();
    if (!self.levelEntries.empty()) {
        Check(self, routine);
    }
}

}  // namespace emu::kernel
