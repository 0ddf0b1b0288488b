// The capture reader on hand-written captures: a whole report field by field, and each pathology of a
// real serial line with what must come out of it.
#include <gtest/gtest.h>

#include "decode_test_support.h"

namespace hestolvane::decode {
namespace {

using testing::Decode;
using testing::Lines;

const std::string Banner = "HesTolvaneDrv ver: 3, Load: 2026-12-08 06:03:03:17";

const std::string ContextBlock = Lines({
    "CONTEXT (FFFFF80011112222):",
    "         GS = 002B",
    "         FS = 0053",
    "         ES = 002B",
    "         DS = 002B",
    "         SS = 0018",
    "         CS = 0010",
    "         EFLAGS = 00040246",
    "         RSI= 1111111111111111",
    "         RDI = 2222222222222222",
    "         RAX = 0000000000000050",
    "         RBX = FFFFF80000001000",
    "         RCX = 0000000000000003",
    "         RDX = 0000000000000004",
    "         RIP = FFFFF80400010020",
    "         RSP = FFFFD00000001F00",
    "         RBP = FFFFD00000001F80",
    "         R8 = 0000000000000008",
    "         R9 = 0000000000000009",
    "         R10 = 000000000000000A",
    "         R11 = 000000000000000B",
    "         R12 = 000000000000000C",
    "         R13 = 000000000000000D",
    "         R14 = 000000000000000E",
    "         R15 = 000000000000000F",
});

// A boot and a full report: three rows (one without identity, one whose path holds blanks), three
// frames (resolved by the driver, raw inside a row, raw outside every row) and a walk ended by ControlPc.
const std::string FullCapture =
    Lines({Banner, "normal boot.", "VQN Dump Begin.", "CRASHED ON: 2026-12-08 06:04:05:9",
           "Dump:", "start    end    module    pdb    path    guid",
           "FFFFF80400000000 FFFFF80400100000  ntoskrnl.exe  ntkrnlmp.pdb  \\SystemRoot\\system32\\ntoskrnl.exe  "
           "7E118A3C-9452-4D1B-A26F-0E359C41D708",
           "FFFFF80410000000 FFFFF80410008000  nodebug.sys    \\SystemRoot\\System32\\drivers\\nodebug.sys  "
           "00000000-0000-0000-0000-000000000000",
           "FFFFF80420000000 FFFFF80420004000  my driver.sys  C:\\build dir\\my driver.pdb  "
           "\\??\\C:\\Program Files\\My Driver\\my driver.sys  C04E2791-663B-124A-8D05-77E12C9F40B3",
           "VQN: BUGCHECK CODE 50: FFFFF80000001000 0000000000000000 FFFFF80012345678 0000000000000002"}) +
    ContextBlock +
    Lines({"FFFFD00000001F10  (0000000000000001  0000000000000002  0000000000000003  0000000000000004) "
           "ntoskrnl.exe + 0000000000012345",
           "FFFFD00000001F60  (0000000000000005  0000000000000006  0000000000000007  0000000000000008) "
           "FFFFF80410000040",
           "FFFFD00000001FB0  (0000000000000009  000000000000000A  000000000000000B  000000000000000C) "
           "FFFFF80599990000",
           "ControlPc", "VQN Dump End."});

TEST(DecodeReader, FullReportGivesEveryField) {
    const auto Decoded = Decode(FullCapture);

    ASSERT_EQ(Decoded.Boots.size(), 1u);
    const Boot& First = Decoded.Boots[0];
    EXPECT_EQ(First.Number, 1u);
    EXPECT_EQ(First.Line, 1u);
    EXPECT_EQ(First.DriverVersion, 3);
    EXPECT_EQ(First.LoadTime, (Timestamp{2026, 12, 8, 6, 3, 3, 17}));
    EXPECT_EQ(First.State, BootState::Normal);
    EXPECT_TRUE(First.Warnings.empty());

    ASSERT_EQ(Decoded.Reports.size(), 1u);
    const Report& Crash = Decoded.Reports[0];
    EXPECT_EQ(Crash.Number, 1u);
    EXPECT_EQ(Crash.Line, 3u);
    EXPECT_EQ(Crash.Boot, 1u);
    EXPECT_EQ(Crash.CrashTime, (Timestamp{2026, 12, 8, 6, 4, 5, 9}));
    EXPECT_EQ(Crash.Check, (BugCheck{0x50, {0xFFFFF80000001000, 0, 0xFFFFF80012345678, 2}}));
    EXPECT_TRUE(Crash.HasModuleTable);

    ASSERT_EQ(Crash.Modules.size(), 3u);
    EXPECT_EQ(Crash.Modules[0],
              (ModuleRow{0xFFFFF80400000000, 0xFFFFF80400100000, "ntoskrnl.exe", "ntkrnlmp.pdb",
                         "\\SystemRoot\\system32\\ntoskrnl.exe", "7E118A3C-9452-4D1B-A26F-0E359C41D708"}));
    EXPECT_TRUE(Crash.Modules[0].HasIdentity());
    EXPECT_EQ(Crash.Modules[1],
              (ModuleRow{0xFFFFF80410000000, 0xFFFFF80410008000, "nodebug.sys", "",
                         "\\SystemRoot\\System32\\drivers\\nodebug.sys", "00000000-0000-0000-0000-000000000000"}));
    EXPECT_FALSE(Crash.Modules[1].HasIdentity());
    EXPECT_EQ(Crash.Modules[2],
              (ModuleRow{0xFFFFF80420000000, 0xFFFFF80420004000, "my driver.sys", "C:\\build dir\\my driver.pdb",
                         "\\??\\C:\\Program Files\\My Driver\\my driver.sys", "C04E2791-663B-124A-8D05-77E12C9F40B3"}));

    ASSERT_TRUE(Crash.Context.has_value());
    EXPECT_EQ(Crash.Context->Address, 0xFFFFF80011112222u);
    ASSERT_EQ(Crash.Context->Registers.size(), 24u);
    EXPECT_EQ(Crash.Context->Registers.front(), (Register{"GS", 0x2B}));
    EXPECT_EQ(Crash.Context->Find("EFLAGS"), 0x40246u);
    EXPECT_EQ(Crash.Context->Find("RSI"), 0x1111111111111111u);
    EXPECT_EQ(Crash.Context->Find("RIP"), 0xFFFFF80400010020u);
    EXPECT_EQ(Crash.Context->Registers.back(), (Register{"R15", 0xF}));

    ASSERT_EQ(Crash.Frames.size(), 3u);
    const Frame& Resolved = Crash.Frames[0];
    EXPECT_EQ(Resolved.StackPointer, 0xFFFFD00000001F10u);
    EXPECT_EQ(Resolved.StackWords, (std::array<uint64_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(Resolved.Printed, AddressForm::ModuleOffset);
    EXPECT_EQ(Resolved.Module, (ModuleLocation{"ntoskrnl.exe", 0x12345, 0}));
    EXPECT_EQ(Resolved.Address, 0xFFFFF80400012345u);
    EXPECT_FALSE(Resolved.Function || Resolved.SourceFile || Resolved.SourceLine);

    const Frame& RawInRow = Crash.Frames[1];
    EXPECT_EQ(RawInRow.Printed, AddressForm::Raw);
    EXPECT_EQ(RawInRow.Address, 0xFFFFF80410000040u);
    EXPECT_EQ(RawInRow.Module, (ModuleLocation{"nodebug.sys", 0x40, 1}));

    const Frame& RawOutside = Crash.Frames[2];
    EXPECT_EQ(RawOutside.StackWords, (std::array<uint64_t, 4>{9, 10, 11, 12}));
    EXPECT_EQ(RawOutside.Address, 0xFFFFF80599990000u);
    EXPECT_FALSE(RawOutside.Module.has_value());

    EXPECT_EQ(Crash.End, ReportEnd::AfterControlPc);
    EXPECT_FALSE(Crash.CutBy.has_value());
    EXPECT_TRUE(Crash.Warnings.empty());
}

std::string WithCrLf(const std::string& Text) {
    std::string Converted;
    for (char Character : Text) {
        if (Character == '\n') {
            Converted += '\r';
        }
        Converted += Character;
    }
    return Converted;
}

// CR LF line ends, a port coming up (NUL and 0xFF bytes), and firmware and boot-loader text around the
// driver's output change nothing of what is decoded.
TEST(DecodeReader, LineNoiseAroundReportsChangesNothing) {
    const auto Clean = Decode(FullCapture);
    std::string Noisy = std::string("\xFF\xFF\0\0", 4) + "BdsDxe: loading Boot0001 \"Windows Boot Manager\"\r\n" +
                        WithCrLf(FullCapture) + "\r\nUEFI Interactive Shell v2.2\r\n";
    Noisy.insert(Noisy.find("VQN Dump Begin."), std::string("\0\xFF", 2));

    const auto Decoded = Decode(Noisy);
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    EXPECT_TRUE(Decoded.Reports[0].Warnings.empty());
    EXPECT_EQ(Decoded.Reports[0].Modules, Clean.Reports[0].Modules);
    EXPECT_EQ(Decoded.Reports[0].Frames, Clean.Reports[0].Frames);
    EXPECT_EQ(Decoded.Reports[0].Context, Clean.Reports[0].Context);
    EXPECT_EQ(Decoded.Reports[0].Line, 4u);
    EXPECT_EQ(Decoded.Boots[0].State, BootState::Normal);
}

// Another writer's line between two of the report's lines is no part of the report: a warning with its
// line number and text, and the report goes on around it.
TEST(DecodeReader, ForeignLineInsideReportIsAWarning) {
    std::string Capture = FullCapture;
    Capture.insert(Capture.find("FFFFF80410000000 FFFFF80410008000"), "Hyper-V: synthetic timer armed\n");

    const auto Decoded = Decode(Capture);
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    const Report& Crash = Decoded.Reports[0];
    EXPECT_EQ(
        Crash.Warnings,
        (std::vector<Warning>{{8, "expected a module row or the bug-check line", "Hyper-V: synthetic timer armed"}}));
    EXPECT_EQ(Crash.Modules.size(), 3u);
    EXPECT_EQ(Crash.Frames.size(), 3u);
    EXPECT_EQ(Crash.End, ReportEnd::AfterControlPc);
}

// A boot whose previous boot died in the module walk runs without collection: four lines.
TEST(DecodeReader, ShortReportOfBootWithoutModuleCollection) {
    const auto Decoded = Decode(Lines({Banner, "last bsod.", "VQN Dump Begin.", "CRASHED ON: 2026-12-08 07:00:00:250",
                                       "VQN: BUGCHECK CODE 1E: 00000000C0000005 FFFFF80012345678 0000000000000000 "
                                       "0000000000000000",
                                       "VQN Dump End."}));
    ASSERT_EQ(Decoded.Boots.size(), 1u);
    EXPECT_EQ(Decoded.Boots[0].State, BootState::LastBsod);
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    const Report& Crash = Decoded.Reports[0];
    EXPECT_EQ(Crash.CrashTime, (Timestamp{2026, 12, 8, 7, 0, 0, 250}));
    EXPECT_EQ(Crash.Check, (BugCheck{0x1E, {0xC0000005, 0xFFFFF80012345678, 0, 0}}));
    EXPECT_FALSE(Crash.HasModuleTable);
    EXPECT_TRUE(Crash.Modules.empty());
    EXPECT_FALSE(Crash.Context.has_value());
    EXPECT_TRUE(Crash.Frames.empty());
    EXPECT_EQ(Crash.End, ReportEnd::EndMarker);
    EXPECT_TRUE(Crash.Warnings.empty());
}

TEST(DecodeReader, WalkEndingInPrintStack) {
    std::string Capture = FullCapture;
    Capture.replace(Capture.find("ControlPc"), 9, "PrintStack");
    const auto Decoded = Decode(Capture);
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    EXPECT_EQ(Decoded.Reports[0].End, ReportEnd::AfterPrintStack);
    EXPECT_EQ(Decoded.Reports[0].Frames.size(), 3u);
    EXPECT_TRUE(Decoded.Reports[0].Warnings.empty());
}

// A reset in the middle of a frame line: the machine's next banner starts where the line stopped. The
// report is kept, truncated, with the frames that were whole.
TEST(DecodeReader, ResetCutsReportOffMidLine) {
    std::string Capture = FullCapture.substr(0, FullCapture.find("FFFFD00000001F60")) + "FFFFD00000001F60  (000000" +
                          Banner + "\n" + "last bsod.\n";
    const auto Decoded = Decode(Capture);

    ASSERT_EQ(Decoded.Reports.size(), 1u);
    const Report& Crash = Decoded.Reports[0];
    EXPECT_EQ(Crash.End, ReportEnd::Truncated);
    EXPECT_EQ(Crash.CutBy, Truncation::Reboot);
    EXPECT_EQ(Crash.Frames.size(), 1u);
    EXPECT_EQ(Crash.Warnings, (std::vector<Warning>{{37, "line cut off", "FFFFD00000001F60  (000000"},
                                                    {37, "report cut off: the machine rebooted (a load banner)", ""}}));
    ASSERT_EQ(Decoded.Boots.size(), 2u);
    EXPECT_EQ(Decoded.Boots[1].Line, 37u);
    EXPECT_EQ(Decoded.Boots[1].State, BootState::LastBsod);
    EXPECT_EQ(Decoded.Boots[1].LoadTime, (Timestamp{2026, 12, 8, 6, 3, 3, 17}));
}

// A bug check during a report writes a whole second report, starting in the middle of the line the first
// had reached. The first never resumes.
TEST(DecodeReader, NestedReportStartingMidLine) {
    const std::string Inner = Lines({"VQN Dump Begin.", "CRASHED ON: 2026-12-08 06:04:06:0",
                                     "Dump:", "start    end    module    pdb    path    guid",
                                     "VQN: BUGCHECK CODE 1E: 00000000C0000005 0000000000000000 0000000000000000 "
                                     "0000000000000000",
                                     "VQN Dump End."});
    std::string Capture = FullCapture.substr(0, FullCapture.find("FFFFF80420000000 FFFFF80420004000")) +
                          "FFFFF80420000000 FFFFF8042" + Inner;
    const auto Decoded = Decode(Capture);

    ASSERT_EQ(Decoded.Reports.size(), 2u);
    const Report& Outer = Decoded.Reports[0];
    EXPECT_EQ(Outer.End, ReportEnd::Truncated);
    EXPECT_EQ(Outer.CutBy, Truncation::NestedReport);
    EXPECT_EQ(Outer.Modules.size(), 2u);
    EXPECT_FALSE(Outer.Check.has_value());
    EXPECT_EQ(Outer.Warnings, (std::vector<Warning>{{9, "line cut off", "FFFFF80420000000 FFFFF8042"},
                                                    {9, "report cut off: a nested report began", ""}}));

    const Report& Nested = Decoded.Reports[1];
    EXPECT_EQ(Nested.Line, 9u);
    EXPECT_EQ(Nested.Boot, 1u);
    EXPECT_EQ(Nested.CrashTime, (Timestamp{2026, 12, 8, 6, 4, 6, 0}));
    EXPECT_EQ(Nested.Check, (BugCheck{0x1E, {0xC0000005, 0, 0, 0}}));
    EXPECT_TRUE(Nested.HasModuleTable);
    EXPECT_TRUE(Nested.Modules.empty());
    EXPECT_EQ(Nested.End, ReportEnd::EndMarker);
    EXPECT_TRUE(Nested.Warnings.empty());
}

TEST(DecodeReader, ReportCutOffByEndOfInput) {
    const auto Decoded = Decode(FullCapture.substr(0, FullCapture.find("ControlPc")));
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    EXPECT_EQ(Decoded.Reports[0].End, ReportEnd::Truncated);
    EXPECT_EQ(Decoded.Reports[0].CutBy, Truncation::EndOfInput);
    EXPECT_EQ(Decoded.Reports[0].Frames.size(), 3u);
    EXPECT_EQ(Decoded.Reports[0].Warnings, (std::vector<Warning>{{38, "report cut off: the input ended", ""}}));
}

// Texts may be missing ("(null)"), empty (four blanks) or hold single blanks; a row whose texts do not
// split into three is a warning, not a guess.
TEST(DecodeReader, ModuleRowTexts) {
    const auto Decoded = Decode(Lines({"VQN Dump Begin.", "CRASHED ON: 2026-12-08 06:04:05:9",
                                       "Dump:", "start    end    module    pdb    path    guid",
                                       "0000000000001000 0000000000002000  (null)  a.pdb  (null)  "
                                       "00000000-0000-0000-0000-000000000001",
                                       "0000000000003000 0000000000004000        "
                                       "00000000-0000-0000-0000-000000000000",
                                       "0000000000005000 0000000000006000  two  blanks.sys  b.pdb  \\b  "
                                       "00000000-0000-0000-0000-000000000000",
                                       "VQN: BUGCHECK CODE A: 0000000000000000 0000000000000002 0000000000000000 "
                                       "0000000000000000",
                                       "VQN Dump End."}));
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    const Report& Crash = Decoded.Reports[0];
    ASSERT_EQ(Crash.Modules.size(), 2u);
    EXPECT_EQ(Crash.Modules[0],
              (ModuleRow{0x1000, 0x2000, std::nullopt, "a.pdb", std::nullopt, "00000000-0000-0000-0000-000000000001"}));
    EXPECT_TRUE(Crash.Modules[0].HasIdentity());
    EXPECT_EQ(Crash.Modules[1], (ModuleRow{0x3000, 0x4000, "", "", "", "00000000-0000-0000-0000-000000000000"}));
    EXPECT_EQ(Crash.Warnings,
              (std::vector<Warning>{{7,
                                     "module row with 4 texts between two blanks where name, PDB path and path are "
                                     "expected",
                                     "0000000000005000 0000000000006000  two  blanks.sys  b.pdb  \\b  "
                                     "00000000-0000-0000-0000-000000000000"}}));
    EXPECT_EQ(Crash.Check->Code, 0xAu);
}

// The driver's lookup takes the newest record containing an address, start included and end excluded;
// names repeat when a module was reloaded.
TEST(DecodeReader, FramesBelongToTheNewestFittingRow) {
    const auto Decoded =
        Decode(Lines({"VQN Dump Begin.", "CRASHED ON: 2026-12-08 06:04:05:9",
                      "Dump:", "start    end    module    pdb    path    guid",
                      "0000000000010000 0000000000011000  a.sys    \\a.sys  00000000-0000-0000-0000-000000000000",
                      "0000000000020000 0000000000020800  a.sys    \\a.sys  00000000-0000-0000-0000-000000000000",
                      "0000000000010000 0000000000010800  b.sys    \\b.sys  00000000-0000-0000-0000-000000000000",
                      "VQN: BUGCHECK CODE 50: 0000000000000000 0000000000000000 0000000000000000 0000000000000000",
                      "CONTEXT (0000000000000000):"}) +
               ContextBlock.substr(ContextBlock.find('\n') + 1) +
               Lines({"0000000000000100  (0000000000000000  0000000000000000  0000000000000000  0000000000000000) "
                      "a.sys + 0000000000000900",
                      "0000000000000200  (0000000000000000  0000000000000000  0000000000000000  0000000000000000) "
                      "a.sys + 0000000000000010",
                      "0000000000000300  (0000000000000000  0000000000000000  0000000000000000  0000000000000000) "
                      "0000000000010000",
                      "0000000000000400  (0000000000000000  0000000000000000  0000000000000000  0000000000000000) "
                      "0000000000010900",
                      "0000000000000500  (0000000000000000  0000000000000000  0000000000000000  0000000000000000) "
                      "0000000000011000",
                      "0000000000000600  (0000000000000000  0000000000000000  0000000000000000  0000000000000000) "
                      "c.sys + 0000000000000010",
                      "VQN Dump End."}));
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    const std::vector<Frame>& Frames = Decoded.Reports[0].Frames;
    ASSERT_EQ(Frames.size(), 6u);
    EXPECT_EQ(Frames[0].Module, (ModuleLocation{"a.sys", 0x900, 0}));  // too far for the reloaded a.sys
    EXPECT_EQ(Frames[0].Address, 0x10900u);
    EXPECT_EQ(Frames[1].Module, (ModuleLocation{"a.sys", 0x10, 1}));
    EXPECT_EQ(Frames[1].Address, 0x20010u);
    EXPECT_EQ(Frames[2].Module, (ModuleLocation{"b.sys", 0, 2}));      // the start belongs to the newest row
    EXPECT_EQ(Frames[3].Module, (ModuleLocation{"a.sys", 0x900, 0}));  // past b.sys's end
    EXPECT_FALSE(Frames[4].Module.has_value());                        // the end belongs to no row
    EXPECT_EQ(Frames[4].Address, 0x11000u);
    EXPECT_EQ(Frames[5].Module, (ModuleLocation{"c.sys", 0x10, std::nullopt}));
    EXPECT_FALSE(Frames[5].Address.has_value());
    EXPECT_TRUE(Decoded.Reports[0].Warnings.empty());
}

// A line longer than any the driver writes is a warning showing its head; a begin marker at its end still
// starts a report.
TEST(DecodeReader, OverlongLines) {
    const std::string Garbage(20000, 'x');
    std::string Capture = FullCapture;
    Capture.insert(Capture.find("VQN: BUGCHECK"), Garbage + "\n");
    Capture += Garbage + "VQN Dump Begin.\nCRASHED ON: 2026-12-08 06:04:05:9\n";

    const auto Decoded = Decode(Capture);
    ASSERT_EQ(Decoded.Reports.size(), 2u);
    EXPECT_EQ(Decoded.Reports[0].Warnings,
              (std::vector<Warning>{{10, "overlong line, dropped", std::string(160, 'x')}}));
    EXPECT_EQ(Decoded.Reports[0].Check->Code, 0x50u);
    EXPECT_EQ(Decoded.Reports[0].End, ReportEnd::AfterControlPc);
    EXPECT_EQ(Decoded.Reports[1].Line, 42u);
    EXPECT_EQ(Decoded.Reports[1].CrashTime, (Timestamp{2026, 12, 8, 6, 4, 5, 9}));
    EXPECT_EQ(Decoded.Reports[1].CutBy, Truncation::EndOfInput);
}

// Boots without reports are part of the capture too, and a report with no banner before it has no boot.
TEST(DecodeReader, BootsAndReportsWithoutEachOther) {
    const auto Decoded = Decode(Lines({"VQN Dump Begin.", "CRASHED ON: 2026-12-08 06:04:05:9",
                                       "VQN: BUGCHECK CODE E2: 0000000000000000 0000000000000000 0000000000000000 "
                                       "0000000000000000",
                                       "VQN Dump End.", Banner, "last bsod, but new version.",
                                       "HesTolvaneDrv ver: 3, Load: 2026-12-08 06:10:00:5", "normal boot."}));
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    EXPECT_FALSE(Decoded.Reports[0].Boot.has_value());
    ASSERT_EQ(Decoded.Boots.size(), 2u);
    EXPECT_EQ(Decoded.Boots[0].State, BootState::LastBsodNewVersion);
    EXPECT_EQ(Decoded.Boots[1].LoadTime, (Timestamp{2026, 12, 8, 6, 10, 0, 5}));
    EXPECT_EQ(Decoded.Boots[1].State, BootState::Normal);
}

// How the bytes are split into chunks does not change what is read, down to one byte at a time.
TEST(DecodeReader, ChunkBoundariesChangeNothing) {
    const std::string Capture = WithCrLf(FullCapture) + FullCapture.substr(0, 900) + Banner + "\n";
    const auto Whole = Decode(Capture);
    testing::Collected Bytewise;
    CaptureReader Reader(Bytewise);
    for (char Byte : Capture) {
        Reader.Feed(std::string_view(&Byte, 1));
    }
    Reader.Finish();
    ASSERT_EQ(Bytewise.Reports.size(), 2u);
    for (size_t Index = 0; Index < 2; Index++) {
        EXPECT_EQ(Bytewise.Reports[Index].Modules, Whole.Reports[Index].Modules);
        EXPECT_EQ(Bytewise.Reports[Index].Frames, Whole.Reports[Index].Frames);
        EXPECT_EQ(Bytewise.Reports[Index].Warnings, Whole.Reports[Index].Warnings);
        EXPECT_EQ(Bytewise.Reports[Index].End, Whole.Reports[Index].End);
    }
    EXPECT_EQ(Bytewise.Boots.size(), Whole.Boots.size());
}

}  // namespace
}  // namespace hestolvane::decode
