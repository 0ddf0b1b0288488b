// A real image linked by the cross toolchain, mapped as the kernel's loader maps it: the identity the
// driver records for it must be the one llvm-readobj reads from the file's debug directory.
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "kernel_test.h"
#include "module_records.h"
#include "sim_loader.h"

namespace {

using Guid = std::array<UCHAR, 16>;

// What llvm-readobj --coff-debug-directory says about the image's CodeView record.
struct ToolIdentity {
    std::string Type;
    ULONG Signature = 0;
    Guid Bytes = {};
    std::string PdbFileName;
};

std::string ValueAfter(const std::string& Line, const std::string& Key) {
    const size_t At = Line.find(Key);
    return At == std::string::npos ? std::string() : Line.substr(At + Key.size());
}

// Older llvm-readobj prints the GUID's 16 bytes as they lie in the file, "(36 40 7E ...)"; newer ones print
// the GUID form "{2C7E4036-B8D8-4209-...}", whose first three groups are little-endian numbers in memory.
bool ParseGuid(const std::string& Text, Guid* Out) {
    unsigned Values[16];
    if (std::sscanf(Text.c_str(), " (%2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x %2x)", &Values[0],
                    &Values[1], &Values[2], &Values[3], &Values[4], &Values[5], &Values[6], &Values[7], &Values[8],
                    &Values[9], &Values[10], &Values[11], &Values[12], &Values[13], &Values[14], &Values[15]) == 16) {
        for (size_t Index = 0; Index < 16; Index++) {
            (*Out)[Index] = (UCHAR)Values[Index];
        }
        return true;
    }
    unsigned Data1, Data2, Data3;
    if (std::sscanf(Text.c_str(), " {%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &Data1, &Data2, &Data3, &Values[8],
                    &Values[9], &Values[10], &Values[11], &Values[12], &Values[13], &Values[14], &Values[15]) == 11) {
        const UCHAR Head[8] = {(UCHAR)Data1, (UCHAR)(Data1 >> 8), (UCHAR)(Data1 >> 16), (UCHAR)(Data1 >> 24),
                               (UCHAR)Data2, (UCHAR)(Data2 >> 8), (UCHAR)Data3, (UCHAR)(Data3 >> 8)};
        std::memcpy(Out->data(), Head, sizeof(Head));
        for (size_t Index = 8; Index < 16; Index++) {
            (*Out)[Index] = (UCHAR)Values[Index];
        }
        return true;
    }
    return false;
}

ToolIdentity ReadToolIdentity(const char* DebugDirectoryReport) {
    std::ifstream Report(DebugDirectoryReport);
    EXPECT_TRUE(Report.good()) << DebugDirectoryReport;
    ToolIdentity Identity;
    bool GuidSeen = false;
    for (std::string Line; std::getline(Report, Line);) {
        if (Identity.Type.empty() && Line.find("Type: ") != std::string::npos) {
            Identity.Type = ValueAfter(Line, "Type: ");
        } else if (Line.find("PDBSignature: ") != std::string::npos) {
            Identity.Signature = (ULONG)std::stoul(ValueAfter(Line, "PDBSignature: "), nullptr, 16);
        } else if (Line.find("PDBGUID:") != std::string::npos) {
            GuidSeen = ParseGuid(ValueAfter(Line, "PDBGUID:"), &Identity.Bytes);
        } else if (Line.find("PDBFileName: ") != std::string::npos) {
            Identity.PdbFileName = ValueAfter(Line, "PDBFileName: ");
        }
    }
    EXPECT_TRUE(GuidSeen) << "no PDBGUID line that reads as a GUID";
    return Identity;
}

Guid RecordedGuid(const ModuleInfo* Record) {
    Guid Bytes;
    std::memcpy(Bytes.data(), &Record->PdbGuid, Bytes.size());
    return Bytes;
}

// An image on disk, llvm-readobj's account of it, and the names it goes by in the simulated kernel.
struct RealImageFile {
    const char* Label;
    const char* ImagePath;
    const char* DebugDirectoryReport;
    const char* PdbFileName;
    const char16_t* FullName;
    const char16_t* BaseName;
    const char* BaseNameAnsi;
};

const RealImageFile RealImageFiles[] = {
    {"probe", HESTOLVANE_PROBE_IMAGE, HESTOLVANE_PROBE_DEBUG_DIRECTORY, "probe.pdb",
     u"\\SystemRoot\\System32\\drivers\\probe.dll", u"probe.dll", "probe.dll"},
#ifdef HESTOLVANE_DRIVER_IMAGE
    // The driver build's own signed image, whose identity a crash report on a real machine carries.
    {"HesTolvaneDrv", HESTOLVANE_DRIVER_IMAGE, HESTOLVANE_DRIVER_DEBUG_DIRECTORY, "HesTolvaneDrv.pdb",
     u"\\SystemRoot\\System32\\drivers\\HesTolvaneDrv.sys", u"HesTolvaneDrv.sys", "HesTolvaneDrv.sys"},
#endif
};

void PrintTo(const RealImageFile& File, std::ostream* Out) {
    *Out << File.Label;
}

class RealImage : public KernelTest, public ::testing::WithParamInterface<RealImageFile> {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        InitializeModuleTable();
        Tool = ReadToolIdentity(GetParam().DebugDirectoryReport);
        Image = sim::MapImageFile(GetParam().ImagePath, 0x00006F0000000000);
    }

    void TearDown() override {
        FreeModuleTable();
        KernelTest::TearDown();
    }

    static const ModuleInfo* OnlyRecord() {
        EXPECT_NE(&ModuleListHead, ModuleListHead.Flink);
        EXPECT_EQ(ModuleListHead.Flink, ModuleListHead.Blink);
        return CONTAINING_RECORD(ModuleListHead.Flink, ModuleInfo, Links);
    }

    ToolIdentity Tool;
    sim::MappedImage Image{};
};

TEST_P(RealImage, ToolFindsACodeViewRsdsRecordWithAnIdentity) {
    EXPECT_EQ("CodeView (0x2)", Tool.Type);
    EXPECT_EQ(0x53445352u, Tool.Signature);
    EXPECT_NE(Guid{}, Tool.Bytes);
    EXPECT_NE(std::string::npos, Tool.PdbFileName.find(GetParam().PdbFileName));
}

TEST_P(RealImage, LoadImageNotify_RecordsTheIdentityTheToolReads) {
    ASSERT_EQ(STATUS_SUCCESS, PsSetLoadImageNotifyRoutine(LoadImageNotify));

    sim::ReportImageLoad(GetParam().FullName, Image.Base, Image.Size);

    const ModuleInfo* Record = OnlyRecord();
    EXPECT_EQ((PVOID)0x00006F0000000000, Record->ImageStart);
    EXPECT_STREQ(GetParam().BaseNameAnsi, Record->ModuleName.Buffer);
    EXPECT_EQ(Tool.Bytes, RecordedGuid(Record));
    EXPECT_EQ(Tool.PdbFileName, std::string(Record->PdbName));
    EXPECT_TRUE(sim::DebuggerMessages().empty());
    EXPECT_EQ(STATUS_SUCCESS, PsRemoveLoadImageNotifyRoutine(LoadImageNotify));
}

TEST_P(RealImage, EnumLoadedModules_RecordsTheIdentityTheToolReads) {
    // list: [head] [own] [the image]
    DRIVER_OBJECT Driver;
    std::memset(&Driver, 0, sizeof(Driver));
    sim::MapRegionAt(0x00006F0000100000, 0x1000);
    Driver.DriverSection = sim::AddLoadedModule(u"\\SystemRoot\\System32\\drivers\\Own.sys", u"Own.sys",
                                                0x00006F0000100000, 0x1000);
    sim::AddLoadedModule(GetParam().FullName, GetParam().BaseName, Image.Base, Image.Size);

    EnumLoadedModules(&Driver);

    const ModuleInfo* Record = OnlyRecord();
    EXPECT_STREQ(GetParam().BaseNameAnsi, Record->ModuleName.Buffer);
    EXPECT_EQ(Tool.Bytes, RecordedGuid(Record));
    EXPECT_EQ(Tool.PdbFileName, std::string(Record->PdbName));
    EXPECT_TRUE(sim::DebuggerMessages().empty());
}

INSTANTIATE_TEST_SUITE_P(CrossToolchain, RealImage, ::testing::ValuesIn(RealImageFiles),
                         [](const ::testing::TestParamInfo<RealImageFile>& Info) { return std::string(Info.param.Label); });

}  // namespace
