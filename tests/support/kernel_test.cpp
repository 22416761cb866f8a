#include "tests/support/kernel_test.h"

namespace emu::test {

KernelGuard::KernelGuard()
{
    KernelStartup();
}

KernelGuard::~KernelGuard()
{
    KernelShutdown();
}

}  // namespace emu::test
