// Module discovery: EnumLoadedModules walking the simulated kernel's loaded-module list, and LoadImageNotify
// called by the simulated kernel for image loads, from several threads too while the walk runs.
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kernel_test.h"
#include "module_records.h"
#include "sim_loader.h"
#include "sim_pe_builder.h"

namespace {

using Guid = std::array<UCHAR, 16>;

// Images lie at fixed kernel-space addresses so that expected records can be written out.
constexpr ULONG_PTR NtBase = 0x00006D0000000000;
constexpr ULONG_PTR HalBase = 0x00006D0000100000;
constexpr ULONG_PTR OwnBase = 0x00006D0000200000;
constexpr ULONG_PTR AcpiBase = 0x00006D0000300000;
constexpr ULONG_PTR DiskBase = 0x00006D0000400000;
constexpr ULONG_PTR BeepBase = 0x00006D0000500000;
constexpr ULONG_PTR BadBase = 0x00006D0000600000;

const Guid NtGuid = {0x8A, 0x52, 0x7C, 0x31, 0x0E, 0x44, 0x19, 0x4B, 0xA3, 0x5D, 0x60, 0x02, 0x9F, 0x1C, 0xB7, 0x21};
const Guid HalGuid = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01};
const Guid AcpiGuid = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
const Guid DiskGuid = {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF};
const Guid BeepGuid = {0xBE, 0xE9, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D};
const Guid NoGuid = {};

const std::vector<std::string> NoMessages;

// One record of the driver's table, as plain values.
struct RecordView {
    ULONG_PTR Start;
    ULONG_PTR End;
    std::string Name;  // "<none>" when the field has no buffer
    USHORT NameLength;
    USHORT NameMaximum;
    std::string Path;
    USHORT PathLength;
    USHORT PathMaximum;
    Guid PdbGuid;
    std::string PdbName;
};

std::string TextOf(const ANSI_STRING& Field) {
    return Field.Buffer != nullptr ? std::string(Field.Buffer) : std::string("<none>");
}

class ModuleDiscovery : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        InitializeModuleTable();
        std::memset(&Driver, 0, sizeof(Driver));
    }

    void TearDown() override {
        if (NotifyRegistered) {
            EXPECT_EQ(STATUS_SUCCESS, PsRemoveLoadImageNotifyRoutine(LoadImageNotify));
        }
        FreeModuleTable();
        EXPECT_EQ(0u, sim::OutstandingAnsiStrings());
        KernelTest::TearDown();
    }

    // A loaded module whose image carries a program-database identity.
    static PKLDR_DATA_TABLE_ENTRY AddModule(const std::u16string& Full, const std::u16string& Base, ULONG_PTR At,
                                            ULONG Size, const Guid& Identity, const std::string& Pdb) {
        MapImage(At, Size, Identity, Pdb);
        return sim::AddLoadedModule(Full, Base, At, Size);
    }

    static void MapImage(ULONG_PTR At, ULONG Size, const Guid& Identity, const std::string& Pdb) {
        sim::PeImageBuilder Builder;
        Builder.SizeOfImage(Size).Guid(Identity).PdbPath(Pdb);
        sim::MapImageBytes(Builder.Build(), At);
    }

    static PKLDR_DATA_TABLE_ENTRY AddNt() {
        return AddModule(u"\\SystemRoot\\system32\\ntoskrnl.exe", u"ntoskrnl.exe", NtBase, 0x10000, NtGuid,
                         "ntkrnlmp.pdb");
    }
    static PKLDR_DATA_TABLE_ENTRY AddHal() {
        return AddModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll", HalBase, 0x8000, HalGuid, "hal.pdb");
    }
    static PKLDR_DATA_TABLE_ENTRY AddAcpi() {
        return AddModule(u"\\SystemRoot\\System32\\drivers\\ACPI.sys", u"ACPI.sys", AcpiBase, 0x4000, AcpiGuid,
                         "acpi.pdb");
    }
    static PKLDR_DATA_TABLE_ENTRY AddDisk() {
        return AddModule(u"\\SystemRoot\\System32\\drivers\\disk.sys", u"disk.sys", DiskBase, 0x4000, DiskGuid,
                         "disk.pdb");
    }
    // The driver's own entry, which the kernel hands it as DriverObject->DriverSection.
    PKLDR_DATA_TABLE_ENTRY AddOwn() {
        PKLDR_DATA_TABLE_ENTRY Own =
            AddModule(u"\\SystemRoot\\System32\\drivers\\HesTolvaneDrv.sys", u"HesTolvaneDrv.sys", OwnBase, 0x8000,
                      NoGuid, "HesTolvaneDrv.pdb");
        Driver.DriverSection = Own;
        return Own;
    }
    // A module at BadBase, for the entry tests to damage.
    static PKLDR_DATA_TABLE_ENTRY AddBad(bool KernelSpace = true) {
        sim::MapRegionAt(BadBase, 0x4000, KernelSpace);
        return sim::AddLoadedModule(u"\\SystemRoot\\System32\\drivers\\bad.sys", u"bad.sys", BadBase, 0x4000);
    }

    void Walk() { EnumLoadedModules(&Driver); }

    void RegisterNotify() {
        ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(LoadImageNotify));
        NotifyRegistered = true;
    }

    // The table in order; each link is checked against its neighbour on the way.
    static std::vector<RecordView> Table() {
        std::vector<RecordView> Records;
        for (PLIST_ENTRY Link = ModuleListHead.Flink; Link != &ModuleListHead; Link = Link->Flink) {
            EXPECT_EQ(Link, Link->Flink->Blink);
            const ModuleInfo* Record = CONTAINING_RECORD(Link, ModuleInfo, Links);
            RecordView View;
            View.Start = (ULONG_PTR)Record->ImageStart;
            View.End = (ULONG_PTR)Record->ImageEnd;
            View.Name = TextOf(Record->ModuleName);
            View.NameLength = Record->ModuleName.Length;
            View.NameMaximum = Record->ModuleName.MaximumLength;
            View.Path = TextOf(Record->FullPath);
            View.PathLength = Record->FullPath.Length;
            View.PathMaximum = Record->FullPath.MaximumLength;
            std::memcpy(View.PdbGuid.data(), &Record->PdbGuid, sizeof(GUID));
            View.PdbName = Record->PdbName;
            Records.push_back(View);
        }
        return Records;
    }

    static std::vector<std::string> Names() {
        std::vector<std::string> Result;
        for (const RecordView& Record : Table()) {
            Result.push_back(Record.Name);
        }
        return Result;
    }

    static std::vector<std::string> Messages() { return sim::DebuggerMessages(); }

    DRIVER_OBJECT Driver;
    bool NotifyRegistered = false;
};

// ----- The walk --------------------------------------------------------------------------------------

TEST_F(ModuleDiscovery, EnumLoadedModules_RecordsWhatFollowsItsOwnEntryThenFromTheListStart) {
    // list: [head] [nt] [hal] [own] [acpi] [disk]; the walk meets acpi, disk, the head, nt, hal
    AddNt();
    AddHal();
    AddOwn();
    AddAcpi();
    AddDisk();

    Walk();

    EXPECT_EQ((std::vector<std::string>{"ACPI.sys", "disk.sys", "ntoskrnl.exe", "hal.dll"}), Names());
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_RecordCarriesRangeNamesAndIdentity) {
    // list: [head] [own] [nt]
    AddOwn();
    AddNt();

    Walk();

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    const RecordView& Nt = Records[0];
    EXPECT_EQ(0x00006D0000000000u, Nt.Start);
    EXPECT_EQ(0x00006D0000010000u, Nt.End);
    EXPECT_EQ("ntoskrnl.exe", Nt.Name);
    EXPECT_EQ(12, Nt.NameLength);
    EXPECT_EQ(13, Nt.NameMaximum);
    EXPECT_EQ("\\SystemRoot\\system32\\ntoskrnl.exe", Nt.Path);
    EXPECT_EQ(33, Nt.PathLength);
    EXPECT_EQ(34, Nt.PathMaximum);
    EXPECT_EQ(NtGuid, Nt.PdbGuid);
    EXPECT_EQ("ntkrnlmp.pdb", Nt.PdbName);
}

TEST_F(ModuleDiscovery, EnumLoadedModules_ModuleWithoutIdentityIsRecordedWithAMessage) {
    // list: [head] [own] [bad: an image of zeros]
    AddOwn();
    AddBad();

    Walk();

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    EXPECT_EQ("bad.sys", Records[0].Name);
    EXPECT_EQ(NoGuid, Records[0].PdbGuid);
    EXPECT_EQ("", Records[0].PdbName);
    EXPECT_EQ(std::vector<std::string>{"xxxxxx bad.sys\n"}, Messages());
}

// The head is a variable inside the kernel's data, and what follows it reads, at a loader entry's offsets,
// as a kernel-space base, a non-zero size and two names in valid memory: the walk still records nothing.
TEST_F(ModuleDiscovery, EnumLoadedModules_HeadWhoseNeighboursLookLikeAnEntryIsNeverRecorded) {
    // list: [head] [own]; the walk meets only the head
    AddOwn();
    Walk();
    EXPECT_TRUE(Table().empty());
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_WithoutItsOwnEntryRecordsNothing) {
    AddNt();
    Driver.DriverSection = nullptr;
    Walk();
    EXPECT_TRUE(Table().empty());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_OwnEntryOnAnInvalidPageRecordsNothing) {
    PKLDR_DATA_TABLE_ENTRY Own = AddOwn();
    AddNt();
    sim::SetPageState(Own, sizeof(LIST_ENTRY), sim::PageState::Invalid);

    Walk();

    EXPECT_TRUE(Table().empty());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_SkipsAnEntryOfSizeZero) {
    // list: [head] [own] [bad, SizeOfImage 0] [acpi]
    AddOwn();
    AddBad()->SizeOfImage = 0;
    AddAcpi();

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_SkipsAnEntryWhoseImageIsInUserSpace) {
    AddOwn();
    AddBad(false);
    AddAcpi();

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_SkipsAnEntryWithAnEmptyBaseName) {
    AddOwn();
    AddBad()->BaseDllName.Length = 0;
    AddAcpi();

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_SkipsAnEntryWhoseNameHasNoMaximumLength) {
    AddOwn();
    AddBad()->FullDllName.MaximumLength = 0;
    AddAcpi();

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_SkipsAnEntryWithoutAFullNameBuffer) {
    AddOwn();
    AddBad()->FullDllName.Buffer = nullptr;
    AddAcpi();

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_SkipsANameNotTerminatedRightAfterItsCount) {
    // "bad.sys" followed by 'x' where the NUL should be
    AddOwn();
    PKLDR_DATA_TABLE_ENTRY Bad = AddBad();
    Bad->BaseDllName.Buffer[7] = u'x';
    AddAcpi();

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_SkipsANameWhoseBufferIsInUserSpace) {
    AddOwn();
    PKLDR_DATA_TABLE_ENTRY Bad = AddBad();
    auto* UserCopy = (PWSTR)sim::MapRegion(sim::PageSize, false);
    std::memcpy(UserCopy, u"bad.sys", 16);
    Bad->BaseDllName.Buffer = UserCopy;
    AddAcpi();

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_SkipsANameWithAHoleInItsMiddlePage) {
    // full name F00-2101 across [page 0 valid] [page 1 invalid] [page 2 valid], never touched at page 1
    AddOwn();
    PKLDR_DATA_TABLE_ENTRY Bad = AddBad();
    auto* Pages = (UCHAR*)sim::MapRegion(3 * sim::PageSize);
    auto* Name = (PWSTR)(Pages + 0xF00);
    const size_t Characters = 0x900;
    for (size_t Index = 0; Index < Characters; Index++) {
        Name[Index] = u'n';
    }
    Name[Characters] = 0;
    Bad->FullDllName.Buffer = Name;
    Bad->FullDllName.Length = (USHORT)(Characters * sizeof(WCHAR));
    Bad->FullDllName.MaximumLength = (USHORT)((Characters + 1) * sizeof(WCHAR));
    sim::SetPageState(Pages + sim::PageSize, sim::PageSize, sim::PageState::Invalid);
    AddAcpi();

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_SkipsANameWhoseTerminatorIsOnAnInvalidPage) {
    // "bad.sys" ends at the end of [page 0 valid]; its NUL would be the first character of [page 1 invalid]
    AddOwn();
    PKLDR_DATA_TABLE_ENTRY Bad = AddBad();
    auto* Pages = (UCHAR*)sim::MapRegion(2 * sim::PageSize);
    auto* Name = (PWSTR)(Pages + sim::PageSize - 14);
    std::memcpy(Name, u"bad.sys", 14);
    sim::SetPageState(Pages + sim::PageSize, sim::PageSize, sim::PageState::Invalid);
    Bad->BaseDllName.Buffer = Name;
    AddAcpi();

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_SkipsAnEntryWhoseFieldsRunIntoAnInvalidPage) {
    // entry at FF0: its links on [page 0 valid], everything after them on [page 1 invalid]
    AddOwn();
    auto* Pages = (UCHAR*)sim::MapRegion(2 * sim::PageSize);
    auto* Damaged = (PKLDR_DATA_TABLE_ENTRY)(Pages + sim::PageSize - sizeof(LIST_ENTRY));
    InsertTailList(sim::LoadedModuleListHead(), &Damaged->InLoadOrderLinks);
    AddAcpi();
    sim::SetPageState(Pages + sim::PageSize, sim::PageSize, sim::PageState::Invalid);

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_LinkIntoInvalidMemoryEndsTheWalk) {
    // list: [head] [own] [acpi] -> an invalid page; disk, still linked behind it, is never reached
    AddOwn();
    PKLDR_DATA_TABLE_ENTRY Acpi = AddAcpi();
    AddDisk();
    void* Gone = sim::MapRegion(sim::PageSize);
    sim::SetPageState(Gone, sim::PageSize, sim::PageState::Invalid);
    Acpi->InLoadOrderLinks.Flink = (PLIST_ENTRY)Gone;

    Walk();

    EXPECT_EQ(std::vector<std::string>{"ACPI.sys"}, Names());
}

TEST_F(ModuleDiscovery, EnumLoadedModules_CycleWithoutItsOwnEntryStopsAfter4096Entries) {
    // own -> acpi -> disk -> acpi -> disk -> ... never back to own
    PKLDR_DATA_TABLE_ENTRY Own = AddOwn();
    PKLDR_DATA_TABLE_ENTRY Acpi = AddAcpi();
    PKLDR_DATA_TABLE_ENTRY Disk = AddDisk();
    Own->InLoadOrderLinks.Flink = &Acpi->InLoadOrderLinks;
    Disk->InLoadOrderLinks.Flink = &Acpi->InLoadOrderLinks;

    Walk();

    std::vector<std::string> Recorded = Names();
    ASSERT_EQ(4096u, Recorded.size());
    for (size_t Index = 0; Index < Recorded.size(); Index += 2) {
        ASSERT_EQ("ACPI.sys", Recorded[Index]) << "record " << Index;
        ASSERT_EQ("disk.sys", Recorded[Index + 1]) << "record " << Index + 1;
    }
}

TEST_F(ModuleDiscovery, EnumLoadedModules_FailedNameConversionLeavesTheFieldEmpty) {
    AddOwn();
    AddAcpi();
    sim::FailStringConversion(1);

    Walk();

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    EXPECT_EQ("<none>", Records[0].Name);
    EXPECT_EQ("\\SystemRoot\\System32\\drivers\\ACPI.sys", Records[0].Path);
    EXPECT_EQ(AcpiGuid, Records[0].PdbGuid);
    EXPECT_EQ(std::vector<std::string>{"RtlUnicodeStringToAnsiString err: 0xc0000017-ACPI.sys\n"}, Messages());
}

// What one walk over [head] [nt] [hal] [own] [acpi] leaves, piece by piece, when one allocation fails.
struct WalkExpectation {
    std::vector<std::string> Names;
    std::vector<std::string> Paths;
    std::vector<std::string> Messages;
};

class ModuleDiscoveryFailures : public ModuleDiscovery {
protected:
    void SetUp() override {
        ModuleDiscovery::SetUp();
        AddNt();
        AddHal();
        AddOwn();
        AddAcpi();
    }

    // Walks once, frees the table and checks that the teardown finds nothing left over.
    WalkExpectation WalkAndFree() {
        const size_t FirstMessage = Messages().size();
        Walk();
        WalkExpectation Seen;
        for (const RecordView& Record : Table()) {
            Seen.Names.push_back(Record.Name);
            Seen.Paths.push_back(Record.Path);
        }
        const std::vector<std::string> All = Messages();
        Seen.Messages.assign(All.begin() + (long)FirstMessage, All.end());
        FreeModuleTable();
        EXPECT_EQ(std::vector<std::string>(), sim::TeardownProblems());
        EXPECT_EQ(0u, sim::OutstandingAnsiStrings());
        return Seen;
    }
};

const std::vector<std::string> WalkNames = {"ACPI.sys", "ntoskrnl.exe", "hal.dll"};
const std::vector<std::string> WalkPaths = {"\\SystemRoot\\System32\\drivers\\ACPI.sys",
                                            "\\SystemRoot\\system32\\ntoskrnl.exe", "\\SystemRoot\\system32\\hal.dll"};

TEST_F(ModuleDiscoveryFailures, EnumLoadedModules_WalkOfThreeModulesAllocatesFifteenTimes) {
    // per module: the record, the converted base name, its buffer, the converted full name, its buffer
    const size_t Before = sim::AllocationCount();
    WalkExpectation Seen = WalkAndFree();
    EXPECT_EQ(15u, sim::AllocationCount() - Before);
    EXPECT_EQ(WalkNames, Seen.Names);
    EXPECT_EQ(WalkPaths, Seen.Paths);
    EXPECT_EQ(NoMessages, Seen.Messages);
}

TEST_F(ModuleDiscoveryFailures, EnumLoadedModules_EachFailedAllocationLosesOnlyItsPiece) {
    for (size_t Nth = 1; Nth <= 15; Nth++) {
        SCOPED_TRACE("allocation " + std::to_string(Nth));
        const size_t Module = (Nth - 1) / 5;
        const std::string Base = WalkNames[Module];
        const std::string Full = WalkPaths[Module];
        WalkExpectation Expected{WalkNames, WalkPaths, {}};
        switch ((Nth - 1) % 5) {
        case 0:  // the record: the module is not recorded at all
            Expected.Names.erase(Expected.Names.begin() + (long)Module);
            Expected.Paths.erase(Expected.Paths.begin() + (long)Module);
            break;
        case 1:
            Expected.Names[Module] = "<none>";
            Expected.Messages = {"RtlUnicodeStringToAnsiString err: 0xc0000017-" + Base + "\n"};
            break;
        case 2:
            Expected.Names[Module] = "<none>";
            Expected.Messages = {"ExAllocatePoolWithTag err." + Base + "\n"};
            break;
        case 3:
            Expected.Paths[Module] = "<none>";
            Expected.Messages = {"RtlUnicodeStringToAnsiString err: 0xc0000017-" + Full + "\n"};
            break;
        case 4:
            Expected.Paths[Module] = "<none>";
            Expected.Messages = {"ExAllocatePoolWithTag err." + Full + "\n"};
            break;
        }
        sim::FailAllocation(Nth);

        WalkExpectation Seen = WalkAndFree();

        EXPECT_EQ(Expected.Names, Seen.Names);
        EXPECT_EQ(Expected.Paths, Seen.Paths);
        EXPECT_EQ(Expected.Messages, Seen.Messages);
    }
}

TEST_F(ModuleDiscoveryFailures, EnumLoadedModules_EachFailedConversionLosesOnlyItsName) {
    for (size_t Nth = 1; Nth <= 6; Nth++) {
        SCOPED_TRACE("conversion " + std::to_string(Nth));
        const size_t Module = (Nth - 1) / 2;
        WalkExpectation Expected{WalkNames, WalkPaths, {}};
        if ((Nth - 1) % 2 == 0) {
            Expected.Messages = {"RtlUnicodeStringToAnsiString err: 0xc0000017-" + WalkNames[Module] + "\n"};
            Expected.Names[Module] = "<none>";
        } else {
            Expected.Messages = {"RtlUnicodeStringToAnsiString err: 0xc0000017-" + WalkPaths[Module] + "\n"};
            Expected.Paths[Module] = "<none>";
        }
        sim::FailStringConversion(Nth);

        WalkExpectation Seen = WalkAndFree();

        EXPECT_EQ(Expected.Names, Seen.Names);
        EXPECT_EQ(Expected.Paths, Seen.Paths);
        EXPECT_EQ(Expected.Messages, Seen.Messages);
    }
}

using ModuleDiscoveryDeathTest = ModuleDiscovery;

// The walk has no exception handler: the boot-state guard stands in for one.
TEST_F(ModuleDiscoveryDeathTest, EnumLoadedModules_FaultingEntryStopsTheSystem) {
    AddOwn();
    PKLDR_DATA_TABLE_ENTRY Acpi = AddAcpi();
    sim::SetPageState(Acpi, sizeof(KLDR_DATA_TABLE_ENTRY), sim::PageState::Faulting);
    EXPECT_DEATH(Walk(), "STOP 0x0000001E KMODE_EXCEPTION_NOT_HANDLED reading");
}

// ----- Image-load notifications ---------------------------------------------------------------------

const std::u16string BeepPath = u"\\SystemRoot\\System32\\drivers\\beep.sys";
const char* const BeepPathText = "\\SystemRoot\\System32\\drivers\\beep.sys";

class ImageLoadNotification : public ModuleDiscovery {
protected:
    void SetUp() override {
        ModuleDiscovery::SetUp();
        MapImage(BeepBase, 0x3000, BeepGuid, "beep.pdb");
        RegisterNotify();
    }

    // A name in kernel-space memory that the test may damage, its text on a page of its own.
    static PUNICODE_STRING KernelName(const std::u16string& Text) {
        auto* Region = (UCHAR*)sim::MapRegion(2 * sim::PageSize);
        auto* Name = (PUNICODE_STRING)Region;
        auto* Buffer = (PWSTR)(Region + sim::PageSize);
        std::memcpy(Buffer, Text.c_str(), (Text.size() + 1) * sizeof(WCHAR));
        Name->Buffer = Buffer;
        Name->Length = (USHORT)(Text.size() * sizeof(WCHAR));
        Name->MaximumLength = (USHORT)((Text.size() + 1) * sizeof(WCHAR));
        return Name;
    }
};

TEST_F(ImageLoadNotification, LoadImageNotify_RecordsAKernelModeDriver) {
    sim::ReportImageLoad(BeepPath, BeepBase, 0x3000);

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    const RecordView& Beep = Records[0];
    EXPECT_EQ(0x00006D0000500000u, Beep.Start);
    EXPECT_EQ(0x00006D0000503000u, Beep.End);
    EXPECT_EQ("\\SystemRoot\\System32\\drivers\\beep.sys", Beep.Path);
    EXPECT_EQ(37, Beep.PathLength);
    EXPECT_EQ(38, Beep.PathMaximum);
    EXPECT_EQ(BeepGuid, Beep.PdbGuid);
    EXPECT_EQ("beep.pdb", Beep.PdbName);
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ImageLoadNotification, LoadImageNotify_ModuleNameLengthsCountTheBackslash) {
    // the last backslash is character 28: Length 37 - 28, MaximumLength 38 - 28
    sim::ReportImageLoad(BeepPath, BeepBase, 0x3000);

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    EXPECT_EQ("beep.sys", Records[0].Name);
    EXPECT_EQ(9, Records[0].NameLength);
    EXPECT_EQ(10, Records[0].NameMaximum);
}

TEST_F(ImageLoadNotification, LoadImageNotify_IgnoresAnImageMappedIntoAProcess) {
    sim::ReportImageLoad(u"\\Windows\\System32\\ntdll.dll", BeepBase, 0x3000, (HANDLE)0x1234, true);
    EXPECT_TRUE(Table().empty());
    EXPECT_EQ(0u, sim::AllocationCount());
}

TEST_F(ImageLoadNotification, LoadImageNotify_IgnoresAnImageWithoutTheSystemModeBit) {
    sim::ReportImageLoad(BeepPath, BeepBase, 0x3000, nullptr, false);
    EXPECT_TRUE(Table().empty());
    EXPECT_EQ(0u, sim::AllocationCount());
}

TEST_F(ImageLoadNotification, LoadImageNotify_OtherPropertyBitsDoNotMatter) {
    auto* Info = (PIMAGE_INFO)sim::MapRegion(sizeof(IMAGE_INFO));
    Info->Properties = 0x7FF;
    Info->ImageBase = (PVOID)BeepBase;
    Info->ImageSize = 0x3000;

    sim::DeliverImageLoad(KernelName(BeepPath), nullptr, Info);

    EXPECT_EQ(std::vector<std::string>{"beep.sys"}, Names());
}

TEST_F(ImageLoadNotification, LoadImageNotify_NameWithoutBackslashLeavesTheModuleNameEmpty) {
    sim::ReportImageLoad(u"beep.sys", BeepBase, 0x3000);

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    EXPECT_EQ("", Records[0].Name);
    EXPECT_EQ(0, Records[0].NameLength);
    EXPECT_EQ(0, Records[0].NameMaximum);
    EXPECT_EQ("beep.sys", Records[0].Path);
    EXPECT_EQ(BeepGuid, Records[0].PdbGuid);
    EXPECT_EQ(std::vector<std::string>{"Find pos failed: beep.sys\n"}, Messages());
}

TEST_F(ImageLoadNotification, LoadImageNotify_LongNamesAreCutTo254Characters) {
    // 29 characters of directories, then a file name of 284: 313 in all, the last backslash at 28
    const std::string File = std::string(280, 'x') + ".sys";
    const std::string Path = "\\SystemRoot\\System32\\drivers\\" + File;
    sim::ReportImageLoad(std::u16string(Path.begin(), Path.end()), BeepBase, 0x3000);

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    EXPECT_EQ("\\SystemRoot\\System32\\drivers\\" + std::string(225, 'x'), Records[0].Path);
    EXPECT_EQ(313, Records[0].PathLength);
    EXPECT_EQ(314, Records[0].PathMaximum);
    EXPECT_EQ(std::string(254, 'x'), Records[0].Name);
    EXPECT_EQ(285, Records[0].NameLength);
    EXPECT_EQ(286, Records[0].NameMaximum);
}

TEST_F(ImageLoadNotification, LoadImageNotify_ImageOfSizeZeroIsRecordedButNeverMatched) {
    sim::ReportImageLoad(BeepPath, BeepBase, 0);

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    EXPECT_EQ(0x00006D0000500000u, Records[0].Start);
    EXPECT_EQ(0x00006D0000500000u, Records[0].End);
    PCHAR Name = nullptr;
    ULONG64 Offset = 0;
    EXPECT_FALSE(FindModuleByAddress((PVOID)BeepBase, &Name, &Offset));
    EXPECT_FALSE(FindModuleByAddress((PVOID)(BeepBase + 0x10), &Name, &Offset));
}

TEST_F(ImageLoadNotification, LoadImageNotify_RefusesANameNotTerminatedRightAfterItsCount) {
    // counts "beep" of "beep.sys"
    PUNICODE_STRING Name = KernelName(u"beep.sys");
    Name->Length = 8;

    sim::ReportImageLoadWithName(Name, BeepBase, 0x3000);

    EXPECT_TRUE(Table().empty());
    EXPECT_EQ(0u, sim::AllocationCount());
}

TEST_F(ImageLoadNotification, LoadImageNotify_RefusesANameInUserSpace) {
    PUNICODE_STRING Name = KernelName(BeepPath);
    auto* UserCopy = (PWSTR)sim::MapRegion(sim::PageSize, false);
    std::memcpy(UserCopy, BeepPath.c_str(), (BeepPath.size() + 1) * sizeof(WCHAR));
    Name->Buffer = UserCopy;

    sim::ReportImageLoadWithName(Name, BeepBase, 0x3000);

    EXPECT_TRUE(Table().empty());
}

TEST_F(ImageLoadNotification, LoadImageNotify_RefusesANameWhoseDescriptorIsOnAnInvalidPage) {
    PUNICODE_STRING Name = KernelName(BeepPath);
    sim::SetPageState(Name, sizeof(UNICODE_STRING), sim::PageState::Invalid);

    sim::ReportImageLoadWithName(Name, BeepBase, 0x3000);

    EXPECT_TRUE(Table().empty());
    EXPECT_EQ(NoMessages, Messages());
}

// No readable memory can be placed at the very top of the address space here, so these only show that
// such names are refused and the test returns: one in the last page, one whose range wraps past the top.
TEST_F(ModuleDiscovery, IsValidUnicodeString_RefusesNamesAtTheTopOfTheAddressSpaceAndEnds) {
    UNICODE_STRING InLastPage = {0x10, 0x12, (PWSTR)0xFFFFFFFFFFFFF000};
    EXPECT_FALSE(IsValidUnicodeString(&InLastPage));
    UNICODE_STRING Wrapping = {0xFFFE, 0xFFFE, (PWSTR)0xFFFFFFFFFFFFF800};
    EXPECT_FALSE(IsValidUnicodeString(&Wrapping));
}

TEST_F(ImageLoadNotification, LoadImageNotify_RefusesAMissingName) {
    sim::ReportImageLoadWithName(nullptr, BeepBase, 0x3000);
    EXPECT_TRUE(Table().empty());
}

TEST_F(ImageLoadNotification, LoadImageNotify_ImageLoadedBeforeTheWalkStandsFirst) {
    // list: [head] [own] [acpi]; beep's load is reported first
    AddOwn();
    AddAcpi();
    sim::ReportImageLoad(BeepPath, BeepBase, 0x3000);

    Walk();

    EXPECT_EQ((std::vector<std::string>{"beep.sys", "ACPI.sys"}), Names());
}

TEST_F(ImageLoadNotification, LoadImageNotify_FailedRecordAllocationLosesTheImageSilently) {
    sim::FailAllocation(1);
    sim::ReportImageLoad(BeepPath, BeepBase, 0x3000);
    EXPECT_TRUE(Table().empty());
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ImageLoadNotification, LoadImageNotify_FailedConversionLeavesBothNamesEmpty) {
    sim::FailAllocation(2);

    sim::ReportImageLoad(BeepPath, BeepBase, 0x3000);

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    EXPECT_EQ("<none>", Records[0].Name);
    EXPECT_EQ("<none>", Records[0].Path);
    EXPECT_EQ(BeepGuid, Records[0].PdbGuid);
    EXPECT_EQ(std::vector<std::string>{"RtlUnicodeStringToAnsiString err: 0xc0000017-" + std::string(BeepPathText) +
                                       "\n"},
              Messages());
}

TEST_F(ImageLoadNotification, LoadImageNotify_ConversionStatusIsReportedAsGiven) {
    sim::FailStringConversion(1, (NTSTATUS)0xC00000F0);

    sim::ReportImageLoad(BeepPath, BeepBase, 0x3000);

    ASSERT_EQ(1u, Table().size());
    EXPECT_EQ(std::vector<std::string>{"RtlUnicodeStringToAnsiString err: 0xc00000f0-" + std::string(BeepPathText) +
                                       "\n"},
              Messages());
}

TEST_F(ImageLoadNotification, LoadImageNotify_FailedPathBufferLeavesOnlyThePathEmpty) {
    sim::FailAllocation(3);

    sim::ReportImageLoad(BeepPath, BeepBase, 0x3000);

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    EXPECT_EQ("beep.sys", Records[0].Name);
    EXPECT_EQ("<none>", Records[0].Path);
    EXPECT_EQ(std::vector<std::string>{"ExAllocatePoolWithTag err." + std::string(BeepPathText) + "\n"}, Messages());
}

TEST_F(ImageLoadNotification, LoadImageNotify_FailedNameBufferLeavesOnlyTheNameEmpty) {
    sim::FailAllocation(4);

    sim::ReportImageLoad(BeepPath, BeepBase, 0x3000);

    std::vector<RecordView> Records = Table();
    ASSERT_EQ(1u, Records.size());
    EXPECT_EQ("<none>", Records[0].Name);
    EXPECT_EQ(BeepPathText, Records[0].Path);
    EXPECT_EQ(std::vector<std::string>{"ExAllocatePoolWithTag err." + std::string(BeepPathText) + "\n"}, Messages());
}

TEST_F(ImageLoadNotification, LoadImageNotify_AllocatesFourTimesAndGivesTheConvertedStringBack) {
    // the record, the converted path, the path's buffer, the name's buffer
    sim::ReportImageLoad(BeepPath, BeepBase, 0x3000);
    EXPECT_EQ(4u, sim::AllocationCount());
    EXPECT_EQ(3u, sim::OutstandingPool().size());
    EXPECT_EQ(0u, sim::OutstandingAnsiStrings());
}

TEST_F(ImageLoadNotification, LoadImageNotify_FaultReadingTheImageInfoFreesTheRecord) {
    // IMAGE_INFO at FF8: Properties on [page 0 valid], ImageBase at 1000 on [page 1 faulting]
    auto* Pages = (UCHAR*)sim::MapRegion(2 * sim::PageSize);
    auto* Info = (PIMAGE_INFO)(Pages + sim::PageSize - 8);
    Info->Properties = IMAGE_INFO_SYSTEM_MODE_IMAGE;
    sim::SetPageState(Pages + sim::PageSize, sim::PageSize, sim::PageState::Faulting);

    sim::DeliverImageLoad(KernelName(BeepPath), nullptr, Info);

    EXPECT_EQ(std::vector<std::string>{"Catch except. \r\n"}, Messages());
    EXPECT_TRUE(Table().empty());
    EXPECT_EQ(1u, sim::AllocationCount());
    EXPECT_TRUE(sim::OutstandingPool().empty());
}

TEST_F(ImageLoadNotification, LoadImageNotify_FaultAfterTheConversionFreesEverythingItAllocated) {
    // The name's page goes bad right after the conversion; the message naming it then faults.
    PUNICODE_STRING Name = KernelName(u"beep.sys");
    sim::ChangePageStateAfterNextConversion(Name->Buffer, sim::PageSize, sim::PageState::Faulting);

    sim::ReportImageLoadWithName(Name, BeepBase, 0x3000);

    EXPECT_EQ(std::vector<std::string>{"Catch except. \r\n"}, Messages());
    EXPECT_TRUE(Table().empty());
    EXPECT_EQ(4u, sim::AllocationCount());
    EXPECT_TRUE(sim::OutstandingPool().empty());
    EXPECT_EQ(0u, sim::OutstandingAnsiStrings());
}

TEST_F(ImageLoadNotification, LoadImageNotify_FaultOnTheNamesTerminatorAllocatesNothing) {
    // [page 0 valid: the descriptor at 0, "beep.sys" ending at FFF] [page 1 faulting: its NUL]
    auto* Pages = (UCHAR*)sim::MapRegion(2 * sim::PageSize);
    auto* Text = (PWSTR)(Pages + sim::PageSize - 16);
    std::memcpy(Text, u"beep.sys", 16);
    auto* Name = (PUNICODE_STRING)Pages;
    Name->Buffer = Text;
    Name->Length = 16;
    Name->MaximumLength = 18;
    sim::SetPageState(Pages + sim::PageSize, sim::PageSize, sim::PageState::Faulting);

    sim::ReportImageLoadWithName(Name, BeepBase, 0x3000);

    EXPECT_EQ(std::vector<std::string>{"Catch except. \r\n"}, Messages());
    EXPECT_EQ(0u, sim::AllocationCount());
}

// ----- Notifications from several threads while the walk runs -----------------------------------------

// Every image here lies wherever the simulated kernel maps it: ThreadSanitizer, which runs this test, keeps
// its own shadow memory at the fixed addresses the other tests use.
TEST_F(ModuleDiscovery, ConcurrentImageLoadsDuringTheWalkAreEachLinkedOnce) {
    constexpr size_t WalkModules = 30;
    constexpr size_t Loaders = 4;
    constexpr size_t LoadsPerThread = 100;
    RegisterNotify();
    Driver.DriverSection = sim::AddLoadedModule(u"\\SystemRoot\\System32\\drivers\\HesTolvaneDrv.sys",
                                                u"HesTolvaneDrv.sys", (ULONG_PTR)sim::MapRegion(0x1000), 0x1000);
    auto* Walked = (UCHAR*)sim::MapRegion(WalkModules * sim::PageSize);
    for (size_t Index = 0; Index < WalkModules; Index++) {
        const std::u16string Name = u"m" + std::u16string(1, (char16_t)(u'A' + Index)) + u".sys";
        sim::AddLoadedModule(u"\\SystemRoot\\" + Name, Name, (ULONG_PTR)(Walked + Index * sim::PageSize), 0x1000);
    }
    auto* Loaded = (UCHAR*)sim::MapRegion(Loaders * LoadsPerThread * sim::PageSize);
    std::atomic<bool> Go{false};
    std::vector<std::thread> Threads;
    for (size_t Thread = 0; Thread < Loaders; Thread++) {
        Threads.emplace_back([&, Thread] {
            while (!Go) {
                std::this_thread::yield();
            }
            for (size_t Load = 0; Load < LoadsPerThread; Load++) {
                const ULONG_PTR Base = (ULONG_PTR)(Loaded + (Thread * LoadsPerThread + Load) * sim::PageSize);
                sim::ReportImageLoad(u"\\SystemRoot\\System32\\drivers\\t.sys", Base, 0x1000);
            }
        });
    }

    Go = true;
    Walk();
    for (std::thread& Thread : Threads) {
        Thread.join();
    }

    // Each image once; the walk's records in list order, each thread's in the order it reported them.
    std::vector<int> SeenWalked(WalkModules, 0);
    std::vector<int> SeenLoaded(Loaders * LoadsPerThread, 0);
    size_t NextWalked = 0;
    std::vector<size_t> NextLoaded(Loaders, 0);
    for (const RecordView& Record : Table()) {
        if (Record.Start >= (ULONG_PTR)Walked && Record.Start < (ULONG_PTR)Walked + WalkModules * sim::PageSize) {
            const size_t Index = (Record.Start - (ULONG_PTR)Walked) / sim::PageSize;
            SeenWalked[Index]++;
            EXPECT_EQ(NextWalked++, Index);
        } else {
            const size_t Index = (Record.Start - (ULONG_PTR)Loaded) / sim::PageSize;
            ASSERT_LT(Index, SeenLoaded.size());
            SeenLoaded[Index]++;
            const size_t Thread = Index / LoadsPerThread;
            EXPECT_EQ(NextLoaded[Thread]++, Index % LoadsPerThread);
        }
    }
    EXPECT_EQ(std::vector<int>(WalkModules, 1), SeenWalked);
    EXPECT_EQ(std::vector<int>(Loaders * LoadsPerThread, 1), SeenLoaded);
    EXPECT_EQ(0u, sim::SpinLocksHeld());
}

}  // namespace
