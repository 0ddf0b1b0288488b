// GetModulePdbInfo: the program database's GUID and path read from images in the simulated kernel, with
// every step of the way cut or corrupted and pages missing or faulting under the reader.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "kernel_test.h"
#include "sim_loader.h"
#include "sim_pe_builder.h"

namespace {

using Guid = std::array<UCHAR, 16>;

const Guid ProbeGuid = {0x3C, 0x8E, 0x1A, 0x55, 0x0B, 0x7D, 0x4F, 0x42,
                        0x9A, 0x61, 0x2E, 0xC4, 0x80, 0x13, 0xF7, 0x6D};
const Guid NoGuid = {};

const char* const ExceptionMessage = "GetModulePdbInfo except. \r\n";

// A page the reader must not touch is made Invalid: the simulated kernel stops the process on any touch
// of it, so a test that passes has also shown that the page was left alone.

class ModuleIdentity : public KernelTest {
protected:
    // The image every test starts from: valid, with the identity above.
    static sim::PeImageBuilder Probe() {
        sim::PeImageBuilder Builder;
        Builder.Guid(ProbeGuid).PdbPath("d:\\build\\amd64\\probe.pdb");
        return Builder;
    }

    ULONG_PTR Map(const sim::PeImageBuilder& Builder) { return sim::MapImageBytes(Builder.Build()).Base; }

    void SetPage(ULONG_PTR Address, sim::PageState State) {
        sim::SetPageState((PVOID)Address, sim::PageSize, State);
    }

    ULONG ReadIdentity(ULONG_PTR ImageStart) {
        Record.ImageStart = (PVOID)ImageStart;
        return GetModulePdbInfo(&Record);
    }

    Guid RecordedGuid() const {
        Guid Bytes;
        std::memcpy(Bytes.data(), &Record.PdbGuid, Bytes.size());
        return Bytes;
    }

    void ExpectNoIdentity() const {
        EXPECT_EQ(NoGuid, RecordedGuid());
        for (size_t Index = 0; Index < PdbNameSize; Index++) {
            ASSERT_EQ(0, Record.PdbName[Index]) << "PdbName[" << Index << "]";
        }
    }

    std::vector<std::string> Messages() const { return sim::DebuggerMessages(); }

    ModuleInfo Record{};
};

const std::vector<std::string> NoMessages;

TEST_F(ModuleIdentity, GetModulePdbInfo_ValidImageYieldsGuidAndPath) {
    ULONG_PTR Base = Map(Probe());

    EXPECT_EQ(0u, ReadIdentity(Base));

    EXPECT_EQ(ProbeGuid, RecordedGuid());
    EXPECT_STREQ("d:\\build\\amd64\\probe.pdb", Record.PdbName);
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_RestOfThePathBufferStaysZero) {
    ULONG_PTR Base = Map(Probe());
    ASSERT_EQ(0u, ReadIdentity(Base));
    for (size_t Index = 24; Index < PdbNameSize; Index++) {
        ASSERT_EQ(0, Record.PdbName[Index]) << "PdbName[" << Index << "]";
    }
}

TEST_F(ModuleIdentity, GetModulePdbInfo_ImageBaseNotValidFailsSilently) {
    ULONG_PTR Base = Map(Probe());
    SetPage(Base, sim::PageState::Invalid);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_NullImageFailsSilently) {
    EXPECT_EQ(1u, ReadIdentity(0));
    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_WrongDosMagicFailsSilently) {
    ULONG_PTR Base = Map(Probe().DosMagic(0x4D5A));

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_FaultOnTheFirstReadIsCaught) {
    ULONG_PTR Base = Map(Probe());
    SetPage(Base, sim::PageState::Faulting);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(std::vector<std::string>{ExceptionMessage}, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_NtHeadersPastTheImageFailSilently) {
    // image: [0-2FFF] [guard 3000-3FFF, e_lfanew points here]
    ULONG_PTR Base = Map(Probe().NtHeadersAt(0x3000));

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_NegativeLfanewReachesBackBeforeTheBase) {
    // bytes: [0-FFF: the module's NT headers at 100] [1000-3FFF: the module, its base at 1000]
    const std::vector<UCHAR> Module = Probe().Build();
    const size_t Headers = sizeof(IMAGE_NT_HEADERS64);
    std::vector<UCHAR> Bytes(0x1000 + Module.size(), 0);
    std::copy(Module.begin(), Module.end(), Bytes.begin() + 0x1000);
    std::memcpy(Bytes.data() + 0x100, Module.data() + 0x80, Headers);
    std::memset(Bytes.data() + 0x1080, 0, Headers);
    const LONG Lfanew = -0xF00;
    std::memcpy(Bytes.data() + 0x1000 + 0x3C, &Lfanew, sizeof(Lfanew));
    ULONG_PTR Mapped = sim::MapImageBytes(Bytes).Base;

    EXPECT_EQ(0u, ReadIdentity(Mapped + 0x1000));

    EXPECT_EQ(ProbeGuid, RecordedGuid());
    EXPECT_STREQ("d:\\build\\amd64\\probe.pdb", Record.PdbName);
}

TEST_F(ModuleIdentity, GetModulePdbInfo_NtHeadersRunningIntoAnInvalidPageFailSilently) {
    // NT headers F80-1087 across [page 0 valid] [page 1 invalid]
    ULONG_PTR Base = Map(Probe().NtHeadersAt(0xF80).DebugDirectoryAt(0x2000).CodeViewAt(0x2040));
    SetPage(Base + 0x1000, sim::PageState::Invalid);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_FaultWhileCopyingTheNtHeadersIsCaught) {
    // NT headers F80-1087 across [page 0 valid] [page 1 faulting]
    ULONG_PTR Base = Map(Probe().NtHeadersAt(0xF80).DebugDirectoryAt(0x2000).CodeViewAt(0x2040));
    SetPage(Base + 0x1000, sim::PageState::Faulting);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(std::vector<std::string>{ExceptionMessage}, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_WrongNtSignatureFailsSilently) {
    ULONG_PTR Base = Map(Probe().NtSignature(0x00004551));
    EXPECT_EQ(1u, ReadIdentity(Base));
    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_ImageForAnotherMachineFailsSilently) {
    ULONG_PTR Base = Map(Probe().Machine(0x014C));
    EXPECT_EQ(1u, ReadIdentity(Base));
    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_Pe32ImageFailsSilently) {
    ULONG_PTR Base = Map(Probe().OptionalHeaderMagic(0x10B));
    EXPECT_EQ(1u, ReadIdentity(Base));
    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_ImageWithoutDebugDirectoryReadsTheDosHeaderAsItsEntry) {
    // Offset 0 makes the DOS header the entry: its dword at 0xC is e_maxalloc 0xFFFF and e_ss 0.
    ULONG_PTR Base = Map(Probe().DebugDirectoryAt(0));

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(std::vector<std::string>{"debug_dir.Type check failed: 65535\n"}, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_DebugDirectoryPastTheImageFailsSilently) {
    ULONG_PTR Base = Map(Probe().DebugDirectoryAt(0x3000));
    EXPECT_EQ(1u, ReadIdentity(Base));
    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_EntryTypeOnAnInvalidPageFailsWithoutAMessage) {
    // entry 1FF8-2013: its Type at 2004 lies on [page 2 invalid]
    ULONG_PTR Base = Map(Probe().DebugDirectoryAt(0x1FF8));
    SetPage(Base + 0x2000, sim::PageState::Invalid);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_EntryTypeOnAFaultingPageIsCaught) {
    ULONG_PTR Base = Map(Probe().DebugDirectoryAt(0x1FF8));
    SetPage(Base + 0x2000, sim::PageState::Faulting);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(std::vector<std::string>{ExceptionMessage}, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_FirstEntryOfAnotherTypeFailsEvenWithCodeViewAfterIt) {
    // directory: [POGO (13) -> the valid RSDS record] [CodeView -> the same record]: only the type decides
    ULONG_PTR Base = Map(Probe().DebugEntryBeforeCodeView(13, sim::PeImageBuilder::DefaultCodeView));

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(std::vector<std::string>{"debug_dir.Type check failed: 13\n"}, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_TypeIsReportedAsASignedNumber) {
    ULONG_PTR Base = Map(Probe().DebugEntryBeforeCodeView(0xFFFFFFFE, 0));
    EXPECT_EQ(1u, ReadIdentity(Base));
    EXPECT_EQ(std::vector<std::string>{"debug_dir.Type check failed: -2\n"}, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_RawDataAddressOnAnInvalidPageFailsSilently) {
    // entry 1FF0-200B: Type at 1FFC on [page 1 valid], AddressOfRawData at 2004 on [page 2 invalid]
    ULONG_PTR Base = Map(Probe().DebugDirectoryAt(0x1FF0));
    SetPage(Base + 0x2000, sim::PageState::Invalid);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_CodeViewRecordPastTheImageFailsSilently) {
    ULONG_PTR Base = Map(Probe().CodeViewAt(0x3000));
    EXPECT_EQ(1u, ReadIdentity(Base));
    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_CodeViewSignatureOtherThanRsdsFailsSilently) {
    ULONG_PTR Base = Map(Probe().CodeViewSignature(0x3031424E));  // "NB10"

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_GuidRunningIntoAnInvalidPageFailsSilently) {
    // record at 1FF8: "RSDS" on [page 1 valid], GUID 1FFC-200B reaching [page 2 invalid]
    ULONG_PTR Base = Map(Probe().CodeViewAt(0x1FF8));
    SetPage(Base + 0x2000, sim::PageState::Invalid);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_FaultWhileCopyingTheGuidIsCaught) {
    ULONG_PTR Base = Map(Probe().CodeViewAt(0x1FF8));
    SetPage(Base + 0x2000, sim::PageState::Faulting);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(std::vector<std::string>{ExceptionMessage}, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_PathOf255CharactersIsCopiedWhole) {
    const std::string Path = "c:\\" + std::string(248, 'p') + ".pdb";
    ASSERT_EQ(255u, Path.size());
    ULONG_PTR Base = Map(Probe().PdbPath(Path));

    EXPECT_EQ(0u, ReadIdentity(Base));

    EXPECT_EQ(0, std::memcmp(Record.PdbName, Path.c_str(), 256));
}

TEST_F(ModuleIdentity, GetModulePdbInfo_PathOf300CharactersIsCutTo255) {
    const std::string Path = "c:\\" + std::string(293, 'p') + ".pdb";
    ASSERT_EQ(300u, Path.size());
    ULONG_PTR Base = Map(Probe().PdbPath(Path));

    EXPECT_EQ(0u, ReadIdentity(Base));

    EXPECT_EQ(std::string("c:\\") + std::string(252, 'p'), std::string(Record.PdbName));
    EXPECT_EQ(0, Record.PdbName[255]);
    EXPECT_EQ(ProbeGuid, RecordedGuid());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_PathRunningIntoAnInvalidPageFailsSilentlyAfterTheGuidWasRead) {
    // path from 1F18 on [page 1 valid]; its 233rd character would be the first on [page 2 invalid]
    ULONG_PTR Base = Map(Probe().CodeViewAt(0x1F00).PdbPath(std::string(400, 'q')));
    SetPage(Base + 0x2000, sim::PageState::Invalid);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_FaultWhileCopyingThePathIsCaughtAndNothingIsKept) {
    ULONG_PTR Base = Map(Probe().CodeViewAt(0x1F00).PdbPath(std::string(400, 'q')));
    SetPage(Base + 0x2000, sim::PageState::Faulting);

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(std::vector<std::string>{ExceptionMessage}, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_PathRunningOffTheImageFailsSilently) {
    // path from 2F18 without a NUL before the guard page at 3000
    ULONG_PTR Base = Map(Probe().CodeViewAt(0x2F00).PdbPath(std::string(300, 'r')));

    EXPECT_EQ(1u, ReadIdentity(Base));

    ExpectNoIdentity();
    EXPECT_EQ(NoMessages, Messages());
}

TEST_F(ModuleIdentity, GetModulePdbInfo_PathOf255CharactersEndingAtAnInvalidPageIsNotReadFurther) {
    // path 2F01-2FFF: 255 characters; its NUL would lie on the guard page at 3000, which is never read
    ULONG_PTR Base = Map(Probe().CodeViewAt(0x2EE9).PdbPath(std::string(255, 's')));

    EXPECT_EQ(0u, ReadIdentity(Base));

    EXPECT_EQ(std::string(255, 's'), std::string(Record.PdbName));
}

}  // namespace
