// IRQL per thread: raising, lowering and the emulator's own scoped level.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <string>

namespace emu {

KIRQL CurrentIrql()
{
    return kernel::CurrentThread().irql;
}

ScopedIrql::ScopedIrql(KIRQL irql) : previous_(CurrentIrql())
{
    kernel::SetIrql(irql);
}

ScopedIrql::~ScopedIrql()
{
    kernel::SetIrql(previous_);
}

namespace kernel {

void CheckIrqlAtMost(KIRQL maximum, const char* routine)
{
    CheckPowerIrpDdi(routine);
    const KIRQL irql = CurrentIrql();
    if (irql > maximum) {
        verifier::Report("IRQL too high for the routine", routine,
                         "IRQL " + std::to_string(irql) + ", allowed up to " + std::to_string(maximum));
    }
}

}  // namespace kernel
}  // namespace emu

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void)
{
    return emu::CurrentIrql();
}

// Any IRQL; the new level must not be below the current one.
KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql)
{
    const KIRQL old = emu::CurrentIrql();
    if (NewIrql < old) {
        emu::verifier::Report("KeRaiseIrql to a lower IRQL", "KeRaiseIrql",
                              std::to_string(old) + " -> " + std::to_string(NewIrql));
    }
    emu::kernel::SetIrql(NewIrql);
    return old;
}

// Any IRQL; the new level must not be above the current one. Dropping
// below APC_LEVEL delivers the thread's pending completion APCs.
void NTAPI KeLowerIrql(KIRQL NewIrql)
{
    const KIRQL old = emu::CurrentIrql();
    if (NewIrql > old) {
        emu::verifier::Report("KeLowerIrql to a higher IRQL", "KeLowerIrql",
                              std::to_string(old) + " -> " + std::to_string(NewIrql));
    }
    emu::kernel::SetIrql(NewIrql);
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void)
{
    return KfRaiseIrql(DISPATCH_LEVEL);
}

}  // extern "C"
