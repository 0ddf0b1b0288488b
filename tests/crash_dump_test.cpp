// The crash report as COM1 receives it, byte for byte, from bug checks raised in the simulated kernel.
#include <algorithm>
#include <cstring>
#include <regex>

#include "kernel_test.h"
#include "module_records.h"

namespace {

// Fixed simulated addresses, so that the expected reports below can be written out literally.
constexpr ULONG_PTR NtBase = 0x00006A0000000000;      // ntoskrnl.exe, 64 KiB
constexpr ULONG_PTR DriverBase = 0x00006A0000020000;  // nodebug.sys, 32 KiB
constexpr ULONG_PTR StackBase = 0x00006B0000000000;   // two pages of stack

const UCHAR NtGuid[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

CONTEXT ScriptedCapture(ULONG64 Rip, ULONG64 Rsp) {
    CONTEXT Context;
    std::memset(&Context, 0, sizeof(Context));
    Context.SegGs = 0x2B;
    Context.SegFs = 0x53;
    Context.SegEs = 0x2B;
    Context.SegDs = 0x2B;
    Context.SegSs = 0x18;
    Context.SegCs = 0x10;
    Context.EFlags = 0x00040246;
    Context.Rsi = 0x1111111111111111;
    Context.Rdi = 0x2222222222222222;
    Context.Rax = 0x50;
    Context.Rbx = 0xFFFFF80000001000;
    Context.Rcx = 0x3;
    Context.Rdx = 0x4;
    Context.Rip = Rip;
    Context.Rsp = Rsp;
    Context.Rbp = 0x00006B0000001F00;
    Context.R8 = 8;
    Context.R9 = 9;
    Context.R10 = 10;
    Context.R11 = 11;
    Context.R12 = 12;
    Context.R13 = 13;
    Context.R14 = 14;
    Context.R15 = 0xFEDCBA9876543210;
    return Context;
}

// The register block for ScriptedCapture(Rip, Rsp), as the report must print it.
std::string ExpectedContextBlock(const std::string& ContextAddress, const char* Rip, const char* Rsp) {
    return "CONTEXT (" + ContextAddress + "):\n" +
           "         GS = 002B\n"
           "         FS = 0053\n"
           "         ES = 002B\n"
           "         DS = 002B\n"
           "         SS = 0018\n"
           "         CS = 0010\n"
           "         EFLAGS = 00040246\n"
           "         RSI= 1111111111111111\n"
           "         RDI = 2222222222222222\n"
           "         RAX = 0000000000000050\n"
           "         RBX = FFFFF80000001000\n"
           "         RCX = 0000000000000003\n"
           "         RDX = 0000000000000004\n"
           "         RIP = " + Rip + "\n" +
           "         RSP = " + Rsp + "\n" +
           "         RBP = 00006B0000001F00\n"
           "         R8 = 0000000000000008\n"
           "         R9 = 0000000000000009\n"
           "         R10 = 000000000000000A\n"
           "         R11 = 000000000000000B\n"
           "         R12 = 000000000000000C\n"
           "         R13 = 000000000000000D\n"
           "         R14 = 000000000000000E\n"
           "         R15 = FEDCBA9876543210\n";
}

// The address of the walk's CONTEXT record lives on the printer's own stack and differs from run to run;
// everything else in the report is fixed. Returns it after checking its form.
std::string ContextAddressIn(const std::string& Report) {
    std::smatch Match;
    EXPECT_TRUE(std::regex_search(Report, Match, std::regex("CONTEXT \\(([0-9A-F]{16})\\):\n")));
    return Match.empty() ? std::string("?") : Match[1].str();
}

class CrashReport : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        InitializeModuleTable();
        SerialPortBase = 0x3F8;
        sim::MapRegionAt(NtBase, 0x10000);
        sim::MapRegionAt(DriverBase, 0x9000);  // one page more than the image
        Stack = static_cast<ULONG64*>(sim::MapRegionAt(StackBase, 2 * sim::PageSize));
        // Every stack word shows its own address, so a misread word is obvious in a failure.
        for (ULONG_PTR Index = 0; Index < 2 * sim::PageSize / 8; Index++) {
            Stack[Index] = 0x5700000000000000 | (Index * 8);
        }
        sim::SetSystemTime(sim::SystemTimeFromFields(2026, 12, 8, 4, 30, 15, 7));
        ASSERT_TRUE(KeRegisterBugCheckCallback(&BugCheckCallbackRecord, BugCheckDumpCallback, nullptr, 0,
                                               reinterpret_cast<PUCHAR>(const_cast<char*>("HesTolvane"))));
    }

    void TearDown() override {
        KeDeregisterBugCheckCallback(&BugCheckCallbackRecord);
        FreeModuleTable();
        KernelTest::TearDown();
    }

    void RecordTwoModules() {
        InsertModuleRecord(NewModuleRecord(NtBase, NtBase + 0x10000, "ntoskrnl.exe",
                                           "\\SystemRoot\\system32\\ntoskrnl.exe", "ntkrnlmp.pdb", NtGuid));
        InsertModuleRecord(NewModuleRecord(DriverBase, DriverBase + 0x8000, "nodebug.sys",
                                           "\\SystemRoot\\System32\\drivers\\nodebug.sys"));
    }

    // Frames: the printer (in nt) returns into nodebug.sys, which returns into nt, which is a leaf whose
    // return address, read from the stack, lies in no module; the next leaf returns to address 0.
    void ScriptWholeReport() {
        RecordTwoModules();
        SetStackWord(StackBase + 0x1040, 0x0000123400005678);
        SetStackWord(StackBase + 0x1048, 0);
        sim::UseScriptedUnwinding(ScriptedCapture(NtBase + 0x1234, StackBase + 0xF00),
                                  {
                                      {NtBase + 0x1234, true, DriverBase + 0x10, StackBase + 0x1000},
                                      {DriverBase + 0x10, true, NtBase + 0x5000, StackBase + 0x1040},
                                  });
    }

    void SetStackWord(ULONG_PTR Address, ULONG64 Value) {
        Stack[(Address - StackBase) / 8] = Value;
    }

    ULONG64* Stack = nullptr;
};

const char* const ReportHead =
    "VQN Dump Begin.\n"
    "CRASHED ON: 2026-12-08 04:30:15:7\n";

const char* const TwoModuleRows =
    "Dump:\n"
    "start    end    module    pdb    path    guid\n"
    "00006A0000000000 00006A0000010000  ntoskrnl.exe  ntkrnlmp.pdb  \\SystemRoot\\system32\\ntoskrnl.exe  "
    "33221100-5544-7766-8899-AABBCCDDEEFF\n"
    "00006A0000020000 00006A0000028000  nodebug.sys    \\SystemRoot\\System32\\drivers\\nodebug.sys  "
    "00000000-0000-0000-0000-000000000000\n";

const char* const PageFaultLine =
    "VQN: BUGCHECK CODE 50: FFFFF80000001000 0000000000000000 FFFFF80012345678 0000000000000002\n";

void RaisePageFault() {
    sim::BugCheck(0x50, 0xFFFFF80000001000, 0, 0xFFFFF80012345678, 2);
}

std::string ExpectedWholeReport(const std::string& Report) {
    return std::string(ReportHead) + TwoModuleRows + PageFaultLine +
           ExpectedContextBlock(ContextAddressIn(Report), "00006A0000001234", "00006B0000000F00") +
           "00006B0000001000  (5700000000001000  5700000000001008  5700000000001010  5700000000001018) "
           "nodebug.sys + 0000000000000010\n"
           "00006B0000001040  (0000123400005678  0000000000000000  5700000000001050  5700000000001058) "
           "ntoskrnl.exe + 0000000000005000\n"
           "00006B0000001048  (0000000000000000  5700000000001050  5700000000001058  5700000000001060) "
           "0000123400005678\n"
           "00006B0000001050  (5700000000001050  5700000000001058  5700000000001060  5700000000001068) "
           "0000000000000000\n"
           "ControlPc\n"
           "VQN Dump End.\n";
}

TEST_F(CrashReport, WholeReportWithModulesRegistersAndAScriptedStack) {
    ScriptWholeReport();
    RaisePageFault();
    const std::string Report = sim::ComTranscript(1);
    EXPECT_EQ(Report, ExpectedWholeReport(Report));
    EXPECT_EQ(DumpCount, 1u);
}

// At 9,600 baud a byte takes about 1,042 reads of the line status at 1 us each: slow, but alive.
TEST_F(CrashReport, UartAsSlowAsNineThousandSixHundredBaudLosesNothing) {
    sim::SetLineStatus(sim::LineStatusScript::ReadyAfter, 1042);
    sim::RecordPortAccesses(false);
    ScriptWholeReport();
    RaisePageFault();
    const std::string Report = sim::ComTranscript(1);
    EXPECT_EQ(Report, ExpectedWholeReport(Report));
}

// 2,008 writes: the markers, the time, the table's two heading lines, 2,000 rows, the bug-check line,
// the register block and "ControlPc". The first waits the full 10,000 reads, every later one 100.
TEST_F(CrashReport, DeadUartEndsAReportOfTwoThousandRowsWithinAFifthOfASecondOfPolling) {
    for (ULONG_PTR Index = 0; Index < 2000; Index++) {
        InsertModuleRecord(NewModuleRecord(NtBase + Index * 0x10, NtBase + Index * 0x10 + 0x10, "m.sys"));
    }
    sim::SetLineStatus(sim::LineStatusScript::NeverReady);
    sim::RecordPortAccesses(false);
    sim::UseScriptedUnwinding(ScriptedCapture(0, StackBase), {});
    RaisePageFault();
    EXPECT_EQ(sim::PortAccessCount(), 10000u + 2007u * 100u);
    EXPECT_EQ(sim::ComTranscript(1), "");
    EXPECT_EQ(DumpCount, 1u);
}

TEST_F(CrashReport, ContextBlockIsSevenHundredTenCharacters) {
    sim::UseScriptedUnwinding(ScriptedCapture(0, StackBase), {});
    RaisePageFault();
    const std::string Block = ExpectedContextBlock(ContextAddressIn(sim::ComTranscript(1)), "0000000000000000",
                                                   "00006B0000000000");
    EXPECT_EQ(Block.size(), 710u);
    EXPECT_NE(sim::ComTranscript(1).find(Block + "ControlPc\n"), std::string::npos);
}

TEST_F(CrashReport, WithoutModuleTrackingTheReportHasFourLines) {
    ModuleTrackingEnabled = FALSE;
    RecordTwoModules();
    RaisePageFault();
    EXPECT_EQ(sim::ComTranscript(1), std::string(ReportHead) + PageFaultLine + "VQN Dump End.\n");
}

TEST_F(CrashReport, SecondBugCheckAfterAFinishedReportIsSilent) {
    ModuleTrackingEnabled = FALSE;
    RaisePageFault();
    const std::string First = sim::ComTranscript(1);

    sim::BugCheck(0x1E, 1, 2, 3, 4);

    EXPECT_EQ(sim::ComTranscript(1), First);
    EXPECT_EQ(DumpCount, 2u);
}

bool NestedBugCheckRaised = false;

// Raises a second bug check from inside the first report, as soon as its first byte reaches the UART.
void BugCheckOnFirstByte(UCHAR) {
    if (!NestedBugCheckRaised) {
        NestedBugCheckRaised = true;
        sim::BugCheck(0xD1, 0x10, 2, 0, 0xFFFFF80000002000);
    }
}

TEST_F(CrashReport, BugCheckDuringAReportWritesASecondReport) {
    ModuleTrackingEnabled = FALSE;
    sim::SetCom1Sink(BugCheckOnFirstByte);

    RaisePageFault();

    // The nested report is written whole right after the outer one's first byte; the outer report then
    // goes on where it was. KiBugCheckData holds the latest bug check, so both name the nested one.
    const std::string NestedLine =
        "VQN: BUGCHECK CODE D1: 0000000000000010 0000000000000002 0000000000000000 FFFFF80000002000\n";
    EXPECT_EQ(sim::ComTranscript(1), std::string("V") + ReportHead + NestedLine + "VQN Dump End.\n" +
                                         std::string(ReportHead).substr(1) + NestedLine + "VQN Dump End.\n");
    EXPECT_EQ(DumpCount, 2u);
}

TEST_F(CrashReport, EmptyTableGivesTheHeaderAndNoRows) {
    sim::UseScriptedUnwinding(ScriptedCapture(0, StackBase), {});
    RaisePageFault();
    const std::string Report = sim::ComTranscript(1);
    EXPECT_EQ(Report.substr(0, Report.find("VQN: BUGCHECK")),
              std::string(ReportHead) + "Dump:\nstart    end    module    pdb    path    guid\n");
}

TEST_F(CrashReport, RecordWithoutNamesPrintsTheFormattersNullText) {
    InsertModuleRecord(NewModuleRecord(NtBase, NtBase + 0x100, nullptr, nullptr));
    ModuleInfo* Record = CONTAINING_RECORD(ModuleListHead.Flink, ModuleInfo, Links);
    PrintModuleInfo(Record);
    EXPECT_EQ(sim::ComTranscript(1), "00006A0000000000 00006A0000000100  (null)    (null)  "
                                     "00000000-0000-0000-0000-000000000000\n");
}

// A damaged name pointer must not end the report at HIGH_LEVEL: the text is left out, the row stays.
TEST_F(CrashReport, NameBufferOnAnInvalidPageIsPrintedAsAMissingText) {
    char* Gone = static_cast<char*>(sim::MapRegion(sim::PageSize));
    sim::SetPageState(Gone, sim::PageSize, sim::PageState::Invalid);
    ModuleInfo* Record = NewModuleRecord(NtBase, NtBase + 0x100, "nt.sys", "\\nt.sys");
    char* Name = Record->ModuleName.Buffer;
    Record->ModuleName.Buffer = Gone;
    InsertModuleRecord(Record);
    sim::UseScriptedUnwinding(ScriptedCapture(0, StackBase), {});
    RaisePageFault();
    EXPECT_NE(sim::ComTranscript(1).find("00006A0000000000 00006A0000000100  (null)    \\nt.sys  "
                                         "00000000-0000-0000-0000-000000000000\n"),
              std::string::npos);
    Record->ModuleName.Buffer = Name;
}

// table: [nt] [nodebug] [late] -> back to [nt]: links damaged into a cycle. Each walk at bug check stops
// after as many records as were ever linked, and the report still ends.
TEST_F(CrashReport, TableWhoseLinksFormACycleStillEndsTheReport) {
    RecordTwoModules();
    ModuleInfo* Late = NewModuleRecord(NtBase + 0x10000, NtBase + 0x18000, "late.sys");
    InsertModuleRecord(Late);
    Late->Links.Flink = ModuleListHead.Flink;
    sim::UseScriptedUnwinding(ScriptedCapture(NtBase, StackBase),
                              {{NtBase, true, StackBase + 0x1000, StackBase + 0x80},
                               {StackBase + 0x1000, true, 0, StackBase + 0xC0}});
    RaisePageFault();
    const std::string Report = sim::ComTranscript(1);
    EXPECT_EQ(Report.substr(0, Report.find("CONTEXT (")),
              std::string(ReportHead) + TwoModuleRows +
                  "00006A0000010000 00006A0000018000  late.sys    (null)  00000000-0000-0000-0000-000000000000\n" +
                  PageFaultLine);
    // Neither the first frame's address nor the second's lies in a recorded module.
    EXPECT_NE(Report.find(") 00006B0000001000\n"), std::string::npos);
    EXPECT_NE(Report.find(") 0000000000000000\nControlPc\nVQN Dump End.\n"), std::string::npos);
    Late->Links.Flink = &ModuleListHead;
}

TEST_F(CrashReport, RowsStopAtARecordWhoseMemoryIsGone) {
    RecordTwoModules();
    auto* Unreadable = static_cast<ModuleInfo*>(sim::MapRegion(sim::PageSize));
    InsertModuleRecord(Unreadable);
    InsertModuleRecord(NewModuleRecord(NtBase + 0x100, NtBase + 0x200, "after.sys"));
    sim::SetPageState(Unreadable, sim::PageSize, sim::PageState::Invalid);
    sim::UseScriptedUnwinding(ScriptedCapture(0, StackBase), {});

    RaisePageFault();

    const std::string Report = sim::ComTranscript(1);
    EXPECT_EQ(Report.substr(0, Report.find("VQN: BUGCHECK")), std::string(ReportHead) + TwoModuleRows);

    sim::SetPageState(Unreadable, sim::PageSize, sim::PageState::Valid);
    Unreadable->Links.Blink->Flink = Unreadable->Links.Flink;
    Unreadable->Links.Flink->Blink = Unreadable->Links.Blink;
}

// Twenty frames that each unwind to the next, the last one to address 0.
std::vector<sim::ScriptedFrame> TwentyFramesEndingAtZero() {
    std::vector<sim::ScriptedFrame> Frames;
    for (ULONG64 Index = 0; Index < 20; Index++) {
        const ULONG64 Caller = Index == 19 ? 0 : NtBase + 0x100 * (Index + 1);
        Frames.push_back({NtBase + 0x100 * Index, true, Caller, StackBase + 0x40 * (Index + 1)});
    }
    return Frames;
}

size_t CountFrameLines(const std::string& Report) {
    size_t Count = 0;
    for (size_t At = Report.find("  ("); At != std::string::npos; At = Report.find("  (", At + 1)) {
        Count++;
    }
    return Count;
}

TEST_F(CrashReport, WalkStopsAtTwentyFramesBeforeLookingAtTheNextAddress) {
    sim::UseScriptedUnwinding(ScriptedCapture(NtBase, StackBase), TwentyFramesEndingAtZero());
    RaisePageFault();
    const std::string Report = sim::ComTranscript(1);
    EXPECT_EQ(CountFrameLines(Report), 20u);
    EXPECT_EQ(Report.find("ControlPc"), std::string::npos);
    EXPECT_NE(Report.find("00006B0000000500  (5700000000000500  5700000000000508  5700000000000510  "
                          "5700000000000518) 0000000000000000\nVQN Dump End.\n"),
              std::string::npos);
}

TEST_F(CrashReport, ZeroReturnAddressIsPrintedThenEndsTheWalk) {
    auto Frames = TwentyFramesEndingAtZero();
    Frames[4].CallerRip = 0;
    sim::UseScriptedUnwinding(ScriptedCapture(NtBase, StackBase), Frames);
    RaisePageFault();
    const std::string Report = sim::ComTranscript(1);
    EXPECT_EQ(CountFrameLines(Report), 5u);
    EXPECT_NE(Report.find(" 0000000000000000\nControlPc\nVQN Dump End.\n"), std::string::npos);
}

TEST_F(CrashReport, FrameInTheModuleTableIsNamedWithItsOffset) {
    RecordTwoModules();
    sim::UseScriptedUnwinding(ScriptedCapture(NtBase, StackBase),
                              {{NtBase, true, DriverBase + 0x7FFF, StackBase + 0x80},
                               {DriverBase + 0x7FFF, true, DriverBase + 0x8000, StackBase + 0xC0},
                               {DriverBase + 0x8000, true, 0, StackBase + 0x100}});
    RaisePageFault();
    const std::string Report = sim::ComTranscript(1);
    EXPECT_NE(Report.find(") nodebug.sys + 0000000000007FFF\n"), std::string::npos);
    // The first address past an image belongs to no module, even though it is readable.
    EXPECT_NE(Report.find(") 00006A0000028000\n"), std::string::npos);
}

using CrashReportDeathTest = CrashReport;

// A stack page that passes MmIsAddressValid but raises when read: at HIGH_LEVEL no handler sees the fault,
// so the report stops where it is, as on Windows.
TEST_F(CrashReportDeathTest, FaultWhileReadingTheStackStopsTheSystemInsideTheReport) {
    sim::SetPageState(reinterpret_cast<PVOID>(StackBase + sim::PageSize), sim::PageSize,
                      sim::PageState::Faulting);
    sim::UseScriptedUnwinding(ScriptedCapture(NtBase, StackBase + 0xFF0),
                              {{NtBase, true, NtBase + 0x10, StackBase + 0xFF0}});
    EXPECT_DEATH(RaisePageFault(), "STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL reading 0x00006B0000001000");
}

// Paged pool is out whenever it is wanted at HIGH_LEVEL: a module name kept there is missing from its row.
TEST_F(CrashReport, ModuleNameInPagedPoolIsOutAtBugCheckAndMissingFromItsRow) {
    ModuleInfo* Record = NewModuleRecord(DriverBase, DriverBase + 0x8000, nullptr);
    Record->ModuleName.Buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, ModuleStringBufferSize,
                                                                         HesTolvanePoolTag));
    std::strcpy(Record->ModuleName.Buffer, "paged.sys");
    InsertModuleRecord(Record);
    sim::UseScriptedUnwinding(ScriptedCapture(0, StackBase), {});
    RaisePageFault();
    EXPECT_NE(sim::ComTranscript(1).find("00006A0000020000 00006A0000028000  (null)    (null)  "),
              std::string::npos);
    // The table is freed under its lock, where paged pool cannot be given back: take the record out first.
    InitializeListHead(&ModuleListHead);
    FreeModuleRecord(Record);
}

TEST_F(CrashReport, InvalidStackPageIsNeverTouchedAndEndsTheSection) {
    // Touching an invalid kernel page would be a second bug check, which kills this test.
    sim::SetPageState(reinterpret_cast<PVOID>(StackBase + sim::PageSize), sim::PageSize,
                      sim::PageState::Invalid);
    sim::UseScriptedUnwinding(ScriptedCapture(NtBase, StackBase + 0xFF8),
                              {{NtBase, true, NtBase + 0x10, StackBase + 0xFF8}});
    RaisePageFault();
    EXPECT_NE(sim::ComTranscript(1).find("PrintStack\nVQN Dump End.\n"), std::string::npos);
}

TEST_F(CrashReport, LeafReturnAddressOnAnInvalidPageEndsTheSection) {
    sim::SetPageState(reinterpret_cast<PVOID>(StackBase), sim::PageSize, sim::PageState::Invalid);
    sim::UseScriptedUnwinding(ScriptedCapture(NtBase, StackBase + 0x10), {});
    RaisePageFault();
    const std::string Report = sim::ComTranscript(1);
    EXPECT_EQ(CountFrameLines(Report), 0u);
    EXPECT_NE(Report.find("PrintStack\nVQN Dump End.\n"), std::string::npos);
}

TEST_F(CrashReport, ConsoleStillOffMeansNothingIsWrittenButTheCountRises) {
    SerialPortBase = 0;
    RaisePageFault();
    EXPECT_EQ(sim::PortAccessCount(), 0u);
    EXPECT_EQ(DumpCount, 1u);
}

TEST_F(CrashReport, StuckUartStillLetsTheReportRunToItsEnd) {
    sim::SetLineStatus(sim::LineStatusScript::NeverReady);
    RecordTwoModules();
    sim::UseScriptedUnwinding(ScriptedCapture(0, StackBase), {});
    RaisePageFault();
    EXPECT_EQ(DumpCount, 1u);
    EXPECT_EQ(sim::ComTranscript(1), "");
}

// A real stack: a chain of functions that are never inlined raises the bug check; the report's frames
// must climb through them, each return address named as this test program plus its offset.
struct ChainRecord {
    ULONG_PTR ReturnIntoMiddle;
    ULONG_PTR ReturnIntoOuter;
};

ChainRecord Chain;

__attribute__((noinline)) void ChainInner() {
    Chain.ReturnIntoMiddle = reinterpret_cast<ULONG_PTR>(__builtin_return_address(0));
    RaisePageFault();
    asm volatile("");
}

__attribute__((noinline)) void ChainMiddle() {
    Chain.ReturnIntoOuter = reinterpret_cast<ULONG_PTR>(__builtin_return_address(0));
    ChainInner();
    asm volatile("");
}

__attribute__((noinline)) void ChainOuter() {
    ChainMiddle();
    asm volatile("");
}

std::string Hex16(ULONG64 Value) {
    char Text[17];
    std::snprintf(Text, sizeof(Text), "%016llX", static_cast<unsigned long long>(Value));
    return Text;
}

TEST_F(CrashReport, RealStackFramesResolveIntoTheRecordedModule) {
    const sim::HostImage Self = sim::HostImageOf(reinterpret_cast<const void*>(&ChainOuter));
    InsertModuleRecord(NewModuleRecord(Self.Start, Self.End, "hestolvane_tests"));

    ChainOuter();

    const std::string Report = sim::ComTranscript(1);
    const std::string Middle = ") hestolvane_tests + " + Hex16(Chain.ReturnIntoMiddle - Self.Start) + "\n";
    const std::string Outer = ") hestolvane_tests + " + Hex16(Chain.ReturnIntoOuter - Self.Start) + "\n";
    const size_t MiddleAt = Report.find(Middle);
    const size_t OuterAt = Report.find(Outer);
    EXPECT_NE(MiddleAt, std::string::npos) << Report;
    EXPECT_NE(OuterAt, std::string::npos) << Report;
    EXPECT_LT(MiddleAt, OuterAt);
    EXPECT_NE(Report.find("VQN Dump End.\n"), std::string::npos);
}

}  // namespace
