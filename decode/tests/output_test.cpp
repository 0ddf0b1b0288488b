// What the command prints: the listing and the JSON Lines objects of a hand-written capture, and the exit
// status for each kind of input.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "decode_test_support.h"
#include "output.h"

namespace hestolvane::decode {
namespace {

using testing::Lines;

const std::string Capture =
    Lines({"HesTolvaneDrv ver: 3, Load: 2026-12-08 06:03:03:5", "last bsod, but new version.", "VQN Dump Begin.",
           "CRASHED ON: 2026-12-08 06:04:05:917", "Dump:", "start    end    module    pdb    path    guid",
           "FFFFF80400000000 FFFFF80400100000  ntoskrnl.exe  ntkrnlmp.pdb  \\SystemRoot\\system32\\ntoskrnl.exe  "
           "7E118A3C-9452-4D1B-A26F-0E359C41D708",
           "FFFFF80410000000 FFFFF80410008000  (null)    (null)  00000000-0000-0000-0000-000000000000",
           "VQN: BUGCHECK CODE D1: FFFFF80012345678 0000000000000002 0000000000000000 FFFFF80087654321",
           "CONTEXT (FFFFF80011112222):", "         GS = 002B",
           "FFFFD00000001F10  (0000000000000001  0000000000000002  0000000000000003  0000000000000004) "
           "ntoskrnl.exe + 00000000000123AB",
           "FFFFD00000001F60  (0000000000000005  0000000000000006  0000000000000007  0000000000000008) "
           "FFFFF80410000040",
           "FFFFD00000001FB0  (0000000000000009  000000000000000A  000000000000000B  000000000000000C) "
           "FFFFF80599990000",
           "PrintStack", "VQN Dump End."});

template <typename Writer>
std::string Written() {
    std::ostringstream Out;
    Writer Output(Out);
    CaptureReader Reader(Output);
    Reader.Feed(Capture);
    Reader.Finish();
    return Out.str();
}

TEST(DecodeOutput, Listing) {
    EXPECT_EQ(Written<ListingWriter>(),
              "Boot 1 (line 1): driver version 3, loaded 2026-12-08 06:03:03.005 UTC, last bsod, but new version.\n"
              "\n"
              "Report 1 (line 3)\n"
              "  Crashed:     2026-12-08 06:04:05.917 UTC\n"
              "  Boot:        1, driver version 3, loaded 2026-12-08 06:03:03.005 UTC, last bsod, but new version.\n"
              "  Bug check:   0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL\n"
              "  Parameters:  0xFFFFF80012345678 0x0000000000000002 0x0000000000000000 0xFFFFF80087654321\n"
              "  Modules:     2 rows\n"
              "  Frames:\n"
              "    #00 ntoskrnl.exe+0x123AB\n"
              "    #01 (null)+0x40\n"
              "    #02 0xFFFFF80599990000\n"
              "  Ended:       end marker, after \"PrintStack\" (the walk faulted)\n"
              "  Warnings:\n"
              "    line 12: register context ends after 1 of 24 registers: \"FFFFD00000001F10  (0000000000000001  "
              "0000000000000002  0000000000000003  0000000000000004) ntoskrnl.exe + 00000000000123AB\"\n"
              "\n");
}

TEST(DecodeOutput, JsonLines) {
    std::istringstream Output(Written<JsonLinesWriter>());
    std::string BootLine;
    std::string ReportLine;
    std::string Extra;
    ASSERT_TRUE(std::getline(Output, BootLine));
    ASSERT_TRUE(std::getline(Output, ReportLine));
    EXPECT_FALSE(std::getline(Output, Extra));

    const auto Boot = nlohmann::json::parse(BootLine);
    EXPECT_EQ(Boot, nlohmann::json::parse(R"({"kind": "boot", "schema": 2, "boot": 1, "line": 1,
        "driver_version": 3, "load_time": "2026-12-08T06:03:03.005Z", "state": "last_bsod_new_version",
        "warnings": []})"));

    const auto Report = nlohmann::json::parse(ReportLine);
    EXPECT_EQ(Report["kind"], "report");
    EXPECT_EQ(Report["schema"], 2);
    EXPECT_EQ(Report["report"], 1);
    EXPECT_EQ(Report["boot"], 1);
    EXPECT_EQ(Report["line"], 3);
    EXPECT_EQ(Report["crash_time"], "2026-12-08T06:04:05.917Z");
    EXPECT_EQ(Report["bug_check"], nlohmann::json::parse(R"({"code": "0xD1", "name": "DRIVER_IRQL_NOT_LESS_OR_EQUAL",
        "parameters": ["0xFFFFF80012345678", "0x0000000000000002", "0x0000000000000000", "0xFFFFF80087654321"]})"));
    EXPECT_EQ(Report["module_table"], true);
    EXPECT_EQ(Report["modules"][1], nlohmann::json::parse(R"({"start": "0xFFFFF80410000000",
        "end": "0xFFFFF80410008000", "name": null, "pdb_path": "", "path": null,
        "guid": "00000000-0000-0000-0000-000000000000", "has_identity": false, "symbols": null})"));
    EXPECT_EQ(Report["context"], nlohmann::json::parse(R"({"address": "0xFFFFF80011112222",
        "registers": {"GS": "0x2B"}})"));
    EXPECT_EQ(Report["frames"][0], nlohmann::json::parse(R"({"index": 0, "stack_pointer": "0xFFFFD00000001F10",
        "stack_words": ["0x0000000000000001", "0x0000000000000002", "0x0000000000000003", "0x0000000000000004"],
        "printed": "module_offset", "address": "0xFFFFF804000123AB", "module": "ntoskrnl.exe", "offset": "0x123AB",
        "module_row": 0, "function": null, "function_offset": null, "source_file": null, "source_line": null,
        "inlined": []})"));
    EXPECT_EQ(Report["frames"][2]["module"], nullptr);
    EXPECT_EQ(Report["frames"][2]["address"], "0xFFFFF80599990000");
    EXPECT_EQ(Report["end"], "print_stack");
    EXPECT_EQ(Report["truncation"], nullptr);
    EXPECT_EQ(Report["warnings"].size(), 1u);
    EXPECT_EQ(Report["warnings"][0]["line"], 12);
}

// Bytes outside ASCII are the machine's ANSI code page; JSON carries them as Latin-1.
TEST(DecodeOutput, JsonTextIsValidUtf8) {
    Report Decoded;
    Decoded.Modules.push_back(ModuleRow{0, 1, std::string("caf\xE9.sys"), "", std::nullopt, "x"});
    EXPECT_EQ(nlohmann::json::parse(ReportJson(Decoded))["modules"][0]["name"], "caf\xC3\xA9.sys");
}

class DecodeCommand : public ::testing::Test {
protected:
    std::string Directory;

    void SetUp() override {
        char Template[] = "/tmp/hestolvane-decode-XXXXXX";
        ASSERT_NE(mkdtemp(Template), nullptr);
        Directory = Template;
    }
    void TearDown() override { std::system(("rm -rf " + Directory).c_str()); }

    std::string WriteFile(const std::string& Name, const std::string& Text) {
        const std::string Path = Directory + "/" + Name;
        std::ofstream(Path, std::ios::binary) << Text;
        return Path;
    }

    static int Status(const std::string& Arguments) {
        int Exit = -1;
        testing::CommandOutput(std::string(HESTOLVANE_DECODE) + " " + Arguments + " 2>/dev/null", &Exit);
        return Exit;
    }
};

TEST_F(DecodeCommand, ExitStatusFollowsWhatWasRead) {
    EXPECT_EQ(Status(WriteFile("clean", Capture.substr(0, Capture.find("CONTEXT")) + "VQN Dump End.\n")), ExitClean);
    EXPECT_EQ(Status(WriteFile("warnings", Capture)), ExitWarnings);
    EXPECT_EQ(Status(WriteFile("truncated", Capture.substr(0, Capture.find("PrintStack")))), ExitWarnings);
    EXPECT_EQ(Status(WriteFile("boot-only", "HesTolvaneDrv ver: 3, Load: 2026-12-\nnormal boot.\n")), ExitNoReport);
    EXPECT_EQ(Status(Directory + "/missing"), ExitUnreadableInput);
    EXPECT_EQ(Status("--serial " + Directory + "/no-such-tty"), ExitUnreadableInput);
    EXPECT_EQ(Status("--serial /dev/ttyS0:123"), ExitUsage);
    EXPECT_EQ(Status("--no-such-option"), ExitUsage);
    EXPECT_EQ(Status("a b"), ExitUsage);
}

// The README's pipe: hestolvane-sim's COM1 output straight into the decoder, as a listing and as JSON.
TEST_F(DecodeCommand, ReadsHestolvaneSimFromAPipe) {
    int Exit = -1;
    const std::string Sim = std::string(HESTOLVANE_SIM) + " 2>/dev/null | ";
    const std::string Listing = testing::CommandOutput(Sim + HESTOLVANE_DECODE, &Exit);
    EXPECT_EQ(Exit, ExitClean);
    EXPECT_NE(Listing.find("  Bug check:   0x50 PAGE_FAULT_IN_NONPAGED_AREA\n"), std::string::npos) << Listing;
    EXPECT_NE(Listing.find("    #00 hestolvane-sim.sys+0x"), std::string::npos) << Listing;

    std::istringstream Json(testing::CommandOutput(Sim + HESTOLVANE_DECODE + " --json", &Exit));
    EXPECT_EQ(Exit, ExitClean);
    std::vector<std::string> Kinds;
    for (std::string Line; std::getline(Json, Line);) {
        Kinds.push_back(nlohmann::json::parse(Line)["kind"]);
    }
    EXPECT_EQ(Kinds, (std::vector<std::string>{"boot", "report"}));
}

}  // namespace
}  // namespace hestolvane::decode
