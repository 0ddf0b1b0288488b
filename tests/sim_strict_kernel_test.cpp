// Where the simulated kernel is as strict as the real one: page faults at raised IRQL, pageable memory,
// the driver's discarded INIT section and registrations a driver leaves behind when its image goes.
#include <thread>

#include "kernel_test.h"
#include "sim_driver.h"
#include "sim_loader.h"

extern "C" {
extern char __start_hestolvane_init_text[];
}

namespace {

constexpr size_t Page = sim::PageSize;

class StrictKernel : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        sim::ResetRegistry();
    }
};
using StrictKernelDeathTest = StrictKernel;

struct Access {
    volatile unsigned char* Address;
    unsigned char Value;
};

void ReadByte(PVOID Context) {
    Access* Read = (Access*)Context;
    Read->Value = *Read->Address;
}

void ReadByteAtDispatchLevel(Access* Read) {
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    const KIRQL Old = KeAcquireSpinLockRaiseToDpc(&Lock);
    RunGuarded(ReadByte, Read);
    KeReleaseSpinLock(&Lock, Old);
}

volatile unsigned char* PageThatRaises() {
    void* Region = sim::MapRegion(Page);
    sim::SetPageState(Region, Page, sim::PageState::Faulting);
    return (volatile unsigned char*)Region;
}

// ----- Page faults at raised IRQL ---------------------------------------------------------------------

TEST_F(StrictKernelDeathTest, FaultAtDispatchLevelIsABugCheckEvenInsideAGuard) {
    Access Read = {PageThatRaises(), 0};
    EXPECT_DEATH(ReadByteAtDispatchLevel(&Read), "\\*\\*\\* STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL reading");
}

void ReadFromCallback(PVOID Buffer, ULONG) {
    RunGuarded(ReadByte, Buffer);
}

// A bug-check callback runs at HIGH_LEVEL: its exception handlers never see a page fault.
TEST_F(StrictKernelDeathTest, FaultInsideABugCheckCallbackIsABugCheckEvenInsideAGuard) {
    static Access Read;
    Read = {PageThatRaises(), 0};
    static KBUGCHECK_CALLBACK_RECORD Record;
    KeInitializeCallbackRecord(&Record);
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, ReadFromCallback, &Read, sizeof Read, (PUCHAR) "test"));
    EXPECT_DEATH(sim::BugCheck(0x50), "STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL reading");
    KeDeregisterBugCheckCallback(&Record);
}

TEST_F(StrictKernel, FaultAtPassiveLevelIsStillAnExceptionAGuardCatches) {
    Access Read = {PageThatRaises(), 0};
    EXPECT_TRUE(RunGuarded(ReadByte, &Read));
}

// ----- Pageable memory --------------------------------------------------------------------------------

TEST_F(StrictKernel, PagedPoolGoesOutWhenAProcessorRaisesToDispatchLevelAndComesBackWhenTouched) {
    auto* Block = (volatile unsigned char*)ExAllocatePoolWithTag(PagedPool, 64, HesTolvanePoolTag);
    ASSERT_NE(nullptr, Block);
    Block[0] = 0x42;
    EXPECT_TRUE(MmIsAddressValid((PVOID)Block));

    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    const KIRQL Old = KeAcquireSpinLockRaiseToDpc(&Lock);
    EXPECT_FALSE(MmIsAddressValid((PVOID)Block));
    KeReleaseSpinLock(&Lock, Old);

    EXPECT_EQ(0x42, Block[0]);  // paged back in at PASSIVE_LEVEL
    EXPECT_TRUE(MmIsAddressValid((PVOID)Block));
    ExFreePoolWithTag((PVOID)Block, HesTolvanePoolTag);
}

TEST_F(StrictKernel, NonPagedPoolStaysValidAtDispatchLevel) {
    PVOID Block = ExAllocatePoolWithTag(NonPagedPool, 64, HesTolvanePoolTag);
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    const KIRQL Old = KeAcquireSpinLockRaiseToDpc(&Lock);
    EXPECT_TRUE(MmIsAddressValid(Block));
    KeReleaseSpinLock(&Lock, Old);
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
}

TEST_F(StrictKernelDeathTest, TouchOfPagedPoolAtDispatchLevelStopsTheSystem) {
    auto* Block = (volatile unsigned char*)ExAllocatePoolWithTag(PagedPool, 64, HesTolvanePoolTag);
    Access Read = {Block, 0};
    EXPECT_DEATH(ReadByteAtDispatchLevel(&Read), "STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL reading");
    ExFreePoolWithTag((PVOID)Block, HesTolvanePoolTag);
}

TEST_F(StrictKernelDeathTest, CallOfPageableDriverCodeAtDispatchLevelStopsTheSystem) {
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    EXPECT_DEATH(
        {
            KeAcquireSpinLockRaiseToDpc(&Lock);
            EXPECT_FALSE(MmIsAddressValid((PVOID)DispatchCreateClose));
            DispatchCreateClose(nullptr, nullptr);
        },
        "STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL reading");
}

// ----- INIT -------------------------------------------------------------------------------------------

TEST_F(StrictKernel, InitIsGoneOnceTheEntryRoutineHasReturnedAndBackForTheNextLoad) {
    EXPECT_TRUE(MmIsAddressValid((PVOID)DriverEntry));
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    EXPECT_FALSE(MmIsAddressValid((PVOID)DriverEntry));
    EXPECT_FALSE(MmIsAddressValid(__start_hestolvane_init_text));
    sim::UnloadDriver();

    sim::SetSafeBootMode(1);  // the next load runs the entry routine again, from a fresh image
    EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::LoadDriver());
    EXPECT_FALSE(MmIsAddressValid((PVOID)DriverEntry));

    sim::Reset();
    EXPECT_TRUE(MmIsAddressValid((PVOID)DriverEntry));
    EXPECT_TRUE(MmIsAddressValid(__start_hestolvane_init_text));
}

TEST_F(StrictKernelDeathTest, ReadOfAnInitTextAfterStartUpStopsTheSystem) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    Access Read = {(volatile unsigned char*)__start_hestolvane_init_text, 0};
    EXPECT_DEATH(ReadByte(&Read), "STOP 0x00000050 PAGE_FAULT_IN_NONPAGED_AREA reading");
    sim::UnloadDriver();
}

TEST_F(StrictKernelDeathTest, CallIntoInitCodeAfterStartUpStopsTheSystem) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    EXPECT_DEATH(DriverEntry(sim::LoadedDriverObject(), nullptr), "STOP 0x00000050 PAGE_FAULT_IN_NONPAGED_AREA");
    sim::UnloadDriver();
}

// ----- Registrations left behind ----------------------------------------------------------------------

KBUGCHECK_CALLBACK_RECORD ExtraCallbackRecord;
bool ExtraNotifyRegistered = false;

void IgnoreBugCheck(PVOID, ULONG) {}
void IgnoreImageLoad(PUNICODE_STRING, HANDLE, PIMAGE_INFO) {}

// Stands for a driver that registers one more routine during start-up and never removes it.
void RegisterOneMoreDuringStartUp(const std::string& Service) {
    if (Service == "KeRegisterBugCheckCallback" && ExtraCallbackRecord.State == BufferEmpty) {
        KeRegisterBugCheckCallback(&ExtraCallbackRecord, IgnoreBugCheck, nullptr, 0, (PUCHAR) "extra");
    }
    if (Service == "PsSetLoadImageNotifyRoutine" && !ExtraNotifyRegistered) {
        ExtraNotifyRegistered = true;
        PsSetLoadImageNotifyRoutine(IgnoreImageLoad);
    }
}

TEST_F(StrictKernel, RegistrationsStillInPlaceAfterUnloadAreTeardownProblems) {
    KeInitializeCallbackRecord(&ExtraCallbackRecord);
    ExtraNotifyRegistered = false;
    sim::OnKernelCall(RegisterOneMoreDuringStartUp);
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    sim::OnKernelCall(nullptr);
    sim::UnloadDriver();

    EXPECT_EQ((std::vector<std::string>{"bug-check callback still registered after the driver unloaded",
                                        "image-load notify routine still registered after the driver unloaded"}),
              sim::TeardownProblems());
    KeDeregisterBugCheckCallback(&ExtraCallbackRecord);
    PsRemoveLoadImageNotifyRoutine(IgnoreImageLoad);
    sim::Reset();
}

TEST_F(StrictKernel, RegistrationsLeftByAFailedStartAreTeardownProblems) {
    KeInitializeCallbackRecord(&ExtraCallbackRecord);
    ExtraNotifyRegistered = false;
    sim::OnKernelCall(RegisterOneMoreDuringStartUp);
    sim::FailNextBugCheckRegistration();
    ASSERT_EQ(STATUS_UNSUCCESSFUL, sim::LoadDriver());
    sim::OnKernelCall(nullptr);

    EXPECT_EQ((std::vector<std::string>{"bug-check callback still registered after a failed start",
                                        "image-load notify routine still registered after a failed start"}),
              sim::TeardownProblems());
    KeDeregisterBugCheckCallback(&ExtraCallbackRecord);
    PsRemoveLoadImageNotifyRoutine(IgnoreImageLoad);
    sim::Reset();
}

TEST_F(StrictKernel, RegistrationsMadeOutsideTheDriverAreNotItsProblem) {
    KeInitializeCallbackRecord(&ExtraCallbackRecord);
    ASSERT_TRUE(KeRegisterBugCheckCallback(&ExtraCallbackRecord, IgnoreBugCheck, nullptr, 0, (PUCHAR) "other"));
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    sim::UnloadDriver();
    EXPECT_TRUE(sim::TeardownProblems().empty());
    KeDeregisterBugCheckCallback(&ExtraCallbackRecord);
}

}  // namespace
