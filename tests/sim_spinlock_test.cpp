// IRQL and spin locks in the simulated kernel: levels per thread, real exclusion between threads, and the
// misuses a real kernel stops on.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "kernel_test.h"

namespace {

class SpinLock : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        KeInitializeSpinLock(&Lock);
        KeInitializeSpinLock(&SecondLock);
    }

    KSPIN_LOCK Lock;
    KSPIN_LOCK SecondLock;
};

std::string PointerText(const void* Address) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "%p", Address);
    return Text;
}

KSPIN_LOCK CallbackLock;

void AcquireFromCallback(PVOID, ULONG) {
    KeAcquireSpinLockRaiseToDpc(&CallbackLock);
}

TEST_F(SpinLock, ThreadStartsAtPassiveLevel) {
    EXPECT_EQ(PASSIVE_LEVEL, sim::CurrentIrql());
    KIRQL OnNewThread = HIGH_LEVEL;
    std::thread([&OnNewThread] { OnNewThread = sim::CurrentIrql(); }).join();
    EXPECT_EQ(PASSIVE_LEVEL, OnNewThread);
}

TEST_F(SpinLock, AcquireRaisesToDispatchAndReturnsThePreviousLevel) {
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    EXPECT_EQ(PASSIVE_LEVEL, Previous);
    EXPECT_EQ(DISPATCH_LEVEL, sim::CurrentIrql());
    EXPECT_EQ(1u, sim::SpinLocksHeld());
    KeReleaseSpinLock(&Lock, Previous);
}

TEST_F(SpinLock, ReleaseRestoresThePreviousLevel) {
    KeReleaseSpinLock(&Lock, KeAcquireSpinLockRaiseToDpc(&Lock));
    EXPECT_EQ(PASSIVE_LEVEL, sim::CurrentIrql());
    EXPECT_EQ(0u, sim::SpinLocksHeld());
}

TEST_F(SpinLock, NestedAcquireReturnsDispatchLevel) {
    KIRQL Outer = KeAcquireSpinLockRaiseToDpc(&Lock);
    KIRQL Inner = KeAcquireSpinLockRaiseToDpc(&SecondLock);
    EXPECT_EQ(PASSIVE_LEVEL, Outer);
    EXPECT_EQ(DISPATCH_LEVEL, Inner);
    EXPECT_EQ(2u, sim::SpinLocksHeld());

    KeReleaseSpinLock(&SecondLock, Inner);
    EXPECT_EQ(DISPATCH_LEVEL, sim::CurrentIrql());
    EXPECT_EQ(1u, sim::SpinLocksHeld());

    KeReleaseSpinLock(&Lock, Outer);
    EXPECT_EQ(PASSIVE_LEVEL, sim::CurrentIrql());
    EXPECT_EQ(0u, sim::SpinLocksHeld());
}

TEST_F(SpinLock, IrqlBelongsToEachThread) {
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    KIRQL OnOtherThread = HIGH_LEVEL;
    std::thread([&OnOtherThread] { OnOtherThread = sim::CurrentIrql(); }).join();
    EXPECT_EQ(PASSIVE_LEVEL, OnOtherThread);
    KeReleaseSpinLock(&Lock, Previous);
}

TEST_F(SpinLock, ExcludesBetweenThreads) {
    constexpr int Threads = 4;
    constexpr int IncrementsPerThread = 20000;
    unsigned long Counter = 0;
    std::vector<std::thread> Workers;
    for (int Thread = 0; Thread < Threads; Thread++) {
        Workers.emplace_back([this, &Counter] {
            for (int Increment = 0; Increment < IncrementsPerThread; Increment++) {
                KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
                Counter = Counter + 1;
                KeReleaseSpinLock(&Lock, Previous);
            }
        });
    }
    for (std::thread& Worker : Workers) {
        Worker.join();
    }
    EXPECT_EQ(80000u, Counter);
    EXPECT_EQ(0u, sim::SpinLocksHeld());
}

TEST_F(SpinLock, AcquireWaitsForTheOwnerToRelease) {
    std::atomic<bool> OtherHasIt{false};
    std::atomic<bool> OtherReleased{false};
    std::atomic<bool> AcquiredAfterRelease{false};
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    std::thread Other([&] {
        KIRQL OtherPrevious = KeAcquireSpinLockRaiseToDpc(&Lock);
        OtherHasIt = true;
        AcquiredAfterRelease = OtherReleased.load();
        KeReleaseSpinLock(&Lock, OtherPrevious);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(OtherHasIt.load());
    OtherReleased = true;
    KeReleaseSpinLock(&Lock, Previous);
    Other.join();
    EXPECT_TRUE(OtherHasIt.load());
    EXPECT_TRUE(AcquiredAfterRelease.load());
}

TEST_F(SpinLock, ReacquiringALockThisThreadHoldsIsABugCheck) {
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    EXPECT_DEATH(KeAcquireSpinLockRaiseToDpc(&Lock),
                 "\\*\\*\\* STOP 0x0000000F SPIN_LOCK_ALREADY_OWNED KeAcquireSpinLockRaiseToDpc of 0x[0-9a-f]+");
    KeReleaseSpinLock(&Lock, Previous);
}

TEST_F(SpinLock, ReleasingALockNobodyHoldsIsABugCheck) {
    EXPECT_DEATH(KeReleaseSpinLock(&Lock, PASSIVE_LEVEL),
                 "\\*\\*\\* STOP 0x00000010 SPIN_LOCK_NOT_OWNED KeReleaseSpinLock of 0x[0-9a-f]+, which this "
                 "thread does not hold");
}

TEST_F(SpinLock, ReleasingALockAnotherThreadHoldsIsABugCheck) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    std::atomic<bool> Held{false};
    std::atomic<bool> MayRelease{false};
    std::thread Owner([&] {
        KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
        Held = true;
        while (!MayRelease.load()) {
            std::this_thread::yield();
        }
        KeReleaseSpinLock(&Lock, Previous);
    });
    while (!Held.load()) {
        std::this_thread::yield();
    }
    EXPECT_DEATH(KeReleaseSpinLock(&Lock, PASSIVE_LEVEL), "\\*\\*\\* STOP 0x00000010 SPIN_LOCK_NOT_OWNED");
    MayRelease = true;
    Owner.join();
}

TEST_F(SpinLock, ReleasingToAHigherIrqlIsABugCheck) {
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    EXPECT_DEATH(KeReleaseSpinLock(&Lock, HIGH_LEVEL),
                 "\\*\\*\\* STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL KeReleaseSpinLock to IRQL 15 from IRQL 2");
    KeReleaseSpinLock(&Lock, Previous);
}

TEST_F(SpinLock, AcquiringDuringABugCheckIsABugCheck) {
    KeInitializeSpinLock(&CallbackLock);
    KBUGCHECK_CALLBACK_RECORD Record;
    KeInitializeCallbackRecord(&Record);
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, AcquireFromCallback, NULL, 0, (PUCHAR) "test"));
    EXPECT_DEATH(sim::BugCheck(0x3B),
                 "\\*\\*\\* STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL KeAcquireSpinLockRaiseToDpc during bug check");
    KeDeregisterBugCheckCallback(&Record);
}

TEST_F(SpinLock, HeldLockAndRaisedIrqlAreReportedAtTeardown) {
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);

    std::vector<std::string> Problems = sim::TeardownProblems();
    ASSERT_EQ(2u, Problems.size());
    EXPECT_EQ("spin lock " + PointerText(&Lock) + " still held", Problems[0]);
    EXPECT_EQ("IRQL 2 at teardown, not PASSIVE_LEVEL", Problems[1]);

    KeReleaseSpinLock(&Lock, Previous);
    EXPECT_TRUE(sim::TeardownProblems().empty());
}

}  // namespace
