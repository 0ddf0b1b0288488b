// Bug checks in the simulated kernel: registering callback records, and what a callback sees when the
// system bug-checks.
#include "kernel_test.h"

namespace {

// What the recording callback saw, call by call.
struct Sighting {
    PVOID Buffer;
    ULONG Length;
    KIRQL Irql;
    bool InBugCheck;
    ULONG_PTR Data[5];
};

std::vector<Sighting> Sightings;
bool BugCheckAgainFromCallback;

void RecordingCallback(PVOID Buffer, ULONG Length) {
    Sightings.push_back(Sighting{Buffer, Length, sim::CurrentIrql(), sim::InBugCheck(),
                                 {KiBugCheckData[0], KiBugCheckData[1], KiBugCheckData[2], KiBugCheckData[3],
                                  KiBugCheckData[4]}});
    if (BugCheckAgainFromCallback) {
        BugCheckAgainFromCallback = false;
        sim::BugCheck(0x50, 0xDEAD);
        Sightings.push_back(Sighting{Buffer, Length, sim::CurrentIrql(), sim::InBugCheck(),
                                     {KiBugCheckData[0], 0, 0, 0, 0}});
    }
}

KBUGCHECK_CALLBACK_RECORD SpareRecord;

void RegisterFromCallback(PVOID, ULONG) {
    KeInitializeCallbackRecord(&SpareRecord);
    KeRegisterBugCheckCallback(&SpareRecord, RecordingCallback, NULL, 0, (PUCHAR) "late");
}

class BugCheck : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        Sightings.clear();
        BugCheckAgainFromCallback = false;
        KeInitializeCallbackRecord(&Record);
    }

    KBUGCHECK_CALLBACK_RECORD Record;
    UCHAR Component[5] = "HesT";
    ULONG64 Payload = 0;
};

TEST_F(BugCheck, RegistrationFillsInTheRecordAndMarksItInserted) {
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RecordingCallback, &Payload, 8, Component));

    EXPECT_EQ(&RecordingCallback, Record.CallbackRoutine);
    EXPECT_EQ(&Payload, Record.Buffer);
    EXPECT_EQ(8u, Record.Length);
    EXPECT_EQ(Component, Record.Component);
    EXPECT_EQ(BufferInserted, Record.State);
    EXPECT_EQ(1u, sim::RegisteredBugCheckCallbacks());
}

TEST_F(BugCheck, RecordNotInitialisedAsEmptyIsRefused) {
    Record.State = BufferFinished;
    EXPECT_FALSE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component));
    EXPECT_EQ(0u, sim::RegisteredBugCheckCallbacks());
}

TEST_F(BugCheck, RegisteringTheSameRecordTwiceIsRefused) {
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component));
    EXPECT_FALSE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component));
    EXPECT_EQ(1u, sim::RegisteredBugCheckCallbacks());
}

TEST_F(BugCheck, RegistrationFailsOnceWhenAskedTo) {
    sim::FailNextBugCheckRegistration();
    EXPECT_FALSE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component));
    EXPECT_EQ(BufferEmpty, Record.State);
    EXPECT_EQ(0u, sim::RegisteredBugCheckCallbacks());

    EXPECT_TRUE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component));
    EXPECT_EQ(1u, sim::RegisteredBugCheckCallbacks());
}

TEST_F(BugCheck, DeregistrationEmptiesTheRecord) {
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component));
    EXPECT_TRUE(KeDeregisterBugCheckCallback(&Record));
    EXPECT_EQ(BufferEmpty, Record.State);
    EXPECT_EQ(0u, sim::RegisteredBugCheckCallbacks());
}

TEST_F(BugCheck, DeregisteringARecordNotRegisteredFails) {
    EXPECT_FALSE(KeDeregisterBugCheckCallback(&Record));
}

TEST_F(BugCheck, CallbackRunsAtHighLevelWithItsBufferAndTheBugCheckData) {
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RecordingCallback, &Payload, 8, Component));

    sim::BugCheck(0xD1, 0x10, 0x2, 0x0, 0xFFFFF80012345678);

    ASSERT_EQ(1u, Sightings.size());
    EXPECT_EQ(&Payload, Sightings[0].Buffer);
    EXPECT_EQ(8u, Sightings[0].Length);
    EXPECT_EQ(HIGH_LEVEL, Sightings[0].Irql);
    EXPECT_TRUE(Sightings[0].InBugCheck);
    EXPECT_EQ(0xD1u, Sightings[0].Data[0]);
    EXPECT_EQ(0x10u, Sightings[0].Data[1]);
    EXPECT_EQ(0x2u, Sightings[0].Data[2]);
    EXPECT_EQ(0x0u, Sightings[0].Data[3]);
    EXPECT_EQ(0xFFFFF80012345678u, Sightings[0].Data[4]);
}

TEST_F(BugCheck, SystemLeavesBugCheckModeAtItsFormerIrqlAfterward) {
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component));
    sim::BugCheck(0x7E);
    EXPECT_FALSE(sim::InBugCheck());
    EXPECT_EQ(PASSIVE_LEVEL, sim::CurrentIrql());
    EXPECT_EQ(0x7Eu, KiBugCheckData[0]);
}

TEST_F(BugCheck, BugCheckAtDispatchLevelReturnsToDispatchLevel) {
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    sim::BugCheck(0x7E);
    EXPECT_EQ(DISPATCH_LEVEL, sim::CurrentIrql());
    KeReleaseSpinLock(&Lock, Previous);
}

TEST_F(BugCheck, EveryRegisteredCallbackIsCalled) {
    KBUGCHECK_CALLBACK_RECORD Second;
    KeInitializeCallbackRecord(&Second);
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 1, Component));
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Second, RecordingCallback, NULL, 2, Component));

    sim::BugCheck(0x1E);

    ASSERT_EQ(2u, Sightings.size());
    EXPECT_EQ(1u, Sightings[0].Length);
    EXPECT_EQ(2u, Sightings[1].Length);
}

TEST_F(BugCheck, DeregisteredCallbackIsNotCalled) {
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component));
    ASSERT_TRUE(KeDeregisterBugCheckCallback(&Record));
    sim::BugCheck(0x1E);
    EXPECT_TRUE(Sightings.empty());
}

TEST_F(BugCheck, CallbackMayBugCheckAgain) {
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component));
    BugCheckAgainFromCallback = true;

    sim::BugCheck(0x1E);

    // Outer call, the nested bug check's call, then the outer call again after the nested one returned.
    ASSERT_EQ(3u, Sightings.size());
    EXPECT_EQ(0x1Eu, Sightings[0].Data[0]);
    EXPECT_EQ(0x50u, Sightings[1].Data[0]);
    EXPECT_TRUE(Sightings[1].InBugCheck);
    EXPECT_EQ(0x50u, Sightings[2].Data[0]);
    EXPECT_TRUE(Sightings[2].InBugCheck);
    EXPECT_EQ(HIGH_LEVEL, Sightings[2].Irql);
    EXPECT_FALSE(sim::InBugCheck());
    EXPECT_EQ(PASSIVE_LEVEL, sim::CurrentIrql());
}

TEST_F(BugCheck, RegistrationFromACallbackIsABugCheck) {
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RegisterFromCallback, NULL, 0, Component));
    EXPECT_DEATH(sim::BugCheck(0x1E),
                 "\\*\\*\\* STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL KeRegisterBugCheckCallback at IRQL 15");
}

TEST_F(BugCheck, RegistrationAtDispatchLevelIsABugCheck) {
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    EXPECT_DEATH(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component),
                 "\\*\\*\\* STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL KeRegisterBugCheckCallback at IRQL 2");
    KeReleaseSpinLock(&Lock, Previous);
}

TEST_F(BugCheck, DeregistrationAtDispatchLevelIsABugCheck) {
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, RecordingCallback, NULL, 0, Component));
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    EXPECT_DEATH(KeDeregisterBugCheckCallback(&Record),
                 "\\*\\*\\* STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL KeDeregisterBugCheckCallback at IRQL 2");
    KeReleaseSpinLock(&Lock, Previous);
}

}  // namespace
