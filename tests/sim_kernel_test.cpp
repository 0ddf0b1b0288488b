// The simulated kernel as a whole: booting afresh, stopping the system, and reloading the driver's data.
#include <csignal>

#include "kernel_test.h"

// Stand-ins for driver globals: the macro puts them in the section a fresh load restores.
DRIVER_GLOBAL ULONG ReloadProbeCount = 0x1234ABCD;
DRIVER_GLOBAL CHAR ReloadProbeName[8] = "fresh";
DRIVER_GLOBAL PVOID ReloadProbePointer = NULL;

namespace {

class Kernel : public KernelTest {};

void RecordNothing(PVOID, ULONG) {}

TEST_F(Kernel, CleanKernelHasNoTeardownProblems) {
    EXPECT_TRUE(sim::TeardownProblems().empty());
}

TEST_F(Kernel, ReloadGivesDriverGlobalsTheirLoadTimeValues) {
    ReloadProbeCount = 7;
    ReloadProbeName[0] = 'X';
    ReloadProbePointer = &ReloadProbeCount;

    sim::ReloadDriverData();

    EXPECT_EQ(0x1234ABCDu, ReloadProbeCount);
    EXPECT_STREQ("fresh", (const char*)ReloadProbeName);
    EXPECT_EQ(nullptr, ReloadProbePointer);
}

TEST_F(Kernel, FatalStopPrintsTheStopLineAndAborts) {
    EXPECT_EXIT(sim::FatalStop(0xDEAD, "TEST_STOP with detail"), testing::KilledBySignal(SIGABRT),
                "\\*\\*\\* STOP 0x0000DEAD TEST_STOP with detail\n");
}

TEST_F(Kernel, FastFailIsAKernelSecurityCheckFailure) {
    EXPECT_DEATH(RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY),
                 "\\*\\*\\* STOP 0x00000139 KERNEL_SECURITY_CHECK_FAILURE fast-fail 3");
}

TEST_F(Kernel, InsertingNextToACorruptListEntryIsAFastFail) {
    LIST_ENTRY Head;
    LIST_ENTRY Stray;
    LIST_ENTRY Entry;
    InitializeListHead(&Head);
    InitializeListHead(&Stray);
    Head.Blink = &Stray;
    EXPECT_DEATH(InsertTailList(&Head, &Entry), "\\*\\*\\* STOP 0x00000139 KERNEL_SECURITY_CHECK_FAILURE fast-fail 3");
}

TEST_F(Kernel, ResetBootsAFreshKernel) {
    ExAllocatePoolWithTag(NonPagedPool, 16, HesTolvanePoolTag);
    void* Region = sim::MapRegion(sim::PageSize);
    KBUGCHECK_CALLBACK_RECORD Record;
    KeInitializeCallbackRecord(&Record);
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RecordNothing, NULL, 0, (PUCHAR) "test"));
    sim::BugCheck(0xE2, 1, 2, 3, 4);
    InitSafeBootMode = 1;
    sim::FailAllAllocations(true);
    sim::FailNextBugCheckRegistration();
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    KeAcquireSpinLockRaiseToDpc(&Lock);

    sim::Reset();

    EXPECT_TRUE(sim::OutstandingPool().empty());
    EXPECT_EQ(0u, sim::AllocationCount());
    EXPECT_FALSE(sim::IsDeclared(Region));
    EXPECT_EQ(0u, sim::RegisteredBugCheckCallbacks());
    EXPECT_FALSE(sim::InBugCheck());
    for (ULONG_PTR Value : KiBugCheckData) {
        EXPECT_EQ(0u, Value);
    }
    EXPECT_EQ(0u, InitSafeBootMode);
    EXPECT_EQ(PASSIVE_LEVEL, sim::CurrentIrql());
    EXPECT_EQ(0u, sim::SpinLocksHeld());

    void* Block = ExAllocatePoolWithTag(NonPagedPool, 16, HesTolvanePoolTag);
    EXPECT_NE(nullptr, Block);
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
    KeInitializeCallbackRecord(&Record);
    EXPECT_TRUE(KeRegisterBugCheckCallback(&Record, RecordNothing, NULL, 0, (PUCHAR) "test"));
    KeDeregisterBugCheckCallback(&Record);
}

}  // namespace
