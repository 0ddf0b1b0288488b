// Damaged lines inside a report cost those lines only: each kind of damage a serial line does (bytes
// dropped, a changed digit, a terminal's escape sequence, trailing blanks) applied to one line of a
// whole report, and reports whose begin marker was lost.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "decode_test_support.h"
#include "output.h"

namespace hestolvane::decode {
namespace {

using testing::Decode;
using testing::Lines;

std::string Registers() {
    std::string Text;
    for (const RegisterLayout& Register : ContextRegisters) {
        Text += "         " + std::string(Register.Name) + (Register.Name == "RSI" ? "= " : " = ") +
                std::string(static_cast<size_t>(Register.Digits), '1') + "\n";
    }
    return Text;
}

const std::string Whole =
    Lines({"VQN Dump Begin.", "CRASHED ON: 2026-12-08 06:04:05:9", "Dump:", "start    end    module    pdb    path    guid",
           "FFFFF80400000000 FFFFF80400100000  ntoskrnl.exe  ntkrnlmp.pdb  \\SystemRoot\\system32\\ntoskrnl.exe  "
           "7E118A3C-9452-4D1B-A26F-0E359C41D708",
           "FFFFF80420000000 FFFFF80420004000  my.sys  my.pdb  \\SystemRoot\\my.sys  "
           "C04E2791-663B-124A-8D05-77E12C9F40B3",
           "VQN: BUGCHECK CODE 50: FFFFF80000001000 0000000000000000 FFFFF80012345678 0000000000000002",
           "CONTEXT (FFFFF80011112222):"}) +
    Registers() +
    Lines({"FFFFD00000001F10  (0000000000000001  0000000000000002  0000000000000003  0000000000000004) "
           "my.sys + 0000000000001234",
           "FFFFD00000001F60  (0000000000000005  0000000000000006  0000000000000007  0000000000000008) "
           "FFFFF80400000040",
           "ControlPc", "VQN Dump End."});

// The capture with the line that starts with Prefix replaced by Damaged.
std::string WithLine(const std::string& Prefix, const std::string& Damaged) {
    std::string Capture = Whole;
    const size_t At = Capture.find("\n" + Prefix) + 1;
    Capture.replace(At, Capture.find('\n', At) - At, Damaged);
    return Capture;
}

struct Damage {
    const char* What;
    std::string Capture;
    bool KeepsCheck = true;
    bool KeepsContextAddress = true;
    size_t Registers = 24;
};

TEST(DecodeDamage, OneDamagedLineCostsThatLineOnly) {
    const std::vector<Damage> Cases = {
        {"bug-check line with bytes dropped", WithLine("VQN: BUG", "VQN: BUGCHECK CODE 50: FFFFF800001000 00000"), false},
        {"CONTEXT line with bytes dropped", WithLine("CONTEXT", "CONTXT (FFFFF80011112222):"), true, false},
        {"one register value damaged", WithLine("         RAX", "         RAX = 11111#1111111111"), true, true, 23},
        {"column header damaged", WithLine("start", "start    end    modle    pdb    path    guid")},
        {"\"Dump:\" damaged", WithLine("Dump:", "Dmp:")},
        {"escape sequence before the bug-check line",
         WithLine("VQN: BUG", "\x1b[0mVQN: BUGCHECK CODE 50: FFFFF80000001000 0000000000000000 FFFFF80012345678 "
                              "0000000000000002")},
    };
    for (const Damage& Case : Cases) {
        SCOPED_TRACE(Case.What);
        const auto Decoded = Decode(Case.Capture);
        ASSERT_EQ(Decoded.Reports.size(), 1u);
        const Report& Crash = Decoded.Reports[0];
        EXPECT_TRUE(Crash.HasModuleTable);
        EXPECT_EQ(Crash.Modules.size(), 2u);
        EXPECT_EQ(Crash.Check.has_value(), Case.KeepsCheck);
        ASSERT_TRUE(Crash.Context);
        EXPECT_EQ(Crash.Context->Address.has_value(), Case.KeepsContextAddress);
        EXPECT_EQ(Crash.Context->Registers.size(), Case.Registers);
        EXPECT_EQ(Crash.Frames.size(), 2u);
        EXPECT_EQ(Crash.End, ReportEnd::AfterControlPc);
        const bool Escaped = std::string(Case.What).find("escape") != std::string::npos;
        EXPECT_EQ(Crash.Warnings.empty(), Escaped) << (Crash.Warnings.empty() ? "" : Crash.Warnings[0].Message);
        // The damaged line's own warning, not one for every register after it.
        size_t RegisterWarnings = 0;
        for (const Warning& Each : Crash.Warnings) {
            RegisterWarnings += Each.Message.find("expected register") != std::string::npos ? 1 : 0;
        }
        EXPECT_LE(RegisterWarnings, 1u);
    }
}

// Without its bug-check line a report has no code: nothing is made up for it.
TEST(DecodeDamage, LostBugCheckLeavesTheCodeMissing) {
    const auto Decoded = Decode(WithLine("VQN: BUG", "VQN: BUGCHECK CODE 5"));
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    const Report& Crash = Decoded.Reports[0];
    EXPECT_FALSE(Crash.Check);
    bool Said = false;
    for (const Warning& Each : Crash.Warnings) {
        Said = Said || Each.Message == "report has no bug-check line";
    }
    EXPECT_TRUE(Said);
}

TEST(DecodeDamage, TrailingBlanksAndTabsAreNoPartOfALine) {
    std::string Blanks;
    std::string Tabs;
    for (size_t Start = 0; Start < Whole.size();) {
        const size_t End = Whole.find('\n', Start);
        Blanks += Whole.substr(Start, End - Start) + " \r\n";
        Tabs += Whole.substr(Start, End - Start) + "\t\n";
        Start = End + 1;
    }
    const auto Reference = Decode(Whole);
    for (const std::string& Capture : {Blanks, Tabs}) {
        const auto Decoded = Decode("HesTolvaneDrv ver: 3, Load: 2026-12-08 06:03:03:17 \nnormal boot. \n" + Capture);
        ASSERT_EQ(Decoded.Reports.size(), 1u);
        ASSERT_EQ(Decoded.Boots.size(), 1u);
        EXPECT_TRUE(Decoded.Boots[0].Warnings.empty());
        EXPECT_TRUE(Decoded.Reports[0].Warnings.empty());
        EXPECT_EQ(Decoded.Reports[0].Frames, Reference.Reports[0].Frames);
        EXPECT_EQ(Decoded.Reports[0].Modules, Reference.Reports[0].Modules);
    }
}

TEST(DecodeDamage, ReportWhoseBeginMarkerIsLostIsKeptAsDamaged) {
    const auto Decoded = Decode("firmware says hello\n" + WithLine("VQN Dump Begin.", "VQN Dmp Begin"));
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    const Report& Crash = Decoded.Reports[0];
    EXPECT_TRUE(Crash.Damaged);
    EXPECT_EQ(Crash.Line, 3u);  // the crash-time line, the first that only a report has
    EXPECT_TRUE(Crash.CrashTime);
    EXPECT_EQ(Crash.Modules.size(), 2u);
    EXPECT_EQ(Crash.Frames.size(), 2u);
    ASSERT_FALSE(Crash.Warnings.empty());
    EXPECT_EQ(Crash.Warnings[0].Message, "report without its begin marker: recognised from this line");

    // Only the frames and the end marker survived: still a report, with what there is.
    const auto Tail = Decode(Whole.substr(Whole.find("FFFFD00000001F10")));
    ASSERT_EQ(Tail.Reports.size(), 1u);
    EXPECT_TRUE(Tail.Reports[0].Damaged);
    EXPECT_EQ(Tail.Reports[0].Frames.size(), 2u);
    EXPECT_EQ(Tail.Reports[0].End, ReportEnd::AfterControlPc);

    // Other writers' text alone makes no report.
    EXPECT_TRUE(Decode(Lines({"Dump:", "ControlPc", "PrintStack", "normal boot."})).Reports.empty());
}

// A time no clock shows is not written as one: null, with a warning that keeps the line's text.
TEST(DecodeDamage, ImpossibleTimesAreNullWithTheirText) {
    const std::string Banner = "HesTolvaneDrv ver: 3, Load: 2026-02-30 06:03:03:17";
    const auto Decoded = Decode(Banner + "\nnormal boot.\n" + WithLine("CRASHED ON", "CRASHED ON: 2026-04-31 24:00:00:1"));
    ASSERT_EQ(Decoded.Boots.size(), 1u);
    EXPECT_FALSE(Decoded.Boots[0].LoadTime);
    EXPECT_EQ(Decoded.Boots[0].Warnings, (std::vector<Warning>{{1, "load time is no real date or time", Banner}}));
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    EXPECT_FALSE(Decoded.Reports[0].CrashTime);
    ASSERT_FALSE(Decoded.Reports[0].Warnings.empty());
    EXPECT_EQ(Decoded.Reports[0].Warnings[0],
              (Warning{4, "crash time is no real date or time", "CRASHED ON: 2026-04-31 24:00:00:1"}));
    const auto Json = nlohmann::json::parse(ReportJson(Decoded.Reports[0]));
    EXPECT_TRUE(Json["crash_time"].is_null());

    // 29 February of a leap year is a real day; a banner cut short keeps its text in its warning.
    const auto Leap = Decode("HesTolvaneDrv ver: 3, Load: 2028-02-29 23:59:59:999\nHesTolvaneDrv ver: 3, Lo\n");
    ASSERT_EQ(Leap.Boots.size(), 2u);
    EXPECT_TRUE(Leap.Boots[0].LoadTime);
    EXPECT_EQ(Leap.Boots[1].Warnings,
              (std::vector<Warning>{{2, "load banner incomplete or unreadable", "HesTolvaneDrv ver: 3, Lo"}}));
}

// A row's texts printed "(null)" are null in JSON, the PDB path as much as the name and the path.
TEST(DecodeDamage, NullPdbPathIsNullInJson) {
    const auto Decoded = Decode(WithLine("FFFFF80420000000", "FFFFF80420000000 FFFFF80420004000  (null)  (null)  (null)  "
                                                             "C04E2791-663B-124A-8D05-77E12C9F40B3"));
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    const auto Json = nlohmann::json::parse(ReportJson(Decoded.Reports[0]));
    const auto& Row = Json["modules"][1];
    EXPECT_TRUE(Row["name"].is_null());
    EXPECT_TRUE(Row["pdb_path"].is_null());
    EXPECT_TRUE(Row["path"].is_null());
    EXPECT_EQ(Json["modules"][0]["pdb_path"], "ntkrnlmp.pdb");
}

}  // namespace
}  // namespace hestolvane::decode
