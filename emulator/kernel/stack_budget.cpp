// The kernel-stack budget. Windows gives a thread 24 KB of kernel stack on
// x64, shared by the system-call base, the I/O manager, every dispatch
// routine called through IofCallDriver and every completion routine called
// inside an IofCompleteRequest on that thread; running out is a double-fault
// bugcheck, never an error status. Host threads have megabytes, so the
// emulator estimates what the same nesting would cost on Windows and reports
// it past the budget:
//   - a fixed reserve for the system-call base, the I/O manager and the
//     application's own call (StackReserve, 4 KB);
//   - per driver level (a dispatch routine or a completion routine) the
//     documented costs of one level on x64: IofCallDriver 0x40-0x60 bytes, a
//     minimal bus dispatch 0x60-0x100, IopfCompleteRequest 0xA0-0x100, plus
//     the driver's own frames around the call. StackPerLevel takes 0x280,
//     near the low end, so that the bound errs towards what Windows would
//     survive: (24 KB - 4 KB) / 0x280 = 32 levels. Through a framework-based
//     bus a level costs 1.5-3 KB, so real hardware overflows far earlier;
//   - the innermost level's own driver frames, measured on the host stack at
//     the kernel calls the driver makes (a recursion inside one routine adds
//     no level but eats the same stack).
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

// Bytes the innermost level's driver code has used so far; 0 outside driver
// code or in a system driver's (the emulated bus is counted per level).
uintptr_t InnermostDriverBytes(const ThreadState& self)
{
    if (self.levelEntries.empty() || self.drivers.empty() || IsSystemDriver(self.drivers.back())) {
        return 0;
    }
    const uintptr_t entry = self.levelEntries.back();
    const uintptr_t now = StackPointer();
    return entry > now ? entry - now : 0;
}

void Check(ThreadState& self, const char* routine)
{
    const uintptr_t estimate =
        StackReserve + self.levelEntries.size() * StackPerLevel + InnermostDriverBytes(self);
    if (estimate <= KernelStackBytes || self.stackOverflowReported) {
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
