// IRQL per thread and spin locks, with the verifier's rules for both.
#include "kernel/kernel_test_support.h"

#include <thread>

namespace tm350::test {
namespace {

TEST(KernelIrql, EachThreadHasItsOwnLevel) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KernelSpinLocks, AcquireRaisesToDispatchAndReleaseRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
}

TEST(KernelSpinLocks, ExcludeEachOther) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            long value = counter;
            counter = value + 1;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

class KernelIrqlRules : public ::testing::Test {
protected:
    void SetUp() override { TM350_USE_THREADSAFE_DEATH_TESTS(); }
};

TEST_F(KernelIrqlRules, LoweringAboveTheCurrentLevelIsFatal) {
    EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "tm350 verifier: KeLowerIrql to IRQL 2, above the current IRQL 0");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        "KeRaiseIrql to IRQL 1, below the current IRQL 2");
}

TEST_F(KernelIrqlRules, SpinLockMisuseIsFatal) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
        },
        "tm350 verifier: KeReleaseSpinLock: spin lock 0x[0-9a-f]+ is not held");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLock(&lock, &old);
        },
        "is already held by this thread");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            std::thread([&] { KeReleaseSpinLockFromDpcLevel(&lock); }).join();
        },
        "is held by thread [0-9]+, not by this thread");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        "KeAcquireSpinLockAtDpcLevel called at IRQL 0");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeLowerIrql(PASSIVE_LEVEL);
        },
        "KeLowerIrql to IRQL 0 while holding 1 spin lock");
    EXPECT_DEATH(std::thread([] {
                     KIRQL old;
                     KeRaiseIrql(DISPATCH_LEVEL, &old);
                 }).join(),
                 "thread [0-9]+ ended at IRQL 2");
}

}  // namespace
}  // namespace tm350::test
