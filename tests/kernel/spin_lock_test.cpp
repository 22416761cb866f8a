// Spin locks and IRQL: acquisition raises to DISPATCH_LEVEL and release
// restores the saved level; the lock excludes other threads for real.
#include "tests/support/kernel_test.h"

#include <thread>
#include <vector>

namespace emu::test {
namespace {

class SpinLocks : public KernelTest {};

TEST_F(SpinLocks, AcquireRaisesToDispatchAndReleaseRestores)
{
    const KIRQL starts[] = {PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL};
    for (KIRQL start : starts) {
        SCOPED_TRACE(int(start));
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeRaiseIrql(start, &old);
        KIRQL saved;
        KeAcquireSpinLock(&lock, &saved);
        EXPECT_EQ(saved, start);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeReleaseSpinLock(&lock, saved);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        KeLowerIrql(old);
    }
}

TEST_F(SpinLocks, DpcLevelVariantsLeaveIrqlAlone)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLocks, CancelLockRaisesAndRestores)
{
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLocks, ExcludesOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // guarded by lock only: a data race if the lock fails
    constexpr int Threads = 4;
    constexpr int Rounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < Rounds; ++i) {
                KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
                const long seen = counter;
                counter = seen + 1;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, Threads * Rounds);
}

}  // namespace
}  // namespace emu::test
