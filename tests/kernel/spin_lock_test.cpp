// Spin locks and IRQL: acquisition raises to DISPATCH_LEVEL and release
// restores the saved level; the lock excludes other threads for real.
#include "tests/support/kernel_test.h"

#include <thread>
#include <vector>

namespace emu::test {
namespace {

class SpinLocks : public KernelTest {};

// Every acquire form leaves the thread at DISPATCH_LEVEL and every release
// form back at the level it started from.
TEST_F(SpinLocks, AcquireRaisesToDispatchAndReleaseRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const struct {
        const char* name;
        KIRQL start;
        void (*acquire)(PKSPIN_LOCK, KIRQL*);
        void (*release)(PKSPIN_LOCK, KIRQL);
    } cases[] = {
        {"KeAcquireSpinLock at PASSIVE_LEVEL", PASSIVE_LEVEL, [](PKSPIN_LOCK l, KIRQL* s) { KeAcquireSpinLock(l, s); },
         [](PKSPIN_LOCK l, KIRQL s) { KeReleaseSpinLock(l, s); }},
        {"KeAcquireSpinLock at APC_LEVEL", APC_LEVEL, [](PKSPIN_LOCK l, KIRQL* s) { KeAcquireSpinLock(l, s); },
         [](PKSPIN_LOCK l, KIRQL s) { KeReleaseSpinLock(l, s); }},
        {"at DPC level", DISPATCH_LEVEL, [](PKSPIN_LOCK l, KIRQL*) { KeAcquireSpinLockAtDpcLevel(l); },
         [](PKSPIN_LOCK l, KIRQL) { KeReleaseSpinLockFromDpcLevel(l); }},
        {"the cancel lock", PASSIVE_LEVEL, [](PKSPIN_LOCK, KIRQL* s) { IoAcquireCancelSpinLock(s); },
         [](PKSPIN_LOCK, KIRQL s) { IoReleaseCancelSpinLock(s); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KIRQL old;
        KeRaiseIrql(c.start, &old);
        KIRQL saved = c.start;
        c.acquire(&lock, &saved);
        EXPECT_EQ(saved, c.start);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        c.release(&lock, saved);
        EXPECT_EQ(KeGetCurrentIrql(), c.start);
        KeLowerIrql(old);
    }
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
