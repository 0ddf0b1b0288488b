// The simulated kernel's loader: its loaded-module list and entries, and the load-image notifications with
// their registration slots and the wait of a removal for calls still running.
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "kernel_test.h"
#include "sim_loader.h"

namespace {

class Loader : public KernelTest {};

ULONG_PTR PageOf(const void* Address) {
    return (ULONG_PTR)Address & ~(ULONG_PTR)(sim::PageSize - 1);
}

std::u16string Text(const UNICODE_STRING& Name) {
    return std::u16string(Name.Buffer, Name.Length / sizeof(WCHAR));
}

TEST_F(Loader, ListStartsEmptyWithItsHeadInKernelSpace) {
    PLIST_ENTRY Head = sim::LoadedModuleListHead();
    EXPECT_EQ(Head, Head->Flink);
    EXPECT_EQ(Head, Head->Blink);
    EXPECT_TRUE(IsKernelSpaceAddress(Head));
    EXPECT_TRUE(MmIsAddressValid(Head));
}

// The head is a variable inside the kernel's data: read as a loader entry, it shows its neighbours.
TEST_F(Loader, HeadReadAsAnEntryShowsNonZeroKernelLookingNeighbours) {
    PLIST_ENTRY Head = sim::LoadedModuleListHead();
    const ULONG64* After = (const ULONG64*)(Head + 1);
    for (size_t Index = 0; Index < (sizeof(KLDR_DATA_TABLE_ENTRY) - sizeof(LIST_ENTRY)) / 8; Index++) {
        ASSERT_NE(0u, After[Index]) << "word " << Index;
    }
    const auto* AsEntry = (const KLDR_DATA_TABLE_ENTRY*)Head;
    EXPECT_TRUE(IsKernelSpaceAddress(AsEntry->DllBase));
    EXPECT_EQ(0x2A000u, AsEntry->SizeOfImage);
    for (const UNICODE_STRING* Name : {&AsEntry->FullDllName, &AsEntry->BaseDllName}) {
        EXPECT_NE(0, Name->Length);
        EXPECT_TRUE(IsKernelSpaceAddress(Name->Buffer));
        EXPECT_TRUE(MmIsAddressValid(Name->Buffer));
        EXPECT_NE(0, Name->Buffer[Name->Length / sizeof(WCHAR)]);
    }
}

TEST_F(Loader, ModulesFollowTheHeadInLoadOrder) {
    // list: [head] [nt] [hal]
    PLIST_ENTRY Head = sim::LoadedModuleListHead();
    PKLDR_DATA_TABLE_ENTRY Nt = sim::AddLoadedModule(u"\\SystemRoot\\system32\\ntoskrnl.exe", u"ntoskrnl.exe",
                                                     0x00006D0000000000, 0x10000);
    PKLDR_DATA_TABLE_ENTRY Hal = sim::AddLoadedModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll",
                                                      0x00006D0000100000, 0x8000);

    EXPECT_EQ(&Nt->InLoadOrderLinks, Head->Flink);
    EXPECT_EQ(&Hal->InLoadOrderLinks, Nt->InLoadOrderLinks.Flink);
    EXPECT_EQ(Head, Hal->InLoadOrderLinks.Flink);
    EXPECT_EQ(&Hal->InLoadOrderLinks, Head->Blink);
    EXPECT_EQ(&Nt->InLoadOrderLinks, Hal->InLoadOrderLinks.Blink);
    EXPECT_EQ(Head, Nt->InLoadOrderLinks.Blink);
}

TEST_F(Loader, EntryCarriesItsImageAndCountedNames) {
    PKLDR_DATA_TABLE_ENTRY Hal = sim::AddLoadedModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll",
                                                      0x00006D0000100000, 0x8000);

    EXPECT_EQ((PVOID)0x00006D0000100000, Hal->DllBase);
    EXPECT_EQ(0x8000u, Hal->SizeOfImage);
    EXPECT_EQ(u"\\SystemRoot\\system32\\hal.dll", Text(Hal->FullDllName));
    EXPECT_EQ(56, Hal->FullDllName.Length);
    EXPECT_EQ(58, Hal->FullDllName.MaximumLength);
    EXPECT_EQ(u"hal.dll", Text(Hal->BaseDllName));
    EXPECT_EQ(14, Hal->BaseDllName.Length);
    EXPECT_EQ(16, Hal->BaseDllName.MaximumLength);
}

TEST_F(Loader, NamesAreTerminatedRightAfterTheirCountedCharacters) {
    PKLDR_DATA_TABLE_ENTRY Hal = sim::AddLoadedModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll",
                                                      0x00006D0000100000, 0x8000);
    EXPECT_EQ(0, Hal->FullDllName.Buffer[28]);
    EXPECT_EQ(0, Hal->BaseDllName.Buffer[7]);
}

TEST_F(Loader, EntryAndNamesLieInKernelSpaceOnPagesOfTheirOwn) {
    PKLDR_DATA_TABLE_ENTRY Hal = sim::AddLoadedModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll",
                                                      0x00006D0000100000, 0x8000);
    EXPECT_TRUE(IsKernelSpaceAddress(Hal));
    EXPECT_TRUE(IsKernelSpaceAddress(Hal->FullDllName.Buffer));
    EXPECT_TRUE(IsKernelSpaceAddress(Hal->BaseDllName.Buffer));
    EXPECT_NE(PageOf(Hal), PageOf(Hal->FullDllName.Buffer));
    EXPECT_NE(PageOf(Hal), PageOf(Hal->BaseDllName.Buffer));
    EXPECT_NE(PageOf(Hal->FullDllName.Buffer), PageOf(Hal->BaseDllName.Buffer));
    EXPECT_NE(PageOf(Hal), PageOf(sim::LoadedModuleListHead()));

    sim::SetPageState(Hal->BaseDllName.Buffer, Hal->BaseDllName.MaximumLength, sim::PageState::Invalid);
    EXPECT_TRUE(MmIsAddressValid(Hal));
    EXPECT_TRUE(MmIsAddressValid(Hal->FullDllName.Buffer));
    EXPECT_FALSE(MmIsAddressValid(Hal->BaseDllName.Buffer));
}

TEST_F(Loader, RemovedModuleLeavesTheListAndItsMemoryBecomesInvalid) {
    // list: [head] [nt] [hal] [acpi] -> [head] [nt] [acpi]
    PKLDR_DATA_TABLE_ENTRY Nt = sim::AddLoadedModule(u"\\SystemRoot\\system32\\ntoskrnl.exe", u"ntoskrnl.exe",
                                                     0x00006D0000000000, 0x10000);
    PKLDR_DATA_TABLE_ENTRY Hal = sim::AddLoadedModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll",
                                                      0x00006D0000100000, 0x8000);
    PKLDR_DATA_TABLE_ENTRY Acpi = sim::AddLoadedModule(u"\\SystemRoot\\System32\\drivers\\ACPI.sys", u"ACPI.sys",
                                                       0x00006D0000200000, 0x4000);
    PWSTR HalName = Hal->BaseDllName.Buffer;

    sim::RemoveLoadedModule(Hal);

    EXPECT_EQ(&Acpi->InLoadOrderLinks, Nt->InLoadOrderLinks.Flink);
    EXPECT_EQ(&Nt->InLoadOrderLinks, Acpi->InLoadOrderLinks.Blink);
    EXPECT_FALSE(MmIsAddressValid(Hal));
    EXPECT_FALSE(MmIsAddressValid(HalName));
}

TEST_F(Loader, ResetEmptiesTheList) {
    sim::AddLoadedModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll", 0x00006D0000100000, 0x8000);
    sim::Reset();
    PLIST_ENTRY Head = sim::LoadedModuleListHead();
    EXPECT_EQ(Head, Head->Flink);
}

// ----- Notifications -------------------------------------------------------------------------------

struct SeenLoad {
    std::u16string Name;
    USHORT Length;
    USHORT MaximumLength;
    bool Terminated;
    bool NameInKernelSpace;
    PWSTR Buffer;
    HANDLE ProcessId;
    ULONG Properties;
    PVOID ImageBase;
    SIZE_T ImageSize;
};

std::vector<SeenLoad> SeenLoads;
std::vector<int> CallOrder;

void RecordingRoutine(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo) {
    SeenLoads.push_back(SeenLoad{Text(*FullImageName), FullImageName->Length, FullImageName->MaximumLength,
                                 FullImageName->Buffer[FullImageName->Length / 2] == 0,
                                 IsKernelSpaceAddress(FullImageName->Buffer) != FALSE, FullImageName->Buffer,
                                 ProcessId, ImageInfo->Properties, ImageInfo->ImageBase, ImageInfo->ImageSize});
}

template <int Number>
void NumberedRoutine(PUNICODE_STRING, HANDLE, PIMAGE_INFO) {
    CallOrder.push_back(Number);
}

class ImageNotification : public Loader {
protected:
    void SetUp() override {
        Loader::SetUp();
        SeenLoads.clear();
        CallOrder.clear();
    }
};

TEST_F(ImageNotification, RoutineSeesAKernelModeLoadWithTheKernelsArguments) {
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(RecordingRoutine));

    sim::ReportImageLoad(u"\\SystemRoot\\System32\\drivers\\beep.sys", 0x00006D0000300000, 0x3000);

    ASSERT_EQ(1u, SeenLoads.size());
    const SeenLoad& Load = SeenLoads[0];
    EXPECT_EQ(u"\\SystemRoot\\System32\\drivers\\beep.sys", Load.Name);
    EXPECT_EQ(74, Load.Length);
    EXPECT_EQ(76, Load.MaximumLength);
    EXPECT_TRUE(Load.Terminated);
    EXPECT_TRUE(Load.NameInKernelSpace);
    EXPECT_EQ(nullptr, Load.ProcessId);
    EXPECT_EQ(0x100u, Load.Properties);
    EXPECT_EQ((PVOID)0x00006D0000300000, Load.ImageBase);
    EXPECT_EQ(0x3000u, Load.ImageSize);
}

TEST_F(ImageNotification, NameIsGoneOnceTheRoutinesReturned) {
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(RecordingRoutine));
    sim::ReportImageLoad(u"\\SystemRoot\\System32\\drivers\\beep.sys", 0x00006D0000300000, 0x3000);
    ASSERT_EQ(1u, SeenLoads.size());
    EXPECT_FALSE(MmIsAddressValid(SeenLoads[0].Buffer));
}

TEST_F(ImageNotification, UserModeLoadCarriesItsProcessAndNoSystemModeBit) {
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(RecordingRoutine));

    sim::ReportImageLoad(u"\\Windows\\System32\\ntdll.dll", 0x00007FF800000000, 0x1F0000, (HANDLE)0x1234, false);

    ASSERT_EQ(1u, SeenLoads.size());
    EXPECT_EQ((HANDLE)0x1234, SeenLoads[0].ProcessId);
    EXPECT_EQ(0u, SeenLoads[0].Properties);
}

TEST_F(ImageNotification, RoutinesAreCalledInTheOrderTheyRegistered) {
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<1>));
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<2>));
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<3>));

    sim::ReportImageLoad(u"\\SystemRoot\\beep.sys", 0x00006D0000300000, 0x3000);

    EXPECT_EQ((std::vector<int>{1, 2, 3}), CallOrder);
}

TEST_F(ImageNotification, EightRoutinesFitAndTheNinthIsRefused) {
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<1>));
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<2>));
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<3>));
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<4>));
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<5>));
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<6>));
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<7>));
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<8>));

    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PsSetLoadImageNotifyRoutine(NumberedRoutine<9>));
    EXPECT_EQ(8u, sim::RegisteredImageNotifyRoutines());
}

TEST_F(ImageNotification, RemovalFreesASlotForAnotherRoutine) {
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<1>));
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<2>));
    EXPECT_EQ(STATUS_SUCCESS, PsRemoveLoadImageNotifyRoutine(NumberedRoutine<1>));
    EXPECT_EQ(1u, sim::RegisteredImageNotifyRoutines());

    sim::ReportImageLoad(u"\\SystemRoot\\beep.sys", 0x00006D0000300000, 0x3000);

    EXPECT_EQ((std::vector<int>{2}), CallOrder);
}

TEST_F(ImageNotification, RemovalOfAnUnknownRoutineIsProcedureNotFound) {
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<1>));
    EXPECT_EQ((NTSTATUS)0xC000007A, PsRemoveLoadImageNotifyRoutine(NumberedRoutine<2>));
    EXPECT_EQ(1u, sim::RegisteredImageNotifyRoutines());
}

TEST_F(ImageNotification, RegistrationFailsOnceWhenAskedTo) {
    sim::FailNextImageNotifyRegistration();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PsSetLoadImageNotifyRoutine(NumberedRoutine<1>));
    EXPECT_EQ(0u, sim::RegisteredImageNotifyRoutines());
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<1>));
}

TEST_F(ImageNotification, ResetForgetsEveryRegistration) {
    EXPECT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(NumberedRoutine<1>));
    sim::Reset();
    EXPECT_EQ(0u, sim::RegisteredImageNotifyRoutines());
}

// A routine that holds the call until the test lets it go, so that a removal can meet it running.
std::atomic<bool> BlockingRoutineEntered{false};
std::atomic<bool> BlockingRoutineReleased{false};
std::atomic<bool> BlockingRoutineReturned{false};

void BlockingRoutine(PUNICODE_STRING, HANDLE, PIMAGE_INFO) {
    BlockingRoutineEntered = true;
    while (!BlockingRoutineReleased) {
        std::this_thread::yield();
    }
    BlockingRoutineReturned = true;
}

TEST_F(ImageNotification, ConcurrentRemovalWaitsForTheCallStillRunning) {
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(BlockingRoutine));
    std::thread Loading([] { sim::ReportImageLoad(u"\\SystemRoot\\beep.sys", 0x00006D0000300000, 0x3000); });
    while (!BlockingRoutineEntered) {
        std::this_thread::yield();
    }

    std::future<NTSTATUS> Removal =
        std::async(std::launch::async, [] { return PsRemoveLoadImageNotifyRoutine(BlockingRoutine); });
    // The slot empties as soon as the removal starts; the removal itself must still be waiting.
    while (sim::RegisteredImageNotifyRoutines() != 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(std::future_status::timeout, Removal.wait_for(std::chrono::milliseconds(50)));

    BlockingRoutineReleased = true;
    EXPECT_EQ(STATUS_SUCCESS, Removal.get());
    EXPECT_TRUE(BlockingRoutineReturned);
    Loading.join();
}

using LoaderDeathTest = ImageNotification;

TEST_F(LoaderDeathTest, RegistrationAtDispatchLevelStops) {
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    EXPECT_DEATH(
        {
            KeAcquireSpinLockRaiseToDpc(&Lock);
            PsSetLoadImageNotifyRoutine(NumberedRoutine<1>);
        },
        "STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL PsSetLoadImageNotifyRoutine at IRQL 2");
}

TEST_F(LoaderDeathTest, ImageLoadReportedAtDispatchLevelStops) {
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    EXPECT_DEATH(
        {
            KeAcquireSpinLockRaiseToDpc(&Lock);
            sim::ReportImageLoad(u"\\SystemRoot\\beep.sys", 0x00006D0000300000, 0x3000);
        },
        "STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL image-load notification at IRQL 2");
}

TEST_F(LoaderDeathTest, RemovingAnEntryWithACorruptNeighbourStops) {
    PKLDR_DATA_TABLE_ENTRY Hal = sim::AddLoadedModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll",
                                                      0x00006D0000100000, 0x8000);
    LIST_ENTRY Elsewhere = {nullptr, nullptr};
    Hal->InLoadOrderLinks.Flink = &Elsewhere;
    EXPECT_DEATH(sim::RemoveLoadedModule(Hal), "STOP 0x00000139 .*fast-fail 3");
}

}  // namespace
