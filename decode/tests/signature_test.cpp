// Crash signatures: the culprit past the reporter's raw frames and the kernel's machinery, one signature
// for one crash at two load addresses and after a rebuild that moves code, another for another culprit.
#include <gtest/gtest.h>

#include "signature.h"
#include "symbol_test_support.h"
#include "symbols.h"

namespace hestolvane::decode {
namespace {

using namespace testing;

std::string CrashyDir() {
    return HESTOLVANE_CRASHY_DIR;
}

TEST(DecodeSignature, FnvVectors) {
    EXPECT_EQ(Fnv1a64(""), 0xCBF29CE484222325ULL);
    EXPECT_EQ(Fnv1a64("a"), 0xAF63DC4C8601EC8CULL);
    EXPECT_EQ(Fnv1a64("foobar"), 0x85944171F73967E8ULL);
}

Frame Named(const std::string& Module, const std::string& Function) {
    Frame Walked;
    Walked.Module = ModuleLocation{Module, 0x10, 0};
    Walked.Function = Function;
    return Walked;
}

Frame Unnamed(const std::string& Module, uint64_t Offset) {
    Frame Walked;
    Walked.Module = ModuleLocation{Module, Offset, 0};
    return Walked;
}

TEST(DecodeSignature, CulpritSkipsRawFramesAndTheKernelsMachinery) {
    Report Decoded;
    Decoded.Check = BugCheck{0xD1, {0x28, 2, 1, 0xFFFFF80012345678}};
    Frame Raw;
    Raw.Address = 0xFFFFF80512345678;
    Decoded.Frames = {Raw,
                      Raw,
                      Named("ntoskrnl.exe", "KeBugCheckEx"),
                      Named("ntoskrnl.exe", "KiBugCheckDispatch"),
                      Named("ntoskrnl.exe", "KiPageFault"),
                      Named("MyDrv.sys", "ReadBuffer"),
                      Raw,
                      Unnamed("other.sys", 0x1A2B),
                      Named("ntoskrnl.exe", "IofCallDriver"),
                      Named("ntoskrnl.exe", "NtDeviceIoControlFile"),
                      Named("ntoskrnl.exe", "KiSystemServiceCopyEnd")};
    const Triage Defaults;
    const CrashSignature Default = ComputeSignature(Decoded, Defaults);
    EXPECT_EQ(Default.CulpritFrame, 5u);
    EXPECT_EQ(Default.Bucket, "0xD1_W_MyDrv!ReadBuffer");
    EXPECT_EQ(Default.FunctionBucket, "0xD1_MyDrv!ReadBuffer");
    EXPECT_EQ(Default.ModuleBucket, "0xD1_IMAGE_MyDrv.sys");
    EXPECT_FALSE(Default.Owner);
    EXPECT_EQ(Default.Canonical,
              "hestolvane-signature 2\ncode 0xD1\nqualifier W\nframe mydrv.sys!ReadBuffer\nframe ?\n"
              "frame other.sys+0x1A2B\nframe ntoskrnl.exe!IofCallDriver\nframe ntoskrnl.exe!NtDeviceIoControlFile\n");
    char Hash[24];
    std::snprintf(Hash, sizeof(Hash), "%016llx", static_cast<unsigned long long>(Fnv1a64(Default.Canonical)));
    EXPECT_EQ(Default.Hash, Hash);

    // A report whose bug-check line was lost has no code to put in its signature: it is not 0x0, and it
    // has no qualifier.
    Report Lost = Decoded;
    Lost.Check.reset();
    EXPECT_EQ(ComputeSignature(Lost, Defaults).Bucket, "?_MyDrv!ReadBuffer");

    // Without ntoskrnl's symbols its frames are passed over by module; a driver's are not, and without
    // symbols its bucket names the image, with no offset.
    Decoded.Frames = {Raw, Unnamed("ntoskrnl.exe", 0x3F0A12), Unnamed("MyDrv.sys", 0x1234), Unnamed("ntoskrnl.exe", 9)};
    const CrashSignature Unresolved = ComputeSignature(Decoded, Defaults);
    EXPECT_EQ(Unresolved.Bucket, "0xD1_W_IMAGE_MyDrv.sys");
    EXPECT_EQ(Unresolved.Canonical,
              "hestolvane-signature 2\ncode 0xD1\nqualifier W\nframe mydrv.sys+0x1234\nframe ntoskrnl.exe+0x9\n");

    // No frame left: the code and its qualifier.
    Decoded.Frames = {Raw, Unnamed("ntoskrnl.exe", 0x3F0A12)};
    EXPECT_EQ(ComputeSignature(Decoded, Defaults).Bucket, "0xD1_W");
    EXPECT_FALSE(ComputeSignature(Decoded, Defaults).CulpritFrame);
}

// The crashy module's chain Fail <- Middle <- Entry under the reporter's raw frames and an ntoskrnl frame
// without symbols, printed raw at a load address, as the driver prints frames it could not place itself.
struct Build {
    std::string Pdb;
    LinkMap Map;
};

std::string CrashAt(const Build& Built, uint64_t Start, const std::string& FirstFunction, int Millisecond) {
    const RowSpec Kernel{0xFFFFF80400000000, 0xFFFFF80400100000, "ntoskrnl.exe", "ntkrnlmp.pdb",
                         "7E118A3C-9452-4D1B-A26F-0E359C41D708"};
    const RowSpec Crashy{Start, Start + 0x10000, "crashy.dll", "crashy.pdb", PdbGuid(Built.Pdb)};
    std::vector<FrameSpec> Frames = {{"", 0xFFFFF80512345678}, {"", 0xFFFFF80512345999},
                                     {"ntoskrnl.exe", 0x3F0A12}};
    const std::vector<std::string> Chain = {"Fail", "Middle", "Entry"};
    for (auto Name = std::find(Chain.begin(), Chain.end(), FirstFunction); Name != Chain.end(); ++Name) {
        Frames.push_back({"", Start + Built.Map.Rvas.at(*Name) + 4});
    }
    return ReportText({Kernel, Crashy}, Frames, Millisecond);
}

TEST(DecodeSignature, StableAcrossLoadAddressesAndARebuildThatMovesCode) {
    const auto Map = ReadLinkMap(CrashyDir() + "/crashy.map");
    const auto Shifted = ReadLinkMap(CrashyDir() + "/crashy_shifted.map");
    if (!Map || !Shifted || PdbGuid(CrashyDir() + "/crashy.pdb").empty()) {
        GTEST_SKIP() << "the cross toolchain did not build " << CrashyDir();
    }
    const Build First{CrashyDir() + "/crashy.pdb", *Map};
    const Build Rebuilt{CrashyDir() + "/crashy_shifted.pdb", *Shifted};
    ASSERT_NE(Map->Rvas.at("Middle"), Shifted->Rvas.at("Middle"));  // the rebuild did move code
    ASSERT_NE(PdbGuid(First.Pdb), PdbGuid(Rebuilt.Pdb));

    TemporaryDirectory Store;
    for (const Build& Each : {First, Rebuilt}) {
        CopyInto(Each.Pdb, Store / ("crashy.pdb/" + GuidDigits(PdbGuid(Each.Pdb)) + "1/crashy.pdb"));
    }
    const std::string Capture = CrashAt(First, 0xFFFFF80480000000, "Fail", 1) +
                                CrashAt(First, 0xFFFFF806A0000000, "Fail", 2) +
                                CrashAt(Rebuilt, 0xFFFFF80480000000, "Fail", 3) +
                                CrashAt(First, 0xFFFFF80480000000, "Middle", 4);

    SymbolOptions WithSymbols;
    WithSymbols.Search.Directories = {Store.Path};
    SymbolResolver Resolver(WithSymbols);
    std::vector<Report> Reports = Decode(Capture).Reports;
    ASSERT_EQ(Reports.size(), 4u);
    const Triage Defaults;
    for (Report& Each : Reports) {
        Resolver.Resolve(Each);
        Each.Signature = ComputeSignature(Each, Defaults);
    }
    EXPECT_EQ(Resolver.DatabasesOpened(), 2u);
    const CrashSignature& Signature = *Reports[0].Signature;
    EXPECT_EQ(Signature.Bucket, "0x50_R_crashy!Fail");
    EXPECT_EQ(Signature.CulpritFrame, 3u);
    EXPECT_EQ(Signature.Canonical, "hestolvane-signature 2\ncode 0x50\nqualifier R\nframe crashy.dll!Fail\n"
                                   "frame crashy.dll!Middle\nframe crashy.dll!Entry\n");
    EXPECT_EQ(Reports[1].Signature->Hash, Signature.Hash);  // another load address
    EXPECT_EQ(Reports[2].Signature->Hash, Signature.Hash);  // the rebuild
    EXPECT_EQ(Reports[2].Signature->Bucket, Signature.Bucket);
    EXPECT_EQ(Reports[3].Signature->Bucket, "0x50_R_crashy!Middle");
    EXPECT_NE(Reports[3].Signature->Hash, Signature.Hash);

    // Without symbols the offsets stand in for names in the hash: load addresses still do not matter, a
    // rebuild does; the bucket names the image alone.
    SymbolResolver Without(SymbolOptions{});
    std::vector<Report> Bare = Decode(Capture).Reports;
    for (Report& Each : Bare) {
        Without.Resolve(Each);
        Each.Signature = ComputeSignature(Each, Defaults);
    }
    EXPECT_EQ(Bare[0].Signature->Bucket, "0x50_R_IMAGE_crashy.dll");
    char Frame[64];
    std::snprintf(Frame, sizeof(Frame), "frame crashy.dll+0x%llX\n",
                  static_cast<unsigned long long>(Map->Rvas.at("Fail") + 4));
    EXPECT_NE(Bare[0].Signature->Canonical.find(Frame), std::string::npos);
    EXPECT_EQ(Bare[1].Signature->Hash, Bare[0].Signature->Hash);
    EXPECT_NE(Bare[2].Signature->Hash, Bare[0].Signature->Hash);
}

}  // namespace
}  // namespace hestolvane::decode
