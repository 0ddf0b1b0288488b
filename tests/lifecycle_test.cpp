// The driver's start-up, requests and unload as the kernel sees them: which services it calls in which
// order, what reaches COM1, what each failure leaves behind (nothing), and what unload takes away.
#include <algorithm>

#include "driver_scene.h"

namespace {

using Calls = std::vector<std::string>;

const std::u16string DeviceName = u"\\Device\\HestrelTolvnae";
const std::u16string LinkName = u"\\DosDevices\\HestrelTolvnae";

class Lifecycle : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        scene::InstallService();
        scene::SetClock();
        scene::LoadKernelModules();
    }
};

std::vector<std::string> RecordedModuleNames() {
    std::vector<std::string> Names;
    for (PLIST_ENTRY Link = ModuleListHead.Flink; Link != &ModuleListHead; Link = Link->Flink) {
        Names.push_back(CONTAINING_RECORD(Link, ModuleInfo, Links)->ModuleName.Buffer);
    }
    return Names;
}

// Device, link, the guard's registry reads and marker, the notification, the callback, the banner on
// COM1, the walk (two names converted for each of the two kernel modules) and the marker's removal.
TEST_F(Lifecycle, StartUpCallsTheKernelInOrder) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    EXPECT_EQ((Calls{"DriverEntry",
                     "IoCreateDevice",
                     "IoCreateSymbolicLink",
                     "ZwOpenKey", "ZwQueryValueKey", "ZwClose",
                     "ZwOpenKey", "ZwSetValueKey", "ZwFlushKey", "ZwClose",
                     "ZwOpenKey", "ZwSetValueKey", "ZwFlushKey", "ZwClose",
                     "PsSetLoadImageNotifyRoutine",
                     "KeRegisterBugCheckCallback",
                     "COM1",
                     "RtlUnicodeStringToAnsiString", "RtlUnicodeStringToAnsiString",
                     "RtlUnicodeStringToAnsiString", "RtlUnicodeStringToAnsiString",
                     "ZwOpenKey", "ZwDeleteValueKey", "ZwFlushKey", "ZwClose"}),
              sim::KernelCallLog());
    sim::UnloadDriver();
}

TEST_F(Lifecycle, Com1ShowsTheBannerAndTheBootStateOnly) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    EXPECT_EQ("HesTolvaneDrv ver: 3, Load: 2026-12-08 04:30:15:7\n"
              "normal boot.\n",
              sim::ComTranscript(1));
    sim::UnloadDriver();
}

// The clock is UTC and the milliseconds are printed without padding.
TEST_F(Lifecycle, BannerShowsTheClockAsItIs) {
    sim::SetSystemTime(sim::SystemTimeFromFields(2031, 1, 2, 23, 5, 9, 456));
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    EXPECT_EQ("HesTolvaneDrv ver: 3, Load: 2031-01-02 23:05:09:456\n"
              "normal boot.\n",
              sim::ComTranscript(1));
    sim::UnloadDriver();
}

TEST_F(Lifecycle, StartUpCreatesOneDeviceAndItsLink) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    const std::vector<sim::DeviceView> Devices = sim::Devices();
    ASSERT_EQ(1u, Devices.size());
    EXPECT_EQ(DeviceName, Devices[0].Name);
    EXPECT_EQ((ULONG)FILE_DEVICE_UNKNOWN, Devices[0].DeviceType);
    EXPECT_EQ((ULONG)FILE_DEVICE_SECURE_OPEN, Devices[0].Characteristics);
    EXPECT_FALSE(Devices[0].Exclusive);
    EXPECT_EQ(0u, Devices[0].ExtensionSize);
    EXPECT_EQ(Devices[0].Object, sim::LoadedDriverObject()->DeviceObject);
    EXPECT_EQ((std::vector<std::pair<std::u16string, std::u16string>>{{LinkName, DeviceName}}),
              sim::SymbolicLinks());
    sim::UnloadDriver();
}

// Create, close, device control and shutdown are the driver's; every other request stays refused by
// the I/O manager.
TEST_F(Lifecycle, StartUpHandlesFourMajorFunctionsAndSetsUnload) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    PDRIVER_OBJECT Driver = sim::LoadedDriverObject();
    EXPECT_EQ(&DispatchCreateClose, Driver->MajorFunction[IRP_MJ_CREATE]);
    EXPECT_EQ(&DispatchCreateClose, Driver->MajorFunction[IRP_MJ_CLOSE]);
    EXPECT_EQ(&DispatchDeviceControl, Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL]);
    EXPECT_EQ(&DispatchShutdown, Driver->MajorFunction[IRP_MJ_SHUTDOWN]);
    EXPECT_EQ(&UnloadDriver, Driver->DriverUnload);
    const PDRIVER_DISPATCH Refusal = Driver->MajorFunction[0x01];  // IRP_MJ_CREATE_NAMED_PIPE
    for (int Major = 0; Major <= IRP_MJ_MAXIMUM_FUNCTION; Major++) {
        if (Major != IRP_MJ_CREATE && Major != IRP_MJ_CLOSE && Major != IRP_MJ_DEVICE_CONTROL &&
            Major != IRP_MJ_SHUTDOWN) {
            EXPECT_EQ(Refusal, Driver->MajorFunction[Major]) << "major function " << Major;
        }
    }
    EXPECT_NE(&DispatchCreateClose, Refusal);
    sim::UnloadDriver();
}

// The walk records every kernel module but the driver's own entry.
TEST_F(Lifecycle, WalkRecordsTheKernelsModulesButNotTheDriver) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    EXPECT_EQ((std::vector<std::string>{"ntoskrnl.exe", "hal.dll"}), RecordedModuleNames());
    EXPECT_EQ(1u, sim::RegisteredBugCheckCallbacks());
    EXPECT_EQ(1u, sim::RegisteredImageNotifyRoutines());
    sim::UnloadDriver();
}

TEST_F(Lifecycle, CallbackIsRegisteredUnderTheComponentName) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    EXPECT_EQ(BufferInserted, BugCheckCallbackRecord.State);
    EXPECT_EQ(&BugCheckDumpCallback, BugCheckCallbackRecord.CallbackRoutine);
    EXPECT_EQ(nullptr, BugCheckCallbackRecord.Buffer);
    EXPECT_EQ(0u, BugCheckCallbackRecord.Length);
    EXPECT_STREQ("HesTolvane", (const char*)BugCheckCallbackRecord.Component);
    sim::UnloadDriver();
}

// ---------------------------------------------------------------------------------------------------------
// Start-ups that fail: each leaves nothing behind.

void ExpectNothingLeft() {
    EXPECT_FALSE(sim::DriverLoaded());
    EXPECT_TRUE(sim::Devices().empty());
    EXPECT_TRUE(sim::SymbolicLinks().empty());
    EXPECT_EQ(0u, sim::RegisteredBugCheckCallbacks());
    EXPECT_EQ(0u, sim::RegisteredImageNotifyRoutines());
    EXPECT_TRUE(sim::OutstandingPool().empty());
    EXPECT_EQ(0u, sim::OpenRegistryHandles());
}

// InitSafeBootMode is 1 for minimal safe mode, 2 with networking and 3 for directory-services repair.
TEST_F(Lifecycle, SafeModeStartInEachFormCreatesAndWritesNothing) {
    Calls Expected;
    for (ULONG Mode : {1u, 2u, 3u}) {
        SCOPED_TRACE("InitSafeBootMode " + std::to_string(Mode));
        sim::SetSafeBootMode(Mode);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::LoadDriver());
        Expected.push_back("DriverEntry");
        EXPECT_EQ(Expected, sim::KernelCallLog());
        EXPECT_TRUE(sim::RegistryJournal().empty());
        EXPECT_EQ("", sim::ComTranscript(1));
        ExpectNothingLeft();
    }
}

TEST_F(Lifecycle, DeviceFailureIsReturnedAndNothingElseHappens) {
    const NTSTATUS Refused = (NTSTATUS)0xC0000022;
    sim::FailIo(sim::IoFault::CreateDevice, Refused);
    EXPECT_EQ(Refused, sim::LoadDriver());
    EXPECT_EQ((Calls{"DriverEntry", "IoCreateDevice"}), sim::KernelCallLog());
    EXPECT_TRUE(sim::RegistryJournal().empty());
    EXPECT_EQ("", sim::ComTranscript(1));
    ExpectNothingLeft();
}

// The I/O manager takes the device object from non-paged pool, so an empty pool fails the start too.
TEST_F(Lifecycle, EmptyPoolFailsTheDevice) {
    sim::FailAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, sim::LoadDriver());
    EXPECT_EQ((Calls{"DriverEntry", "IoCreateDevice"}), sim::KernelCallLog());
    ExpectNothingLeft();
}

// Another driver already owns the link's name: the device goes again, and neither the registry nor
// COM1 learns of the attempt.
TEST_F(Lifecycle, LinkFailureDeletesTheDeviceAndReturnsTheStatus) {
    UNICODE_STRING Taken;
    RtlInitUnicodeString(&Taken, u"\\DosDevices\\HESTRELTOLVNAE");
    UNICODE_STRING Elsewhere;
    RtlInitUnicodeString(&Elsewhere, u"\\Device\\Elsewhere");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&Taken, &Elsewhere));

    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, sim::LoadDriver());

    EXPECT_EQ((Calls{"IoCreateSymbolicLink", "DriverEntry", "IoCreateDevice", "IoCreateSymbolicLink",
                     "IoDeleteDevice"}),
              sim::KernelCallLog());
    EXPECT_TRUE(sim::Devices().empty());
    EXPECT_EQ((std::vector<std::pair<std::u16string, std::u16string>>{
                  {u"\\DosDevices\\HESTRELTOLVNAE", u"\\Device\\Elsewhere"}}),
              sim::SymbolicLinks());
    EXPECT_TRUE(sim::RegistryJournal().empty());
    EXPECT_EQ("", sim::ComTranscript(1));
    EXPECT_EQ(0u, sim::RegisteredBugCheckCallbacks());
    EXPECT_EQ(0u, sim::RegisteredImageNotifyRoutines());
    EXPECT_TRUE(sim::OutstandingPool().empty());
    ASSERT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&Taken));
}

TEST_F(Lifecycle, LinkFailureOnDemandLeavesNothing) {
    sim::FailIo(sim::IoFault::CreateSymbolicLink, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, sim::LoadDriver());
    EXPECT_EQ((Calls{"DriverEntry", "IoCreateDevice", "IoCreateSymbolicLink", "IoDeleteDevice"}),
              sim::KernelCallLog());
    EXPECT_TRUE(sim::RegistryJournal().empty());
    EXPECT_EQ("", sim::ComTranscript(1));
    ExpectNothingLeft();
}

// Without its callback the driver is useless: everything after the link is undone in reverse, the
// records an image load added meanwhile are freed, and the marker is removed so that the next boot does
// not take a failed start for a crash.
TEST_F(Lifecycle, CallbackFailureUndoesTheStartInReverse) {
    sim::OnKernelCall([](const std::string& Call) {
        if (Call == "PsSetLoadImageNotifyRoutine") {
            scene::ReportLateImage();
        }
    });
    sim::FailNextBugCheckRegistration();

    EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::LoadDriver());

    EXPECT_EQ((Calls{"DriverEntry",
                     "IoCreateDevice",
                     "IoCreateSymbolicLink",
                     "ZwOpenKey", "ZwQueryValueKey", "ZwClose",
                     "ZwOpenKey", "ZwSetValueKey", "ZwFlushKey", "ZwClose",
                     "ZwOpenKey", "ZwSetValueKey", "ZwFlushKey", "ZwClose",
                     "PsSetLoadImageNotifyRoutine",
                     "RtlUnicodeStringToAnsiString",
                     "KeRegisterBugCheckCallback",
                     "PsRemoveLoadImageNotifyRoutine",
                     "ZwOpenKey", "ZwDeleteValueKey", "ZwFlushKey", "ZwClose",
                     "IoDeleteSymbolicLink",
                     "IoDeleteDevice"}),
              sim::KernelCallLog());
    EXPECT_EQ("", sim::ComTranscript(1));
    ExpectNothingLeft();
    EXPECT_EQ(0u, sim::OutstandingAnsiStrings());
    sim::LoseUnflushedRegistryWrites();
    EXPECT_FALSE(sim::GetRegistryValue(scene::Key(), u"Loaded"));
    EXPECT_EQ(3u, sim::GetRegistryDword(scene::Key(), u"Version"));
}

// In the last-bsod state there is no notification and no marker of this start's own to take back.
TEST_F(Lifecycle, CallbackFailureWithCollectionOffTouchesNeitherNotificationNorMarker) {
    sim::SetRegistryDword(scene::Key(), u"Loaded", 1);
    sim::SetRegistryDword(scene::Key(), u"Version", 3);
    sim::FailNextBugCheckRegistration();

    EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::LoadDriver());

    EXPECT_EQ((Calls{"DriverEntry", "IoCreateDevice", "IoCreateSymbolicLink",
                     "ZwOpenKey", "ZwQueryValueKey", "ZwClose",
                     "ZwOpenKey", "ZwOpenKey", "ZwQueryValueKey", "ZwClose", "ZwClose",
                     "KeRegisterBugCheckCallback", "IoDeleteSymbolicLink", "IoDeleteDevice"}),
              sim::KernelCallLog());
    ExpectNothingLeft();
    EXPECT_EQ(1u, sim::GetRegistryDword(scene::Key(), u"Loaded"));
}

// ---------------------------------------------------------------------------------------------------------
// The device's requests.

TEST_F(Lifecycle, CreateAndCloseSucceed) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    for (const sim::RequestResult& Result : {sim::SendCreate(), sim::SendClose()}) {
        EXPECT_EQ(STATUS_SUCCESS, Result.Returned);
        EXPECT_EQ(STATUS_SUCCESS, Result.IoStatus);
        EXPECT_EQ(0u, Result.Information);
        EXPECT_TRUE(Result.Completed);
        EXPECT_EQ(IO_NO_INCREMENT, Result.PriorityBoost);
    }
    sim::UnloadDriver();
}

TEST_F(Lifecycle, ShutdownSucceeds) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    const sim::RequestResult Result = sim::SendShutdown();
    EXPECT_EQ(STATUS_SUCCESS, Result.Returned);
    EXPECT_EQ(STATUS_SUCCESS, Result.IoStatus);
    EXPECT_EQ(0u, Result.Information);
    EXPECT_TRUE(Result.Completed);
    sim::UnloadDriver();
}

// No control code is served. A request with both buffers is an unsupported request, one without
// either buffer a bad parameter; the information field is left as the request arrived.
TEST_F(Lifecycle, ControlRequestWithBothBuffersIsAnInvalidDeviceRequest) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    const sim::RequestResult Result = sim::SendDeviceControl(0x222000, 8, 16, 0x5A5A);
    EXPECT_EQ((NTSTATUS)0xC0000010, Result.Returned);
    EXPECT_EQ((NTSTATUS)0xC0000010, Result.IoStatus);
    EXPECT_EQ(0x5A5Au, Result.Information);
    EXPECT_TRUE(Result.Completed);
    EXPECT_EQ(IO_NO_INCREMENT, Result.PriorityBoost);
    sim::UnloadDriver();
}

TEST_F(Lifecycle, ControlRequestMissingABufferIsAnInvalidParameter) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    const sim::RequestResult Results[] = {sim::SendDeviceControl(0x222000, 0, 16, 0x5A5A),
                                          sim::SendDeviceControl(0x222004, 8, 0, 0x5A5A),
                                          sim::SendDeviceControl(0x222008, 0, 0, 0x5A5A)};
    for (const sim::RequestResult& Result : Results) {
        EXPECT_EQ((NTSTATUS)0xC000000D, Result.Returned);
        EXPECT_EQ((NTSTATUS)0xC000000D, Result.IoStatus);
        EXPECT_EQ(0x5A5Au, Result.Information);
        EXPECT_TRUE(Result.Completed);
    }
    sim::UnloadDriver();
}

// ---------------------------------------------------------------------------------------------------------
// Unload.

// The notification goes before the table is freed: when the kernel removes it, the records are still
// there; when unload returns, they are gone, and so is everything else the start made.
TEST_F(Lifecycle, UnloadRemovesTheNotificationBeforeFreeingTheTable) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    scene::ReportLateImage();
    size_t RecordBlocksAtRemoval = 0;
    sim::OnKernelCall([&RecordBlocksAtRemoval](const std::string& Call) {
        if (Call == "PsRemoveLoadImageNotifyRoutine") {
            RecordBlocksAtRemoval = scene::DriverPoolBlocks();
        }
    });
    const size_t LogBefore = sim::KernelCallLog().size();

    sim::UnloadDriver();

    // Three records (nt, hal, late.sys), each with its two name buffers.
    EXPECT_EQ(9u, RecordBlocksAtRemoval);
    const Calls Log = sim::KernelCallLog();
    EXPECT_EQ((Calls{"DriverUnload", "PsRemoveLoadImageNotifyRoutine", "KeDeregisterBugCheckCallback",
                     "IoDeleteSymbolicLink", "IoDeleteDevice"}),
              Calls(Log.begin() + LogBefore, Log.end()));
    EXPECT_EQ("Unload!!!\n", sim::DebuggerMessages().back());
    ExpectNothingLeft();
    EXPECT_EQ(BufferEmpty, BugCheckCallbackRecord.State);
}

TEST_F(Lifecycle, UnloadTakesTheDriverOutOfTheLoadedModuleList) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    const PLIST_ENTRY Own = &sim::DriverLoaderEntry()->InLoadOrderLinks;
    EXPECT_EQ(Own, sim::LoadedModuleListHead()->Blink);
    sim::UnloadDriver();
    const PLIST_ENTRY Head = sim::LoadedModuleListHead();
    ASSERT_NE(Head, Head->Flink);
    EXPECT_EQ(Head, Head->Flink->Flink->Flink);  // nt, hal, and back to the head
}

// In the last-bsod state the notification was never registered, so unload leaves it alone.
TEST_F(Lifecycle, UnloadWithCollectionOffTouchesNoNotification) {
    sim::SetRegistryDword(scene::Key(), u"Loaded", 1);
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    ASSERT_FALSE(ModuleTrackingEnabled);
    sim::UnloadDriver();
    const Calls Log = sim::KernelCallLog();
    EXPECT_EQ(0, std::count(Log.begin(), Log.end(), "PsSetLoadImageNotifyRoutine"));
    EXPECT_EQ(0, std::count(Log.begin(), Log.end(), "PsRemoveLoadImageNotifyRoutine"));
    ExpectNothingLeft();
}

// After unload nothing of the driver is called any more: a bug check writes nothing, an image load
// records nothing.
TEST_F(Lifecycle, AfterUnloadTheKernelCallsNothingOfTheDriver) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    sim::UnloadDriver();
    const std::string Before = sim::ComTranscript(1);
    sim::BugCheck(0x50, 1, 2, 3, 4);
    scene::ReportLateImage();
    EXPECT_EQ(Before, sim::ComTranscript(1));
    EXPECT_EQ(0u, DumpCount);
    EXPECT_TRUE(sim::OutstandingPool().empty());
}

TEST_F(Lifecycle, SecondLoadWhileLoadedIsRefused) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    EXPECT_EQ((NTSTATUS)0xC000010E, sim::LoadDriver());
    sim::UnloadDriver();
}

}  // namespace
