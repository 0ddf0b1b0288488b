// The simulated service control: how the kernel loads and unloads the driver, the log of kernel calls
// with its observer, and boots that shut down cleanly or die.
#include <algorithm>
#include <stdexcept>

#include "kernel_test.h"
#include "sim_driver.h"
#include "sim_loader.h"

namespace {

class ServiceControl : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        sim::ResetRegistry();
    }
};

std::u16string TextOf(const UNICODE_STRING& Counted) {
    return std::u16string(Counted.Buffer, Counted.Length / sizeof(WCHAR));
}

TEST_F(ServiceControl, LoadGivesTheDriverALoaderEntryAtTheEndOfTheList) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    PDRIVER_OBJECT Driver = sim::LoadedDriverObject();
    PKLDR_DATA_TABLE_ENTRY Entry = sim::DriverLoaderEntry();
    ASSERT_NE(nullptr, Entry);
    EXPECT_EQ((PVOID)Entry, Driver->DriverSection);
    EXPECT_EQ(&Entry->InLoadOrderLinks, sim::LoadedModuleListHead()->Blink);
    EXPECT_EQ(u"HesTolvaneDrv.sys", TextOf(Entry->BaseDllName));
    EXPECT_EQ(u"\\SystemRoot\\System32\\drivers\\HesTolvaneDrv.sys", TextOf(Entry->FullDllName));
    EXPECT_EQ(Entry->DllBase, Driver->DriverStart);
    EXPECT_EQ(Entry->SizeOfImage, Driver->DriverSize);
    EXPECT_TRUE(MmIsAddressValid(Driver->DriverStart));
    EXPECT_EQ(u"\\Driver\\HesTolvaneDrv", TextOf(Driver->DriverName));
    EXPECT_EQ((PVOID)&DriverEntry, Driver->DriverInit);
    sim::UnloadDriver();
    EXPECT_FALSE(sim::DriverLoaded());
    EXPECT_EQ(nullptr, sim::LoadedDriverObject());
    EXPECT_EQ(sim::LoadedModuleListHead(), sim::LoadedModuleListHead()->Flink);
}

TEST_F(ServiceControl, LoadGivesTheDriverFreshData) {
    DumpCount = 5;
    ModuleTrackingEnabled = FALSE;
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    EXPECT_EQ(0u, DumpCount);
    EXPECT_TRUE(ModuleTrackingEnabled);
    sim::UnloadDriver();
}

TEST_F(ServiceControl, FailedStartLeavesNothingLoaded) {
    sim::SetSafeBootMode(1);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::LoadDriver());
    EXPECT_FALSE(sim::DriverLoaded());
    EXPECT_EQ(nullptr, sim::DriverLoaderEntry());
    EXPECT_EQ(sim::LoadedModuleListHead(), sim::LoadedModuleListHead()->Flink);
}

TEST_F(ServiceControl, DevicesAreReadyOnceTheStartSucceeded) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    EXPECT_EQ(0u, sim::LoadedDriverObject()->DeviceObject->Flags & 0x80);
    sim::UnloadDriver();
}

TEST_F(ServiceControl, LoadedDriverIsATeardownProblem) {
    ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    const std::vector<std::string> Problems = sim::TeardownProblems();
    EXPECT_NE(Problems.end(), std::find(Problems.begin(), Problems.end(), "driver HesTolvaneDrv still loaded"));
    sim::UnloadDriver();
}

TEST_F(ServiceControl, UnloadWithoutALoadedDriverIsAMistakeOfTheTest) {
    EXPECT_THROW(sim::UnloadDriver(), std::logic_error);
}

TEST_F(ServiceControl, RunOfCom1BytesIsOneLogEntry) {
    __outbyte(0x3F8, 'a');
    __outbyte(0x3F8, 'b');
    __outbyte(0x2F8, 'x');  // COM2 is not logged
    sim::LogKernelCall("Probe");
    __outbyte(0x3F8, 'c');
    EXPECT_EQ((std::vector<std::string>{"COM1", "Probe", "COM1"}), sim::KernelCallLog());
}

TEST_F(ServiceControl, ObserverSeesEachCallAfterItHappened) {
    std::vector<std::string> Seen;
    size_t CallbacksAtRegistration = 0;
    sim::OnKernelCall([&](const std::string& Call) {
        Seen.push_back(Call);
        if (Call == "KeRegisterBugCheckCallback") {
            CallbacksAtRegistration = sim::RegisteredBugCheckCallbacks();
        }
    });
    KBUGCHECK_CALLBACK_RECORD Record;
    KeInitializeCallbackRecord(&Record);
    KeRegisterBugCheckCallback(&Record, [](PVOID, ULONG) {}, NULL, 0, (PUCHAR) "Probe");
    KeDeregisterBugCheckCallback(&Record);
    EXPECT_EQ((std::vector<std::string>{"KeRegisterBugCheckCallback", "KeDeregisterBugCheckCallback"}), Seen);
    EXPECT_EQ(1u, CallbacksAtRegistration);
}

TEST_F(ServiceControl, ResetEmptiesTheLogAndRemovesTheObserver) {
    int Calls = 0;
    sim::OnKernelCall([&Calls](const std::string&) { Calls++; });
    sim::LogKernelCall("Probe");
    sim::Reset();
    sim::LogKernelCall("Probe");
    EXPECT_EQ(1, Calls);
    EXPECT_EQ((std::vector<std::string>{"Probe"}), sim::KernelCallLog());
}

// ---------------------------------------------------------------------------------------------------------
// Boots.

const std::u16string KeyPath = u"\\Registry\\Machine\\SOFTWARE\\Probe";

void SetProbe(ULONG Value, bool Flush) {
    UNICODE_STRING Path;
    RtlInitUnicodeString(&Path, KeyPath.c_str());
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE Key = NULL;
    ASSERT_EQ(STATUS_SUCCESS, ZwOpenKey(&Key, KEY_ALL_ACCESS, &Attributes));
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, u"Value");
    ZwSetValueKey(Key, &Name, 0, REG_DWORD, &Value, sizeof Value);
    if (Flush) {
        ZwFlushKey(Key);
    }
    ZwClose(Key);
}

ULONG CallbackRuns = 0;
void CountRun(PVOID, ULONG) {
    CallbackRuns++;
}

KBUGCHECK_CALLBACK_RECORD CountingRecord;
void RegisterCounting() {
    KeInitializeCallbackRecord(&CountingRecord);
    KeRegisterBugCheckCallback(&CountingRecord, CountRun, NULL, 0, (PUCHAR) "Probe");
}

class Boots : public ServiceControl {
protected:
    void SetUp() override {
        ServiceControl::SetUp();
        sim::CreateRegistryKey(KeyPath);
        CallbackRuns = 0;
    }
};

// A clean shutdown flushes the registry, and each boot starts from a fresh kernel.
TEST_F(Boots, CleanBootFlushesTheRegistry) {
    const sim::BootResult Result = sim::Boot([] {
        SetProbe(7, false);
        __outbyte(0x3F8, 'k');
        sim::MapRegion(sim::PageSize);
    });
    EXPECT_FALSE(Result.Died);
    EXPECT_EQ("k", Result.Com1);
    sim::LoseUnflushedRegistryWrites();
    EXPECT_EQ(7u, sim::GetRegistryDword(KeyPath, u"Value"));
    sim::Boot([] { EXPECT_EQ("", sim::ComTranscript(1)); });
}

// An exception nothing catches is KMODE_EXCEPTION_NOT_HANDLED: the callbacks run, the rest of the boot
// does not, and the writes that were not flushed are gone.
TEST_F(Boots, UnhandledFaultKillsTheBoot) {
    bool RanOn = false;
    const sim::BootResult Result = sim::Boot([&RanOn] {
        SetProbe(1, true);
        SetProbe(2, false);
        RegisterCounting();
        auto* Page = (volatile ULONG*)sim::MapRegionAt(0x00006D0000000000, sim::PageSize);
        sim::SetPageState((const void*)Page, sim::PageSize, sim::PageState::Faulting);
        Page[2] = 1;
        RanOn = true;
    });
    EXPECT_TRUE(Result.Died);
    EXPECT_EQ(0x1Eu, Result.StopCode);
    EXPECT_FALSE(RanOn);
    EXPECT_EQ(1u, CallbackRuns);
    EXPECT_EQ(0x1Eu, KiBugCheckData[0]);
    EXPECT_EQ(0xC0000005u, KiBugCheckData[1]);
    EXPECT_NE(0u, KiBugCheckData[2]);
    EXPECT_EQ(1u, KiBugCheckData[3]);  // a write
    EXPECT_EQ(0x00006D0000000008u, KiBugCheckData[4]);
    EXPECT_EQ(1u, sim::GetRegistryDword(KeyPath, u"Value"));
    sim::Reset();
}

TEST_F(Boots, CrashSystemEndsTheBootAfterTheCallbacks) {
    bool RanOn = false;
    const sim::BootResult Result = sim::Boot([&RanOn] {
        RegisterCounting();
        SetProbe(2, false);
        sim::CrashSystem(0xD1, 1, 2, 3, 4);
        RanOn = true;
    });
    EXPECT_TRUE(Result.Died);
    EXPECT_EQ(0xD1u, Result.StopCode);
    EXPECT_FALSE(RanOn);
    EXPECT_EQ(1u, CallbackRuns);
    EXPECT_EQ(4u, KiBugCheckData[4]);
    EXPECT_FALSE(sim::GetRegistryValue(KeyPath, u"Value"));
    sim::Reset();
}

TEST_F(Boots, CrashSystemOutsideABootStopsTheProcess) {
    EXPECT_DEATH(sim::CrashSystem(0xD1), "\\*\\*\\* STOP 0x000000D1 the system crashed outside a boot");
}

TEST_F(Boots, BodysOwnExceptionLeavesBoot) {
    EXPECT_THROW(sim::Boot([] { throw std::runtime_error("probe"); }), std::runtime_error);
    EXPECT_THROW(sim::Boot([] { sim::Boot([] {}); }), std::logic_error);
}

}  // namespace
