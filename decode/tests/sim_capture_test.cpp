// Captures of the real thing: hestolvane-sim runs the driver's own code and prints what COM1 receives;
// the COM1 captures of the real image under Wine are read when the driver build has made them.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "decode_test_support.h"

namespace hestolvane::decode {

std::string testing::CommandOutput(const std::string& Command, int* ExitStatus) {
    std::string Output;
    FILE* Pipe = popen(Command.c_str(), "r");
    if (Pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << Command;
        return Output;
    }
    char Buffer[65536];
    for (size_t Count; (Count = std::fread(Buffer, 1, sizeof(Buffer), Pipe)) > 0;) {
        Output.append(Buffer, Count);
    }
    const int Status = pclose(Pipe);
    if (ExitStatus != nullptr) {
        *ExitStatus = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    }
    return Output;
}

namespace {

using testing::CommandOutput;
using testing::Decode;

testing::Collected DecodeSim(const std::string& Arguments) {
    int Status = -1;
    const std::string Capture = CommandOutput(std::string(HESTOLVANE_SIM) + " " + Arguments + " 2>/dev/null", &Status);
    EXPECT_EQ(Status, 0) << "hestolvane-sim " << Arguments;
    return Decode(Capture);
}

void ExpectNoWarnings(const testing::Collected& Decoded) {
    for (const Boot& Each : Decoded.Boots) {
        EXPECT_TRUE(Each.Warnings.empty()) << "boot " << Each.Number;
    }
    for (const Report& Each : Decoded.Reports) {
        for (const Warning& Shown : Each.Warnings) {
            ADD_FAILURE() << "report " << Each.Number << " line " << Shown.Line << ": " << Shown.Message << ": "
                          << Shown.Text;
        }
    }
}

const BugCheck SimDefaultCheck{0x50, {0xFFFFF80000001000, 0, 0xFFFFF80012345678, 2}};

// The default scenario: the kernel, the HAL and the simulator's own image in the table, and a walk that
// runs through the simulator's code until the return address 0 ends it.
TEST(DecodeSimCapture, DefaultScenario) {
    const auto Decoded = DecodeSim("");
    ExpectNoWarnings(Decoded);
    ASSERT_EQ(Decoded.Boots.size(), 1u);
    EXPECT_EQ(Decoded.Boots[0].DriverVersion, 3);
    EXPECT_EQ(Decoded.Boots[0].State, BootState::Normal);
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    const Report& Crash = Decoded.Reports[0];
    EXPECT_EQ(Crash.Boot, 1u);
    EXPECT_EQ(Crash.Line, 3u);
    EXPECT_EQ(Crash.Check, SimDefaultCheck);

    ASSERT_EQ(Crash.Modules.size(), 3u);
    EXPECT_EQ(Crash.Modules[0].Name, "ntoskrnl.exe");
    EXPECT_EQ(Crash.Modules[0].PdbPath, "ntkrnlmp.pdb");
    EXPECT_EQ(Crash.Modules[0].Path, "\\SystemRoot\\system32\\ntoskrnl.exe");
    EXPECT_EQ(Crash.Modules[0].Guid, "7E118A3C-9452-4D1B-A26F-0E359C41D708");
    EXPECT_EQ(Crash.Modules[1].Name, "hal.dll");
    EXPECT_EQ(Crash.Modules[1].Guid, "C04E2791-663B-124A-8D05-77E12C9F40B3");
    EXPECT_EQ(Crash.Modules[2].Name, "hestolvane-sim.sys");
    EXPECT_EQ(Crash.Modules[2].PdbPath, "");
    EXPECT_EQ(Crash.Modules[2].Path, "\\SystemRoot\\System32\\drivers\\hestolvane-sim.sys");
    EXPECT_FALSE(Crash.Modules[2].HasIdentity());

    ASSERT_TRUE(Crash.Context.has_value());
    EXPECT_EQ(Crash.Context->Registers.size(), 24u);
    ASSERT_GE(Crash.Frames.size(), 2u);
    ASSERT_LE(Crash.Frames.size(), 20u);
    const Frame& First = Crash.Frames.front();
    EXPECT_EQ(First.Printed, AddressForm::ModuleOffset);
    ASSERT_TRUE(First.Module.has_value());
    EXPECT_EQ(First.Module->Name, "hestolvane-sim.sys");
    EXPECT_EQ(First.Module->Row, 2u);
    EXPECT_EQ(*First.Address, Crash.Modules[2].Start + First.Module->Offset);
    EXPECT_EQ(Crash.Frames.back().Address, 0u);  // the return address 0 that ends the walk
    EXPECT_EQ(Crash.End, ReportEnd::AfterControlPc);
}

TEST(DecodeSimCapture, WithoutModuleCollection) {
    const auto Decoded = DecodeSim("--no-tracking");
    ExpectNoWarnings(Decoded);
    ASSERT_EQ(Decoded.Boots.size(), 1u);
    EXPECT_EQ(Decoded.Boots[0].State, BootState::LastBsod);
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    EXPECT_EQ(Decoded.Reports[0].Check, SimDefaultCheck);
    EXPECT_FALSE(Decoded.Reports[0].HasModuleTable);
    EXPECT_TRUE(Decoded.Reports[0].Frames.empty());
    EXPECT_EQ(Decoded.Reports[0].End, ReportEnd::EndMarker);
}

// Three boots: the first dies in the module walk with only the kernel recorded, so its frames inside the
// simulator print raw; the two after it run without collection.
TEST(DecodeSimCapture, BootThatDiesDuringTheWalkAndTheBootsAfter) {
    const auto Decoded = DecodeSim("--boots 3 --die-during-walk");
    ExpectNoWarnings(Decoded);
    ASSERT_EQ(Decoded.Boots.size(), 3u);
    EXPECT_EQ(Decoded.Boots[0].State, BootState::Normal);
    EXPECT_EQ(Decoded.Boots[1].State, BootState::LastBsod);
    EXPECT_EQ(Decoded.Boots[2].State, BootState::LastBsod);
    ASSERT_EQ(Decoded.Reports.size(), 3u);

    const Report& Died = Decoded.Reports[0];
    EXPECT_EQ(Died.Boot, 1u);
    EXPECT_EQ(Died.Check->Code, 0x1Eu);
    EXPECT_EQ(Died.Check->Parameters[0], 0xC0000005u);
    ASSERT_EQ(Died.Modules.size(), 1u);
    EXPECT_EQ(Died.Modules[0].Name, "ntoskrnl.exe");
    ASSERT_FALSE(Died.Frames.empty());
    for (const Frame& Walked : Died.Frames) {
        EXPECT_EQ(Walked.Printed, AddressForm::Raw);
    }
    EXPECT_EQ(Died.End, ReportEnd::AfterControlPc);

    for (unsigned Index = 1; Index < 3; Index++) {
        EXPECT_EQ(Decoded.Reports[Index].Boot, Index + 1);
        EXPECT_EQ(Decoded.Reports[Index].Check, SimDefaultCheck);
        EXPECT_FALSE(Decoded.Reports[Index].HasModuleTable);
        EXPECT_EQ(Decoded.Reports[Index].End, ReportEnd::EndMarker);
    }
}

std::optional<std::string> WineCapture(const std::string& Scenario) {
    std::ifstream File(
        std::string(HESTOLVANE_WINE_CAPTURES) + "/" + Scenario + "/prefix/drive_c/hestolvane/uart-capture.bin",
        std::ios::binary);
    if (!File) {
        return std::nullopt;
    }
    std::ostringstream Bytes;
    Bytes << File.rdbuf();
    return Bytes.str();
}

// The bug checks the Wine scenarios raise (tests/wine/run_wine_e2e.py).
TEST(DecodeWineCapture, BugCheckScenario) {
    const auto Capture = WineCapture("bugcheck");
    if (!Capture) {
        GTEST_SKIP() << "no Wine capture: the driver build's wine_bugcheck test has not run";
    }
    const auto Decoded = Decode(*Capture);
    ExpectNoWarnings(Decoded);
    ASSERT_EQ(Decoded.Boots.size(), 1u);
    EXPECT_EQ(Decoded.Boots[0].DriverVersion, 3);
    EXPECT_EQ(Decoded.Boots[0].State, BootState::Normal);
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    EXPECT_EQ(Decoded.Reports[0].Check, (BugCheck{0xD1, {0xFFFFF80012345678, 2, 0, 0xFFFFF80087654321}}));
    // Wine loads nothing at a kernel-space address and the driver records kernel-space modules only: the
    // table has its heading and no rows, and every frame is raw.
    const Report& Crash = Decoded.Reports[0];
    EXPECT_TRUE(Crash.HasModuleTable);
    EXPECT_TRUE(Crash.Modules.empty());
    ASSERT_TRUE(Crash.Context.has_value());
    EXPECT_EQ(Crash.Context->Registers.size(), 24u);
    ASSERT_FALSE(Crash.Frames.empty());
    ASSERT_LE(Crash.Frames.size(), 20u);
    for (const Frame& Walked : Crash.Frames) {
        EXPECT_EQ(Walked.Printed, AddressForm::Raw);
        EXPECT_FALSE(Walked.Module.has_value());
    }
    if (Crash.Frames.size() < 20) {
        EXPECT_TRUE(Crash.End == ReportEnd::AfterControlPc || Crash.End == ReportEnd::AfterPrintStack);
    }
}

TEST(DecodeWineCapture, LastBsodScenario) {
    const auto Capture = WineCapture("last_bsod");
    if (!Capture) {
        GTEST_SKIP() << "no Wine capture: the driver build's wine_last_bsod test has not run";
    }
    const auto Decoded = Decode(*Capture);
    ExpectNoWarnings(Decoded);
    ASSERT_EQ(Decoded.Boots.size(), 1u);
    EXPECT_EQ(Decoded.Boots[0].State, BootState::LastBsod);
    ASSERT_EQ(Decoded.Reports.size(), 1u);
    EXPECT_EQ(Decoded.Reports[0].Check, (BugCheck{0x1E, {0xC0000005, 0xFFFFF80012345678, 0, 0}}));
    EXPECT_FALSE(Decoded.Reports[0].HasModuleTable);
    EXPECT_EQ(Decoded.Reports[0].End, ReportEnd::EndMarker);
}

}  // namespace
}  // namespace hestolvane::decode
