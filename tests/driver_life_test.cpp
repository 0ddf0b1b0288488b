// Whole lives of the driver over boots in a row that share one registry, from first boots and crashes
// during the walk to whole lives under every single allocation failure and every failure point of the
// kernel services the driver calls.
#include <cstdio>
#include <cstring>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "driver_scene.h"

namespace {

// A torn loader entry: its page says valid but every touch faults, as when the entry's memory is
// unmapped under the walk. The walk has no handler of its own there, so touching it kills the boot.
constexpr ULONG_PTR TornBase = 0x00006C0000040000;
constexpr ULONG TornSize = 0x3000;
constexpr ULONG KmodeExceptionNotHandled = 0x1E;

const char* const CrashedOn = "VQN Dump Begin.\nCRASHED ON: 2026-12-08 04:30:15:7\n";
const char* const PageFaultLine =
    "VQN: BUGCHECK CODE 50: FFFFF80000001000 0000000000000000 FFFFF80012345678 0000000000000002\n";

void RaisePageFault() {
    sim::BugCheck(0x50, 0xFFFFF80000001000, 0, 0xFFFFF80012345678, 2);
}

// nt, then the torn entry, then hal: the walk records nt and dies on the next entry.
PKLDR_DATA_TABLE_ENTRY LoadKernelModulesWithATornEntry() {
    scene::MapImage(scene::NtBase, scene::NtSize, scene::NtGuid, "ntkrnlmp.pdb");
    sim::AddLoadedModule(u"\\SystemRoot\\system32\\ntoskrnl.exe", u"ntoskrnl.exe", scene::NtBase, scene::NtSize);
    PKLDR_DATA_TABLE_ENTRY Torn =
        sim::AddLoadedModule(u"\\SystemRoot\\System32\\drivers\\torn.sys", u"torn.sys", TornBase, TornSize);
    scene::MapImage(scene::HalBase, scene::HalSize, scene::HalGuid, "hal.pdb");
    sim::AddLoadedModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll", scene::HalBase, scene::HalSize);
    sim::SetPageState(Torn, sizeof(KLDR_DATA_TABLE_ENTRY), sim::PageState::Faulting);
    return Torn;
}

std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> Split;
    std::istringstream Stream(Text);
    for (std::string Line; std::getline(Stream, Line);) {
        Split.push_back(Line);
    }
    return Split;
}

// The register block and stack frames of a real unwind differ from run to run; their form does not:
// the block's 24 register lines, up to 20 frames, and the end marker.
void ExpectStackThenEnd(const std::string& Tail) {
    const std::vector<std::string> Split = Lines(Tail);
    ASSERT_GE(Split.size(), 26u) << Tail;
    EXPECT_TRUE(std::regex_match(Split[0], std::regex("CONTEXT \\([0-9A-F]{16}\\):"))) << Split[0];
    for (size_t Index = 1; Index <= 24; Index++) {
        EXPECT_TRUE(std::regex_match(Split[Index], std::regex(" {9}[A-Z0-9]+ ?= [0-9A-F]{4,16}"))) << Split[Index];
    }
    const std::regex Frame("[0-9A-F]{16}  \\(([0-9A-F]{16}  ){3}[0-9A-F]{16}\\) .+");
    for (size_t Index = 25; Index + 1 < Split.size(); Index++) {
        const bool Last = Index + 2 == Split.size();
        EXPECT_TRUE(std::regex_match(Split[Index], Frame) ||
                    (Last && (Split[Index] == "ControlPc" || Split[Index] == "PrintStack")))
            << Split[Index];
    }
    EXPECT_LE(Split.size() - 26, 21u);
    EXPECT_EQ("VQN Dump End.", Split.back());
    EXPECT_EQ('\n', Tail.back());
}

// Splits a transcript at the register block: the exact part before it, and the rest.
std::pair<std::string, std::string> AtRegisterBlock(const std::string& Transcript) {
    const size_t Context = Transcript.find("CONTEXT (");
    if (Context == std::string::npos) {
        return {Transcript, ""};
    }
    return {Transcript.substr(0, Context), Transcript.substr(Context)};
}

std::string Hex16(ULONG_PTR Value) {
    char Text[17];
    std::snprintf(Text, sizeof Text, "%016llX", (unsigned long long)Value);
    return Text;
}

// Lives run on Windows 11 under Driver Verifier's code-integrity check, as in a lab that verifies the
// driver: any request of the driver's for executable pool stops the system.
class DriverLife : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        sim::SetVerifierCodeIntegrity(true);
        scene::InstallService();
    }
};

TEST_F(DriverLife, FirstBootRecordsTheKernelAndLaterImagesAndReportsThem) {
    const sim::BootResult Boot = sim::Boot([] {
        scene::SetClock();
        scene::LoadKernelModules();
        ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
        scene::ReportLateImage();
        RaisePageFault();
        sim::UnloadDriver();
    });

    EXPECT_FALSE(Boot.Died);
    const auto [Exact, Stack] = AtRegisterBlock(Boot.Com1);
    EXPECT_EQ(std::string(scene::NormalBootBanner) + CrashedOn + scene::TableHead + scene::NtRow + scene::HalRow +
                  scene::LateRow + PageFaultLine,
              Exact);
    ExpectStackThenEnd(Stack);
    EXPECT_FALSE(sim::GetRegistryValue(scene::Key(), u"Loaded"));
    EXPECT_EQ(3u, sim::GetRegistryDword(scene::Key(), u"Version"));
}

// Windows 7 knows no non-executable non-paged pool (a request for it is itself a bug check) and no
// code-integrity check: the same life there takes executable pool, and the report is the same.
TEST_F(DriverLife, Windows7LifeTakesThePoolItKnowsAndReportsTheSame) {
    sim::SetVerifierCodeIntegrity(false);
    sim::SetWindowsRelease(sim::Windows7Sp1());
    for (int Boot = 1; Boot <= 2; Boot++) {
        const sim::BootResult Life = sim::Boot([] {
            scene::SetClock();
            scene::LoadKernelModules();
            ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
            scene::ReportLateImage();
            size_t DriverBlocks = 0;
            for (const sim::PoolBlock& Block : sim::OutstandingPool()) {
                if (Block.Tag == HesTolvanePoolTag) {
                    EXPECT_EQ(NonPagedPool, Block.Type);
                    DriverBlocks++;
                }
            }
            EXPECT_EQ(9u, DriverBlocks) << "three records with two names each";
            RaisePageFault();
            sim::UnloadDriver();
        });
        EXPECT_FALSE(Life.Died) << "boot " << Boot;
        const auto [Exact, Stack] = AtRegisterBlock(Life.Com1);
        EXPECT_EQ(std::string(scene::NormalBootBanner) + CrashedOn + scene::TableHead + scene::NtRow +
                      scene::HalRow + scene::LateRow + PageFaultLine,
                  Exact)
            << "boot " << Boot;
        ExpectStackThenEnd(Stack);
    }
}

// What the driver asked for before it chose by release: executable non-paged pool, which the code-integrity
// check answers with a bug check at the first allocation. Here a record is made before start-up has chosen.
TEST_F(DriverLife, ExecutablePoolStopsTheSystemUnderTheCodeIntegrityCheck) {
    ASSERT_EQ(NonPagedPool, DriverPoolType);
    scene::MapImage(scene::LateBase, scene::LateSize, scene::LateGuid, "late.pdb");
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(LoadImageNotify));
    EXPECT_DEATH(sim::ReportImageLoad(u"\\SystemRoot\\System32\\drivers\\late.sys", scene::LateBase,
                                      scene::LateSize),
                 "\\*\\*\\* STOP 0x000000C4 DRIVER_VERIFIER_DETECTED_VIOLATION 0x2000 0x[0-9A-F]+ 0x0 0x54736548");
    PsRemoveLoadImageNotifyRoutine(LoadImageNotify);
}

// The walk dies on a torn loader entry: the kernel's KMODE_EXCEPTION_NOT_HANDLED runs the callback,
// which reports what was recorded by then. The marker was flushed before the walk, so it survives the
// power going, and the next boot, on the same machine, runs without collection: no walk, no
// notification, the four-line report, and a registry it only reads.
TEST_F(DriverLife, BootThatDiesDuringTheWalkIsFollowedByCarefulBoots) {
    PKLDR_DATA_TABLE_ENTRY Torn = nullptr;
    const sim::BootResult Dying = sim::Boot([&Torn] {
        scene::SetClock();
        Torn = LoadKernelModulesWithATornEntry();
        sim::LoadDriver();
        ADD_FAILURE() << "the walk went past the torn entry";
    });

    ASSERT_TRUE(Dying.Died);
    EXPECT_EQ(KmodeExceptionNotHandled, Dying.StopCode);
    // An access violation (a read) at an address inside the torn entry, by an instruction of the driver.
    EXPECT_EQ(0xC0000005u, KiBugCheckData[1]);
    const sim::HostImage DriverCode = sim::HostImageOf((const void*)&EnumLoadedModules);
    EXPECT_GE(KiBugCheckData[2], DriverCode.Start);
    EXPECT_LT(KiBugCheckData[2], DriverCode.End);
    EXPECT_EQ(0u, KiBugCheckData[3]);
    EXPECT_GE(KiBugCheckData[4], (ULONG_PTR)Torn);
    EXPECT_LT(KiBugCheckData[4], (ULONG_PTR)Torn + sizeof(KLDR_DATA_TABLE_ENTRY));
    const auto [Exact, Stack] = AtRegisterBlock(Dying.Com1);
    EXPECT_EQ(std::string(scene::NormalBootBanner) + CrashedOn + scene::TableHead + scene::NtRow +
                  "VQN: BUGCHECK CODE 1E: 00000000C0000005 " + Hex16(KiBugCheckData[2]) + " 0000000000000000 " +
                  Hex16(KiBugCheckData[4]) + "\n",
              Exact);
    ExpectStackThenEnd(Stack);
    EXPECT_EQ(1u, sim::GetRegistryDword(scene::Key(), u"Loaded"));
    EXPECT_EQ(3u, sim::GetRegistryDword(scene::Key(), u"Version"));

    for (int After = 1; After <= 2; After++) {
        const sim::BootResult Careful = sim::Boot([] {
            scene::SetClock();
            LoadKernelModulesWithATornEntry();
            ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
            EXPECT_FALSE(ModuleTrackingEnabled);
            EXPECT_EQ(0u, sim::RegisteredImageNotifyRoutines());
            EXPECT_TRUE(IsListEmpty(&ModuleListHead));
            RaisePageFault();
            sim::UnloadDriver();
            EXPECT_EQ((std::vector<std::string>{
                          "Open \\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HesTolvaneDrv access "
                          "0x2001F attributes 0x240",
                          "Query Loaded", "Close",
                          "Open \\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HesTolvaneDrv access "
                          "0xF003F attributes 0x240",
                          "Open \\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HesTolvaneDrv access "
                          "0x2001F attributes 0x240",
                          "Query Version", "Close", "Close"}),
                      sim::RegistryJournal());
        });

        EXPECT_FALSE(Careful.Died) << "boot " << After << " after the crash";
        EXPECT_EQ("HesTolvaneDrv ver: 3, Load: 2026-12-08 04:30:15:7\n"
                  "last bsod.\n"
                  "VQN Dump Begin.\n"
                  "CRASHED ON: 2026-12-08 04:30:15:7\n"
                  "VQN: BUGCHECK CODE 50: FFFFF80000001000 0000000000000000 FFFFF80012345678 0000000000000002\n"
                  "VQN Dump End.\n",
                  Careful.Com1);
        EXPECT_EQ(1u, sim::GetRegistryDword(scene::Key(), u"Loaded"));
        EXPECT_EQ(3u, sim::GetRegistryDword(scene::Key(), u"Version"));
    }
}

// What the flush after each write is for: a marker that never reaches the disk is lost with the power,
// the next boot takes itself for a normal one, walks again, and dies again on the same entry.
TEST_F(DriverLife, UnflushedMarkerIsLostAndTheSameCrashRepeats) {
    for (int Attempt = 1; Attempt <= 2; Attempt++) {
        const sim::BootResult Dying = sim::Boot([] {
            sim::FailRegistry(sim::RegistryFault::Flush, STATUS_INSUFFICIENT_RESOURCES, true);
            scene::SetClock();
            LoadKernelModulesWithATornEntry();
            sim::LoadDriver();
        });
        EXPECT_TRUE(Dying.Died) << "boot " << Attempt;
        EXPECT_EQ(std::string(scene::NormalBootBanner), Dying.Com1.substr(0, std::strlen(scene::NormalBootBanner)))
            << "boot " << Attempt;
        EXPECT_FALSE(sim::GetRegistryValue(scene::Key(), u"Loaded")) << "boot " << Attempt;
    }
    // The dead machine stays off: there is no unload left to check.
    sim::Reset();
}

// An older version's marker blames a walk this version no longer has: collection runs again under this
// version's own marker, the version becomes 3, and the boot after is an ordinary one.
TEST_F(DriverLife, OlderVersionsMarkerGetsOneMoreTry) {
    sim::SetRegistryDword(scene::Key(), u"Loaded", 1);
    sim::SetRegistryDword(scene::Key(), u"Version", 2);

    const sim::BootResult Retry = sim::Boot([] {
        scene::SetClock();
        scene::LoadKernelModules();
        ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
        EXPECT_TRUE(ModuleTrackingEnabled);
        EXPECT_EQ(1u, sim::RegisteredImageNotifyRoutines());
        RaisePageFault();
        sim::UnloadDriver();
    });

    EXPECT_FALSE(Retry.Died);
    const auto [Exact, Stack] = AtRegisterBlock(Retry.Com1);
    EXPECT_EQ(std::string("HesTolvaneDrv ver: 3, Load: 2026-12-08 04:30:15:7\n"
                          "last bsod, but new version.\n") +
                  CrashedOn + scene::TableHead + scene::NtRow + scene::HalRow + PageFaultLine,
              Exact);
    ExpectStackThenEnd(Stack);
    EXPECT_FALSE(sim::GetRegistryValue(scene::Key(), u"Loaded"));
    EXPECT_EQ(3u, sim::GetRegistryDword(scene::Key(), u"Version"));

    const sim::BootResult Next = sim::Boot([] {
        scene::SetClock();
        ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
        sim::UnloadDriver();
    });
    EXPECT_EQ(scene::NormalBootBanner, Next.Com1);
}

// Another processor bug-checks right after the callback is registered, before start-up has chosen the
// console: the callback runs and counts its report, but no byte can reach COM1. The marker was already
// on the disk, so the next boot runs without collection.
TEST_F(DriverLife, BugCheckBeforeTheConsoleIsOnWritesNothing) {
    const sim::BootResult Dying = sim::Boot([] {
        scene::SetClock();
        scene::LoadKernelModules();
        sim::OnKernelCall([](const std::string& Call) {
            if (Call == "KeRegisterBugCheckCallback") {
                sim::CrashSystem(0xD1, 0xFFFFF80000001234, 2, 0, 0xFFFFF80000005678);
            }
        });
        sim::LoadDriver();
        ADD_FAILURE() << "start-up went on after the crash";
    });

    ASSERT_TRUE(Dying.Died);
    EXPECT_EQ(0xD1u, Dying.StopCode);
    EXPECT_EQ("", Dying.Com1);
    EXPECT_EQ(1u, DumpCount);
    EXPECT_TRUE(sim::PortAccesses().empty());

    const sim::BootResult Next = sim::Boot([] {
        scene::SetClock();
        scene::LoadKernelModules();
        ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
        sim::UnloadDriver();
    });
    EXPECT_EQ("HesTolvaneDrv ver: 3, Load: 2026-12-08 04:30:15:7\n"
              "last bsod.\n",
              Next.Com1);
}

// ---------------------------------------------------------------------------------------------------------
// A whole life under each single allocation failure in turn.

struct LifeOutcome {
    NTSTATUS Started = STATUS_UNSUCCESSFUL;
    size_t Allocations = 0;
    std::vector<std::string> Problems;
};

// Start, two image loads, a bug check, unload. FailAt 0 fails nothing.
sim::BootResult Life(size_t FailAt, LifeOutcome* Outcome) {
    return sim::Boot([FailAt, Outcome] {
        scene::SetClock();
        scene::LoadKernelModules();
        scene::MapImage(scene::LateBase, scene::LateSize, scene::LateGuid, "late.pdb");
        scene::MapImage(scene::LaterBase, scene::LaterSize, scene::HalGuid, "later.pdb");
        const size_t Before = sim::AllocationCount();
        sim::FailAllocation(FailAt);
        Outcome->Started = sim::LoadDriver();
        if (NT_SUCCESS(Outcome->Started)) {
            sim::ReportImageLoad(u"\\SystemRoot\\System32\\drivers\\late.sys", scene::LateBase, scene::LateSize);
            sim::ReportImageLoad(u"\\SystemRoot\\System32\\drivers\\later.sys", scene::LaterBase, scene::LaterSize);
            RaisePageFault();
            sim::UnloadDriver();
        }
        Outcome->Allocations = sim::AllocationCount() - Before;
        Outcome->Problems = sim::TeardownProblems();
    });
}

// Every table row the whole life can print starts with its module's range; a row that lost a string
// to the failure keeps its range.
const char* const RowRanges[] = {"00006C0000000000 00006C0000008000  ", "00006C0000010000 00006C0000013000  ",
                                 "00006C0000020000 00006C0000023000  ", "00006C0000030000 00006C0000033000  "};

void ExpectWholeReport(const std::string& Com1, size_t FailAt) {
    const auto [Exact, Stack] = AtRegisterBlock(Com1);
    const std::string Head = std::string(scene::NormalBootBanner) + CrashedOn + scene::TableHead;
    ASSERT_EQ(Head, Exact.substr(0, Head.size())) << "failing allocation " << FailAt;
    ASSERT_GE(Exact.size(), Head.size() + std::strlen(PageFaultLine));
    EXPECT_EQ(PageFaultLine, Exact.substr(Exact.size() - std::strlen(PageFaultLine)))
        << "failing allocation " << FailAt;
    const std::vector<std::string> Rows =
        Lines(Exact.substr(Head.size(), Exact.size() - Head.size() - std::strlen(PageFaultLine)));
    EXPECT_GE(Rows.size(), 3u) << "failing allocation " << FailAt;
    size_t Next = 0;
    for (const std::string& Row : Rows) {
        while (Next < 4 && Row.compare(0, 35, RowRanges[Next]) != 0) {
            Next++;
        }
        EXPECT_LT(Next, 4u) << "row out of order or unknown: " << Row;
        Next++;
    }
    ExpectStackThenEnd(Stack);
}

TEST_F(DriverLife, EverySingleAllocationFailureLeavesAWholeReportAndNoLeak) {
    LifeOutcome Clean;
    const sim::BootResult CleanBoot = Life(0, &Clean);
    ASSERT_EQ(STATUS_SUCCESS, Clean.Started);
    ASSERT_TRUE(Clean.Problems.empty());
    const auto [CleanExact, CleanStack] = AtRegisterBlock(CleanBoot.Com1);
    EXPECT_EQ(std::string(scene::NormalBootBanner) + CrashedOn + scene::TableHead + scene::NtRow + scene::HalRow +
                  scene::LateRow +
                  "00006C0000030000 00006C0000033000  later.sys  later.pdb  "
                  "\\SystemRoot\\System32\\drivers\\later.sys  04030201-0605-0807-090A-0B0C0D0E0F10\n" +
                  PageFaultLine,
              CleanExact);
    // The device object and the guard's query buffer; for each module the walk finds, its record, two
    // converted names and two name buffers; for each image load, its record, one converted name, and
    // the path and name buffers.
    ASSERT_EQ(1u + 1u + 2u * 5u + 2u * 4u, Clean.Allocations);

    for (size_t FailAt = 1; FailAt <= Clean.Allocations; FailAt++) {
        scene::InstallService();
        LifeOutcome Outcome;
        const sim::BootResult Boot = Life(FailAt, &Outcome);
        ASSERT_FALSE(Boot.Died) << "failing allocation " << FailAt;
        EXPECT_TRUE(Outcome.Problems.empty()) << "failing allocation " << FailAt << ": " << Outcome.Problems[0];
        if (!NT_SUCCESS(Outcome.Started)) {
            // Only the device object's allocation can stop the start, and then nothing at all happens.
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Outcome.Started) << "failing allocation " << FailAt;
            EXPECT_EQ("", Boot.Com1);
            EXPECT_FALSE(sim::GetRegistryValue(scene::Key(), u"Version"));
            continue;
        }
        ExpectWholeReport(Boot.Com1, FailAt);
        EXPECT_FALSE(sim::GetRegistryValue(scene::Key(), u"Loaded")) << "failing allocation " << FailAt;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Lives of two boots under each failure point of every kernel service in turn.

// Every line the console can carry, by form. A line that fits none, or a text that does not end in a
// line feed, is a torn line.
const std::regex ConsoleLines[] = {
    std::regex("HesTolvaneDrv ver: 3, Load: 2026-12-08 04:30:15:7"),
    std::regex("normal boot\\.|last bsod\\.|last bsod, but new version\\."),
    std::regex("VQN Dump Begin\\.|VQN Dump End\\.|Dump:|start    end    module    pdb    path    guid"),
    std::regex("CRASHED ON: 2026-12-08 04:30:15:7"),
    std::regex("[0-9A-F]{16} [0-9A-F]{16}  .*  .*  .*  [0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"),
    std::regex("VQN: BUGCHECK CODE [0-9A-F]+:( [0-9A-F]{16}){4}"),
    std::regex("CONTEXT \\([0-9A-F]{16}\\):|         [A-Z0-9]+ ?= [0-9A-F]{4,16}"),
    std::regex("[0-9A-F]{16}  \\(([0-9A-F]{16}  ){3}[0-9A-F]{16}\\) .+"),
    std::regex("ControlPc|PrintStack"),
};

// Whole lines of known forms only, every report begun is ended before the next, and the boot writes at
// most one report however often it bug-checks.
void ExpectWellFormedConsole(const std::string& Com1) {
    if (Com1.empty()) {
        return;
    }
    EXPECT_EQ('\n', Com1.back()) << "the console ends in a torn line";
    int Open = 0;
    int Reports = 0;
    for (const std::string& Line : Lines(Com1)) {
        bool Known = false;
        for (const std::regex& Form : ConsoleLines) {
            Known = Known || std::regex_match(Line, Form);
        }
        EXPECT_TRUE(Known) << "a line of no known form: " << Line;
        if (Line == "VQN Dump Begin.") {
            EXPECT_EQ(0, Open) << "a report begun inside another";
            Open++;
            Reports++;
        } else if (Line == "VQN Dump End.") {
            EXPECT_EQ(1, Open) << "an end marker without its begin marker";
            Open--;
        }
    }
    EXPECT_EQ(0, Open) << "a report that never ended";
    EXPECT_LE(Reports, 1);
}

// Every record linked both ways, none lost or counted twice, all in the driver's non-paged pool.
void ExpectConsistentTable() {
    ULONG Records = 0;
    for (PLIST_ENTRY Link = ModuleListHead.Flink; Link != &ModuleListHead && Records <= ModuleRecordsLinked;
         Link = Link->Flink) {
        EXPECT_EQ(Link, Link->Flink->Blink);
        Records++;
    }
    EXPECT_EQ(ModuleRecordsLinked, Records);
    EXPECT_EQ(ModuleListHead.Blink->Flink, &ModuleListHead);
    size_t RecordBlocks = 0;
    for (const sim::PoolBlock& Block : sim::OutstandingPool()) {
        EXPECT_NE(PagedPool, Block.Type);
        if (Block.Tag == HesTolvanePoolTag) {
            EXPECT_EQ(NonPagedPoolNx, Block.Type);
        }
        RecordBlocks += Block.Tag == HesTolvanePoolTag && Block.Size == sizeof(ModuleInfo) ? 1 : 0;
    }
    EXPECT_EQ(Records, RecordBlocks);
}

// The boot-state line the guard's table gives for what the registry holds.
std::string BootLineForRegistry() {
    const std::optional<sim::RegistryValue> Loaded = sim::GetRegistryValue(scene::Key(), u"Loaded");
    const bool Marker = Loaded && Loaded->Type == REG_DWORD && Loaded->Data.size() >= 4 &&
                        sim::GetRegistryDword(scene::Key(), u"Loaded") == 1u;
    if (!Marker) {
        return "normal boot.";
    }
    const std::optional<sim::RegistryValue> Version = sim::GetRegistryValue(scene::Key(), u"Version");
    const bool Older = Version && Version->Type == REG_DWORD &&
                       (sim::GetRegistryDword(scene::Key(), u"Version") == 1u ||
                        sim::GetRegistryDword(scene::Key(), u"Version") == 2u);
    return Older ? "last bsod, but new version." : "last bsod.";
}

struct SweptBoot {
    sim::BootResult Result;
    NTSTATUS Started = STATUS_UNSUCCESSFUL;
    size_t FailurePoints = 0;
    std::string Failed;
    std::vector<std::string> Problems;
};

// Start, three image loads one after another, a bug check, a second one, unload. FailAt 0 fails nothing.
SweptBoot SweptLife(size_t FailAt) {
    SweptBoot Boot;
    Boot.Result = sim::Boot([FailAt, &Boot] {
        scene::SetClock();
        scene::LoadKernelModules();
        scene::MapImage(scene::LateBase, scene::LateSize, scene::LateGuid, "late.pdb");
        scene::MapImage(scene::LaterBase, scene::LaterSize, scene::HalGuid, "later.pdb");
        sim::FailFailurePoint(FailAt);
        Boot.Started = sim::LoadDriver();
        if (NT_SUCCESS(Boot.Started)) {
            sim::ReportImageLoad(u"\\SystemRoot\\System32\\drivers\\late.sys", scene::LateBase, scene::LateSize);
            sim::ReportImageLoad(u"\\SystemRoot\\System32\\drivers\\later.sys", scene::LaterBase,
                                 scene::LaterSize);
            sim::ReportImageLoad(u"\\SystemRoot\\System32\\drivers\\again.sys", scene::LateBase, scene::LateSize);
            ExpectConsistentTable();
            RaisePageFault();
            sim::BugCheck(0x1E, 0xC0000005, 0xFFFFF80000002000, 0, 0);
            sim::UnloadDriver();
        }
        Boot.FailurePoints = sim::FailurePointsPassed();
        Boot.Failed = sim::FailedFailurePoint();
        Boot.Problems = sim::TeardownProblems();
    });
    return Boot;
}

void ExpectSoundBoot(const SweptBoot& Boot, const std::string& BootLine) {
    EXPECT_FALSE(Boot.Result.Died);
    for (const std::string& Problem : Boot.Problems) {
        ADD_FAILURE() << Problem;
    }
    ExpectWellFormedConsole(Boot.Result.Com1);
    if (NT_SUCCESS(Boot.Started)) {
        const std::vector<std::string> Console = Lines(Boot.Result.Com1);
        ASSERT_GE(Console.size(), 2u);
        EXPECT_EQ(BootLine, Console[1]);
    } else {
        EXPECT_EQ("", Boot.Result.Com1);
    }
}

// Each failure point of the first boot in turn, then each of the second boot after a clean first one.
TEST_F(DriverLife, EveryFailurePointOfTwoBootsLeavesASoundSystem) {
    const SweptBoot CleanFirst = SweptLife(0);
    ExpectSoundBoot(CleanFirst, "normal boot.");
    const SweptBoot CleanSecond = SweptLife(0);
    ExpectSoundBoot(CleanSecond, "normal boot.");
    ASSERT_GT(CleanFirst.FailurePoints, 40u);

    std::set<std::string> ServicesFailed;
    for (size_t FailAt = 1; FailAt <= CleanFirst.FailurePoints; FailAt++) {
        SCOPED_TRACE("first boot, failure point " + std::to_string(FailAt));
        scene::InstallService();
        const SweptBoot First = SweptLife(FailAt);
        SCOPED_TRACE("which failed " + First.Failed);
        ServicesFailed.insert(First.Failed);
        ExpectSoundBoot(First, "normal boot.");
        const std::string Expected = BootLineForRegistry();
        const SweptBoot Second = SweptLife(0);
        ExpectSoundBoot(Second, Expected);
    }
    for (size_t FailAt = 1; FailAt <= CleanSecond.FailurePoints; FailAt++) {
        SCOPED_TRACE("second boot, failure point " + std::to_string(FailAt));
        scene::InstallService();
        ExpectSoundBoot(SweptLife(0), "normal boot.");
        const SweptBoot Second = SweptLife(FailAt);
        SCOPED_TRACE("which failed " + Second.Failed);
        ExpectSoundBoot(Second, "normal boot.");
    }
    EXPECT_EQ((std::set<std::string>{"ExAllocatePoolWithTag", "IoCreateDevice", "IoCreateSymbolicLink",
                                     "KeRegisterBugCheckCallback", "PsSetLoadImageNotifyRoutine",
                                     "RtlUnicodeStringToAnsiString", "ZwDeleteValueKey", "ZwFlushKey",
                                     "ZwOpenKey", "ZwQueryValueKey", "ZwSetValueKey"}),
              ServicesFailed);
    std::printf("failure points: %zu in the first boot, %zu in the second, %zu lives of two boots\n",
                CleanFirst.FailurePoints, CleanSecond.FailurePoints,
                CleanFirst.FailurePoints + CleanSecond.FailurePoints);
}

}  // namespace
