// Bucket qualifiers and owner rules. Each qualifier is read from a hand-written report of its bug check, the
// expected buckets written out from Microsoft's bug-check reference pages; the owner rules follow the
// triage.ini semantics Microsoft documents ("Specifying Module and Function Owners"), on hand-written
// frame lists.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "signature.h"
#include "symbol_test_support.h"

namespace hestolvane::decode {
namespace {

using namespace testing;

constexpr const char* DefaultParameters = "FFFFF80000001000 0000000000000000 FFFFF80012345678 0000000000000002";

// A report of a crash in mydrv.sys (no symbols) with the bug-check line "VQN: BUGCHECK CODE <Check>".
std::string CaptureWith(const std::string& Code, const std::string& Parameters) {
    const RowSpec Row{0xFFFFF80480000000, 0xFFFFF80480010000, "mydrv.sys", "mydrv.pdb",
                      "7E118A3C-9452-4D1B-A26F-0E359C41D708"};
    std::string Text = ReportText({Row}, {{"", 0xFFFFF80512345678}, {"mydrv.sys", 0x1234}}, 917, Code);
    Text.replace(Text.find(DefaultParameters), std::string(DefaultParameters).size(), Parameters);
    return Text;
}

std::string BucketOf(const std::string& Code, const std::string& Parameters, const Triage& With = Triage()) {
    std::vector<Report> Reports = Decode(CaptureWith(Code, Parameters)).Reports;
    EXPECT_EQ(Reports.size(), 1u);
    return Reports.empty() ? "" : ComputeSignature(Reports[0], With).Bucket;
}

// Parameter 1 first; the others zero unless given.
std::string P(const std::string& First, const std::string& Second = "0", const std::string& Third = "0") {
    auto Pad = [](const std::string& Digits) { return std::string(16 - Digits.size(), '0') + Digits; };
    return Pad(First) + " " + Pad(Second) + " " + Pad(Third) + " FFFFF80480001234";
}

TEST(DecodeQualifiers, AccessKindsOfIrqlAndPageFaultChecks) {
    // 0xA parameter 3: 0x0 read, 0x1 write, 0x8 execute.
    EXPECT_EQ(BucketOf("A", P("28", "2", "0")), "0xA_R_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("A", P("28", "2", "1")), "0xA_W_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("A", P("28", "2", "8")), "0xA_X_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("A", P("28", "2", "9")), "0xA_IMAGE_mydrv.sys");  // no documented combination
    // 0xD1 parameter 3: 0 read, 1 write, 2 and 8 execute.
    EXPECT_EQ(BucketOf("D1", P("28", "2", "0")), "0xD1_R_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("D1", P("28", "2", "1")), "0xD1_W_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("D1", P("28", "2", "2")), "0xD1_X_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("D1", P("28", "2", "8")), "0xD1_X_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("D1", P("28", "2", "4")), "0xD1_IMAGE_mydrv.sys");
    // 0x50 parameter 2 on x64: 0 read, 2 write, 10 execute; 1 write before Windows 10 1507.
    EXPECT_EQ(BucketOf("50", P("FFFFF80000001000", "0")), "0x50_R_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("50", P("FFFFF80000001000", "2")), "0x50_W_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("50", P("FFFFF80000001000", "10")), "0x50_X_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("50", P("FFFFF80000001000", "1")), "0x50_W_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("50", P("FFFFF80000001000", "3")), "0x50_IMAGE_mydrv.sys");
}

TEST(DecodeQualifiers, ExceptionCodesInParameterOne) {
    // An x64 kernel passes the NTSTATUS widened with its sign; the bucket keeps its 32 bits.
    EXPECT_EQ(BucketOf("1E", P("FFFFFFFFC0000005", "FFFFF80480001234")), "0x1E_c0000005_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("1E", P("80000003", "FFFFF80480001234")), "0x1E_80000003_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("3B", P("C0000005", "FFFFF80480001234")), "0x3B_c0000005_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("7E", P("FFFFFFFF80000002", "FFFFF80480001234")), "0x7E_80000002_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("8E", P("C000001D", "FFFFF80480001234")), "0x8E_c000001d_IMAGE_mydrv.sys");
}

TEST(DecodeQualifiers, SubtypesInParameterOneAndUnknownSubtypes) {
    EXPECT_EQ(BucketOf("9F", P("3")), "0x9F_3_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("9F", P("500")), "0x9F_500_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("9F", P("7")), "0x9F_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("133", P("0")), "0x133_0_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("133", P("1")), "0x133_1_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("133", P("2")), "0x133_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("C2", P("7")), "0xC2_7_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("C2", P("41286")), "0xC2_41286_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("C2", P("5")), "0xC2_IMAGE_mydrv.sys");
    // Every Driver Verifier rule is a subtype, listed on the page or not.
    EXPECT_EQ(BucketOf("C4", P("62")), "0xC4_62_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("C4", P("20002")), "0xC4_20002_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("C4", P("DEAD0001")), "0xC4_dead0001_IMAGE_mydrv.sys");
    // 0x139's page numbers its types in decimal: 3 (LIST_ENTRY), 37 (switch jump table); 16 is not listed.
    EXPECT_EQ(BucketOf("139", P("3")), "0x139_3_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("139", P("25")), "0x139_25_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("139", P("10")), "0x139_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("19", P("20")), "0x19_20_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("19", P("4")), "0x19_IMAGE_mydrv.sys");
    // A code without a row has no qualifier.
    EXPECT_EQ(BucketOf("EF", P("1")), "0xEF_IMAGE_mydrv.sys");
}

TEST(DecodeQualifiers, LabRowsReplaceAndAddAndBadRowsWarnWithTheirLines) {
    Triage Lab;
    std::vector<std::string> Warnings;
    Lab.Qualifiers.Add("# our table\n"
                       "0xD1 3 access 0x0=READ 0x1=WRITE\n"
                       "0xEF 2 subtype 0x1 0x2=TWO\n"
                       "D1 3 access 0x0=R\n"
                       "0x20 5 subtype 0x1\n"
                       "0x21 1 status 0x1\n"
                       "0x22 1 access 0x1\n"
                       "0x23 1 subtype 0x1=A_B\n"
                       "0x24 1 blue 0x1\n",
                       "lab.txt", Warnings);
    EXPECT_EQ(Warnings, (std::vector<std::string>{
                            "lab.txt:4: the bug-check code must be written 0x and hexadecimal digits, row left out",
                            "lab.txt:5: the parameter must be 1, 2, 3 or 4, row left out",
                            "lab.txt:6: a status row lists no values, row left out",
                            "lab.txt:7: an access value needs its qualifier, as in 0x1=W: 0x1, row left out",
                            "lab.txt:8: a qualifier may hold neither '_' nor '!', nor be empty: 0x1=A_B, row left out",
                            "lab.txt:9: the kind must be access, status or subtype, row left out"}));
    EXPECT_EQ(BucketOf("D1", P("28", "2", "1"), Lab), "0xD1_WRITE_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("D1", P("28", "2", "2"), Lab), "0xD1_IMAGE_mydrv.sys");  // the lab's row replaced ours
    EXPECT_EQ(BucketOf("EF", P("0", "1"), Lab), "0xEF_1_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("EF", P("0", "2"), Lab), "0xEF_TWO_IMAGE_mydrv.sys");
    EXPECT_EQ(BucketOf("1E", P("C0000005"), Lab), "0x1E_c0000005_IMAGE_mydrv.sys");  // ours still apply
}

TEST(DecodeQualifiers, ShippedTableAndRulesReadWithoutWarnings) {
    std::vector<std::string> Warnings;
    QualifierTable Table;
    Table.Add(DefaultQualifierTable(), "qualifiers.txt", Warnings);
    TriageRules Rules;
    Rules.Add(DefaultTriageIni(), "triage.ini", Warnings);
    EXPECT_EQ(Warnings, std::vector<std::string>{});
    EXPECT_EQ(Table.Rows().size(), 13u);
    EXPECT_GT(Rules.Rules().size(), 30u);
}

Frame Named(const std::string& Module, const std::string& Function) {
    Frame Walked;
    Walked.Module = ModuleLocation{Module, 0x10, 0};
    Walked.Function = Function;
    return Walked;
}

Frame Unnamed(const std::string& Module) {
    Frame Walked;
    Walked.Module = ModuleLocation{Module, 0x2A0, 0};
    return Walked;
}

Triage RulesOf(const std::string& Text, bool WithDefaults = false) {
    Triage With;
    if (!WithDefaults) {
        With.Rules = TriageRules();
    }
    std::vector<std::string> Warnings;
    With.Rules.Add(Text, "triage.ini", Warnings);
    EXPECT_EQ(Warnings, std::vector<std::string>{});
    return With;
}

std::optional<std::string> OwnerOf(const Triage& With, const std::string& Module, const std::string& Function) {
    const TriageRule* Rule = With.Rules.Match(RuleTarget{Module, Function});
    if (Rule == nullptr) {
        return std::nullopt;
    }
    return Rule->Owner;
}

// Microsoft's sample file and what its page says each name resolves to.
constexpr const char* SampleIni = "module1=Person1\n"
                                  "module2!functionA=Person2\n"
                                  "module2!functionB=Person3\n"
                                  "module2!funct*=Person4\n"
                                  "module2!*=Person5\n"
                                  "module3!singleFunction=Person6\n"
                                  "mod*!functionC=Person7\n";

TEST(DecodeTriageRules, TheMorePreciseMatchWinsAndAModuleMatchOutranksAFunctionMatch) {
    const Triage Sample = RulesOf(SampleIni);
    EXPECT_EQ(OwnerOf(Sample, "module2.sys", "functionB"), "Person3");  // exact over funct*
    EXPECT_EQ(OwnerOf(Sample, "module2.sys", "functionC"), "Person4");  // funct* over module2!* and mod*!
    EXPECT_EQ(OwnerOf(Sample, "module2.sys", "other"), "Person5");
    EXPECT_EQ(OwnerOf(Sample, "module1.sys", "anything"), "Person1");
    EXPECT_EQ(OwnerOf(Sample, "MODULE1.SYS", "anything"), "Person1");
    EXPECT_EQ(OwnerOf(Sample, "module3.sys", "anotherFunction"), std::nullopt);
    EXPECT_EQ(OwnerOf(Sample, "module3.sys", "singleFunction"), "Person6");

    // Without funct*, module2!* is chosen; without both, mod*!functionC.
    const Triage Fewer = RulesOf("module2!*=Person5\nmod*!functionC=Person7\n");
    EXPECT_EQ(OwnerOf(Fewer, "module2.sys", "functionC"), "Person5");
    EXPECT_EQ(OwnerOf(RulesOf("mod*!functionC=Person7\n"), "module2.sys", "functionC"), "Person7");
    // A longer module prefix is more precise than a shorter one.
    EXPECT_EQ(OwnerOf(RulesOf("mod*=A\nmodule*=B\n"), "module9.sys", "f"), "B");
}

TEST(DecodeTriageRules, AnalyzeWalksPastFramesWithoutAnOwner) {
    // The page's walk: MyModule has no entry, module3 has none for anotherFunction, module2!functionC
    // falls to module2!funct*.
    Report Decoded;
    Decoded.Check = BugCheck{0x7E, {0xC0000005, 0, 0, 0}};
    Decoded.Frames = {Named("MyModule.sys", "someFunction"), Named("module3.sys", "anotherFunction"),
                      Named("module2.sys", "functionC"), Named("module1.sys", "f")};
    const CrashSignature Signed = ComputeSignature(Decoded, RulesOf(SampleIni));
    EXPECT_EQ(Signed.CulpritFrame, 2u);
    EXPECT_EQ(Signed.Owner, "Person4");
    EXPECT_EQ(Signed.Bucket, "0x7E_c0000005_module2!functionC");
    EXPECT_EQ(Signed.Explanation,
              (std::vector<ExplainedFrame>{{0, FrameVerdict::NoRule, "", "", false},
                                           {1, FrameVerdict::NoRule, "", "", false},
                                           {2, FrameVerdict::Owner, "module2!funct*=Person4", "triage.ini:4", true}}));
}

TEST(DecodeTriageRules, DefiniteOwnersLowerDownWinOverMaybeAndMaybeOverLast) {
    Report Decoded;
    Decoded.Check = BugCheck{0x3B, {0xC0000005, 0, 0, 0}};
    Frame Raw;
    Raw.Address = 0xFFFFF80512345678;
    Decoded.Frames = {Raw, Named("ntoskrnl.exe", "KeBugCheckEx"), Named("filter.sys", "PreRead"),
                      Named("helper.sys", "Copy"), Named("mydrv.sys", "Dispatch"), Named("ntoskrnl.exe", "IofCallDriver")};
    const std::string Rules = "filter=last_FilterTeam\nhelper!Copy=maybe_HelperTeam\nmydrv=DriverTeam\n";
    const CrashSignature Definite = ComputeSignature(Decoded, RulesOf(Rules, true));
    EXPECT_EQ(Definite.CulpritFrame, 4u);
    EXPECT_EQ(Definite.Owner, "DriverTeam");
    EXPECT_EQ(Definite.Bucket, "0x3B_c0000005_mydrv!Dispatch");
    ASSERT_EQ(Definite.Explanation.size(), 5u);
    EXPECT_EQ(Definite.Explanation[0].Verdict, FrameVerdict::OutsideModules);
    EXPECT_EQ(Definite.Explanation[1].Verdict, FrameVerdict::Ignored);
    EXPECT_EQ(Definite.Explanation[1].Rule, "*!KeBugCheck*=ignore");
    EXPECT_EQ(Definite.Explanation[2].Verdict, FrameVerdict::Last);
    EXPECT_EQ(Definite.Explanation[3].Verdict, FrameVerdict::Maybe);

    // Without the definite owner the maybe_ candidate is blamed, and without that the last_ one, though
    // both lie above frames no rule names.
    const CrashSignature Maybe = ComputeSignature(Decoded, RulesOf("filter=last_FilterTeam\nhelper!Copy=maybe_HelperTeam\n", true));
    EXPECT_EQ(Maybe.CulpritFrame, 3u);
    EXPECT_EQ(Maybe.Owner, "HelperTeam");
    EXPECT_EQ(Maybe.Explanation.size(), 6u);  // the whole stack was searched for a definite owner
    const CrashSignature Last = ComputeSignature(Decoded, RulesOf("filter=last_FilterTeam\n", true));
    EXPECT_EQ(Last.CulpritFrame, 2u);
    EXPECT_EQ(Last.Owner, "FilterTeam");
    // With no owner anywhere, the first frame no rule passed over, and no owner.
    const CrashSignature None = ComputeSignature(Decoded, Triage());
    EXPECT_EQ(None.CulpritFrame, 2u);
    EXPECT_FALSE(None.Owner);
    // Everything ignored: the code and its qualifier alone.
    const CrashSignature Ignored = ComputeSignature(Decoded, RulesOf("default=ignore\n"));
    EXPECT_FALSE(Ignored.CulpritFrame);
    EXPECT_EQ(Ignored.Bucket, "0x3B_c0000005");
}

TEST(DecodeTriageRules, NamesWildcardsDefaultAndOwnersAsDocumented) {
    // '*' only at the end; "default" for any module or function; spaces in an owner are dropped; the
    // kernel answers to "nt", a module to its name with or without extension.
    const Triage With = RulesOf("my*drv=Literal\n"
                                "nt!default=Kernel Team\n"
                                "default!Shared*=Anyone\n"
                                "hal.dll=Hal\n");
    EXPECT_EQ(OwnerOf(With, "my*drv.sys", "f"), "Literal");
    EXPECT_EQ(OwnerOf(With, "myXdrv.sys", "f"), std::nullopt);
    EXPECT_EQ(OwnerOf(With, "ntkrnlmp.exe", "IofCallDriver"), "KernelTeam");
    EXPECT_EQ(OwnerOf(With, "other.sys", "SharedHelper"), "Anyone");
    EXPECT_EQ(OwnerOf(With, "hal.dll", "HalpX"), "Hal");
    // A rule naming a function needs a frame with a name; a module rule takes frames without one.
    EXPECT_EQ(With.Rules.Match(RuleTarget{"other.sys", std::nullopt}), nullptr);
    Report Decoded;
    Decoded.Check = BugCheck{0x9F, {3, 0, 0, 0}};
    Decoded.Frames = {Unnamed("ntoskrnl.exe"), Unnamed("hal.dll")};
    const CrashSignature Signed = ComputeSignature(Decoded, With);
    EXPECT_EQ(Signed.Explanation[0].Verdict, FrameVerdict::KernelWithoutSymbols);
    EXPECT_EQ(Signed.Bucket, "0x9F_3_IMAGE_hal.dll");
    EXPECT_EQ(Signed.Owner, "Hal");
}

TEST(DecodeTriageRules, BadLinesWarnWithTheirLineNumbersAndTheRestApplies) {
    TriageRules Rules;
    std::vector<std::string> Warnings;
    Rules.Add("; comment\r\n"
              "[owners]\n"
              "mydrv=Team\r\n"
              "no equals sign\n"
              "=Nobody\n"
              "mydrv!=Team\n"
              "a!b!c=Team\n"
              "other=\n"
              "third=maybe_\n"
              "\n"
              "fourth!Run*=ignore\n",
              "lab.ini", Warnings);
    EXPECT_EQ(Warnings, (std::vector<std::string>{
                            "lab.ini:4: no '=' between the name and its owner, line left out: \"no equals sign\"",
                            "lab.ini:5: no module name, line left out: \"=Nobody\"",
                            "lab.ini:6: a function name must follow one '!', line left out: \"mydrv!=Team\"",
                            "lab.ini:7: a function name must follow one '!', line left out: \"a!b!c=Team\"",
                            "lab.ini:8: no owner after '=', line left out: \"other=\"",
                            "lab.ini:9: no owner after '=', line left out: \"third=maybe_\""}));
    ASSERT_EQ(Rules.Rules().size(), 2u);
    EXPECT_EQ(Rules.Match(RuleTarget{"mydrv.sys", "f"})->Origin, "lab.ini:3");
    EXPECT_EQ(Rules.Match(RuleTarget{"fourth.sys", "Runner"})->Strength, RuleStrength::Ignore);
}

TEST(DecodeTriageRules, ExplainListingAndJsonThroughTheCommand) {
    TemporaryDirectory Work;
    std::ofstream(Work / "capture.txt") << CaptureWith("D1", P("28", "2", "1"));
    std::ofstream(Work / "lab.ini") << "mydrv=DriverTeam\nbroken\n";
    const std::string Decoder = HESTOLVANE_DECODE;
    int Exit = -1;
    const std::string Listing =
        CommandOutput(Decoder + " --explain --rules " + Work / "lab.ini" + " " + Work / "capture.txt 2>&1", &Exit);
    EXPECT_EQ(Exit, 0);
    EXPECT_NE(Listing.find("hestolvane-decode: warning: " + Work / "lab.ini" +
                           ":2: no '=' between the name and its owner, line left out: \"broken\"\n"),
              std::string::npos)
        << Listing;
    EXPECT_NE(Listing.find("  Bucket:      0xD1_W_IMAGE_mydrv.sys (frame #01)\n  Owner:       DriverTeam\n"),
              std::string::npos)
        << Listing;
    EXPECT_NE(Listing.find("  Why this frame:\n"
                           "      #00 0xFFFFF80512345678: outside every module, passed over\n"
                           "    > #01 mydrv.sys+0x1234: owned by mydrv=DriverTeam (" + Work / "lab.ini" + ":1)\n"),
              std::string::npos)
        << Listing;
    EXPECT_NE(Listing.find("    Without the qualifier: 0xD1_IMAGE_mydrv.sys\n    By module: 0xD1_IMAGE_mydrv.sys\n"),
              std::string::npos)
        << Listing;

    const std::string Line = CommandOutput(Decoder + " --json --rules " + Work / "lab.ini" + " " + Work / "capture.txt 2>/dev/null");
    const nlohmann::json Signature = nlohmann::json::parse(Line)["signature"];
    EXPECT_EQ(Signature["owner"], "DriverTeam");
    EXPECT_EQ(Signature["qualifier"], "W");
    EXPECT_EQ(Signature["bucket_function"], "0xD1_IMAGE_mydrv.sys");
    EXPECT_EQ(Signature["explain"], nlohmann::json::parse(R"([
        {"frame": 0, "verdict": "outside_modules", "rule": null, "origin": null, "chosen": false},
        {"frame": 1, "verdict": "owner", "rule": "mydrv=DriverTeam", "origin": ")" + Work / "lab.ini" + R"(:1", "chosen": true}])"));
}

}  // namespace
}  // namespace hestolvane::decode
