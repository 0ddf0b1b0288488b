// Symbols by PDB identity: the project's own driver PDB, flat and in a store, refused under another
// GUID, found at another age; inlined calls; binaries named with --image; symbol paths; and a loopback
// symbol server (fetched once and cached, a miss asked once, a silent server bounded by the timeout).
#include <gtest/gtest.h>

#include <chrono>

#include "output.h"
#include "symbol_test_support.h"
#include "symbols.h"

namespace hestolvane::decode {
namespace {

using namespace testing;

std::string DriverBuild() {
    return HESTOLVANE_DRIVER_BUILD;
}
std::string CrashyDir() {
    return HESTOLVANE_CRASHY_DIR;
}
constexpr uint64_t DriverStart = 0xFFFFF80470000000;
constexpr uint64_t CrashyStart = 0xFFFFF80480000000;

bool HaveDriver() {
    return fs::exists(DriverBuild() + "/HesTolvaneDrv.sys") && fs::exists(DriverBuild() + "/HesTolvaneDrv.pdb") &&
           fs::exists(DriverBuild() + "/HesTolvaneDrv.map") && !PdbGuid(DriverBuild() + "/HesTolvaneDrv.pdb").empty();
}

bool HaveCrashy() {
    return fs::exists(CrashyDir() + "/crashy.pdb") && fs::exists(CrashyDir() + "/crashy_shifted.pdb") &&
           !PdbGuid(CrashyDir() + "/crashy.pdb").empty();
}

std::vector<Report> Resolved(const std::string& Capture, SymbolResolver& Resolver) {
    std::vector<Report> Reports = Decode(Capture).Reports;
    for (Report& Each : Reports) {
        Resolver.Resolve(Each);
    }
    return Reports;
}

SymbolOptions InDirectories(std::vector<std::string> Directories) {
    SymbolOptions Chosen;
    Chosen.Search.Directories = std::move(Directories);
    return Chosen;
}

RowSpec CrashyRow(const std::string& Pdb = "crashy.pdb") {
    return RowSpec{CrashyStart, CrashyStart + 0x10000, "crashy.dll", "C:\\build\\" + Pdb,
                   PdbGuid(CrashyDir() + "/" + Pdb)};
}

TEST(DecodeSymbols, DriverFramesResolveFromItsOwnPdbFlatAndInAStore) {
    if (!HaveDriver()) {
        GTEST_SKIP() << "no driver build at " << DriverBuild();
    }
    const auto Map = ReadLinkMap(DriverBuild() + "/HesTolvaneDrv.map");
    ASSERT_TRUE(Map && Map->Rvas.count("BugCheckDumpCallback") && Map->Rvas.count("_Z10PrintStackv"));
    const uint64_t Callback = Map->Rvas.at("BugCheckDumpCallback");
    const uint64_t PrintStack = Map->Rvas.at("_Z10PrintStackv");
    const auto CallbackLine = SymbolizerReference(DriverBuild() + "/HesTolvaneDrv.sys", Map->Base + Callback + 0x10);
    const auto PrintStackLine = SymbolizerReference(DriverBuild() + "/HesTolvaneDrv.sys", Map->Base + PrintStack + 0x1F);
    ASSERT_TRUE(CallbackLine && PrintStackLine);
    ASSERT_EQ(CallbackLine->Function, "BugCheckDumpCallback");
    ASSERT_EQ(PrintStackLine->Function, "PrintStack()");  // demangled from the public symbol

    const std::string Guid = PdbGuid(DriverBuild() + "/HesTolvaneDrv.pdb");
    const RowSpec Row{DriverStart, DriverStart + 0x10000, "HesTolvaneDrv.sys", DriverBuild() + "/HesTolvaneDrv.pdb", Guid};
    const std::string Capture = ReportText({Row}, {{"", 0xFFFFF80412345678}, {"HesTolvaneDrv.sys", Callback + 0x11},
                                                   {"", DriverStart + PrintStack + 0x20}});
    TemporaryDirectory Symbols;
    CopyInto(DriverBuild() + "/HesTolvaneDrv.pdb", Symbols / "flat/HesTolvaneDrv.pdb");
    CopyInto(DriverBuild() + "/HesTolvaneDrv.pdb", Symbols / ("store/HesTolvaneDrv.pdb/" + GuidDigits(Guid) + "1/HesTolvaneDrv.pdb"));

    for (const std::string Layout : {"flat", "store"}) {
        SCOPED_TRACE(Layout);
        SymbolResolver Resolver(InDirectories({Symbols / Layout}));
        const std::vector<Report> Reports = Resolved(Capture + Capture, Resolver);
        ASSERT_EQ(Reports.size(), 2u);
        EXPECT_EQ(Resolver.DatabasesOpened(), 1u);  // once for both reports
        for (const auto& Decoded : Reports) {
            ASSERT_TRUE(Decoded.Modules[0].Symbols);
            EXPECT_EQ(Decoded.Modules[0].Symbols->State, SymbolState::Found);
            EXPECT_FALSE(Decoded.Frames[0].Function);  // the reporter's own raw frame
            EXPECT_EQ(Decoded.Frames[1].Function, "BugCheckDumpCallback");
            EXPECT_EQ(Decoded.Frames[1].FunctionOffset, 0x11u);
            EXPECT_EQ(Decoded.Frames[1].SourceFile, CallbackLine->File);
            EXPECT_EQ(fs::path(*Decoded.Frames[1].SourceFile).filename(), "crash_dump.cpp");
            EXPECT_EQ(Decoded.Frames[1].SourceLine, CallbackLine->Line);
            EXPECT_EQ(Decoded.Frames[2].Function, "PrintStack");
            EXPECT_EQ(Decoded.Frames[2].FunctionOffset, 0x20u);
            EXPECT_EQ(Decoded.Frames[2].SourceLine, PrintStackLine->Line);
        }
    }
}

// llvm-symbolizer --inlines on the image is the reference: the first address in BugCheckDumpCallback
// where it reports an inlined call must show the same calls, innermost first, under the frame.
TEST(DecodeSymbols, InlinedCallsAppearUnderTheirFrame) {
    if (!HaveDriver() || std::string(HESTOLVANE_LLVM_SYMBOLIZER).empty()) {
        GTEST_SKIP() << "no driver build at " << DriverBuild() << " or no llvm-symbolizer";
    }
    const auto Map = ReadLinkMap(DriverBuild() + "/HesTolvaneDrv.map");
    ASSERT_TRUE(Map && Map->Rvas.count("BugCheckDumpCallback"));
    const uint64_t Callback = Map->Rvas.at("BugCheckDumpCallback");
    std::string Addresses;
    for (uint64_t Offset = 0; Offset < 0x180; Offset++) {
        Addresses += "0x" + Hex16(Map->Base + Callback + Offset) + "\n";
    }
    TemporaryDirectory Work;
    std::ofstream(Work / "addresses") << Addresses;
    std::istringstream Output(CommandOutput(std::string(HESTOLVANE_LLVM_SYMBOLIZER) + " --inlines --obj=" + DriverBuild() +
                                            "/HesTolvaneDrv.sys < " + Work / "addresses"));
    std::vector<std::string> Block;
    std::optional<uint64_t> Inlined;
    std::vector<std::string> Expected;
    std::string Line;
    for (uint64_t Offset = 0; std::getline(Output, Line);) {
        if (!Line.empty()) {
            Block.push_back(Line);
            continue;
        }
        if (Block.size() >= 4) {
            Inlined = Offset;
            Expected = Block;
            break;
        }
        Block.clear();
        Offset++;
    }
    ASSERT_TRUE(Inlined) << "llvm-symbolizer reports no inlined call in BugCheckDumpCallback";

    const std::string Guid = PdbGuid(DriverBuild() + "/HesTolvaneDrv.pdb");
    SymbolResolver Resolver(InDirectories({DriverBuild()}));
    const auto Reports = Resolved(
        ReportText({{DriverStart, DriverStart + 0x10000, "HesTolvaneDrv.sys", "HesTolvaneDrv.pdb", Guid}},
                   {{"HesTolvaneDrv.sys", Callback + *Inlined + 1}}),
        Resolver);
    const Frame& Walked = Reports.at(0).Frames.at(0);
    ASSERT_EQ(Walked.Inlined.size(), Expected.size() / 2 - 1);
    for (size_t Index = 0; Index < Walked.Inlined.size(); Index++) {
        EXPECT_EQ(Walked.Inlined[Index].Function, Expected[2 * Index]);
        EXPECT_EQ(Walked.Inlined[Index].SourceFile.value_or("") + ":" +
                      std::to_string(Walked.Inlined[Index].SourceLine.value_or(0)),
                  Expected[2 * Index + 1].substr(0, Expected[2 * Index + 1].rfind(':')));
    }
    EXPECT_EQ(Walked.Function, Expected[Expected.size() - 2]);
    EXPECT_EQ(Walked.Function, "BugCheckDumpCallback");
}

TEST(DecodeSymbols, StoreAgeOtherThanOneIsFoundAndAnotherGuidIsRefused) {
    if (!HaveCrashy()) {
        GTEST_SKIP() << "the cross toolchain did not build " << CrashyDir();
    }
    const auto Map = ReadLinkMap(CrashyDir() + "/crashy.map");
    ASSERT_TRUE(Map && Map->Rvas.count("Fail"));
    const std::string Capture = ReportText({CrashyRow()}, {{"crashy.dll", Map->Rvas.at("Fail") + 3}});
    const std::string Digits = GuidDigits(CrashyRow().Guid);

    TemporaryDirectory Aged;
    CopyInto(CrashyDir() + "/crashy.pdb", Aged / ("crashy.pdb/" + Digits + "3/crashy.pdb"));
    SymbolResolver Finding(InDirectories({Aged.Path}));
    const Report Found = Resolved(Capture, Finding).at(0);
    EXPECT_EQ(Found.Modules[0].Symbols->State, SymbolState::Found);
    EXPECT_EQ(Found.Modules[0].Symbols->File, Aged / ("crashy.pdb/" + Digits + "3/crashy.pdb"));
    EXPECT_EQ(Found.Frames[0].Function, "Fail");
    EXPECT_EQ(Found.Frames[0].FunctionOffset, 3u);

    TemporaryDirectory Wrong;
    CopyInto(CrashyDir() + "/crashy_shifted.pdb", Wrong / "crashy.pdb");
    SymbolResolver Refusing(InDirectories({Wrong.Path}));
    const Report Refused = Resolved(Capture, Refusing).at(0);
    ASSERT_TRUE(Refused.Modules[0].Symbols);
    EXPECT_EQ(Refused.Modules[0].Symbols->State, SymbolState::Mismatch);
    EXPECT_EQ(Refused.Modules[0].Symbols->Detail,
              "symbols do not match: its GUID is " + PdbGuid(CrashyDir() + "/crashy_shifted.pdb"));
    EXPECT_FALSE(Refused.Frames[0].Function);
    std::ostringstream Listing;
    ListingWriter(Listing).OnReport(Refused);
    EXPECT_NE(Listing.str().find("    #00 crashy.dll+0x" + [&] {
        char Text[24];
        std::snprintf(Text, sizeof(Text), "%llX", static_cast<unsigned long long>(Map->Rvas.at("Fail") + 3));
        return std::string(Text);
    }() + "\n"), std::string::npos) << Listing.str();
    EXPECT_NE(Listing.str().find("crashy.dll: symbols do not match"), std::string::npos) << Listing.str();

    SymbolResolver Nowhere(InDirectories({}));
    const Report Without = Resolved(Capture, Nowhere).at(0);
    EXPECT_EQ(Without.Modules[0].Symbols->State, SymbolState::NotFound);
    EXPECT_EQ(Nowhere.DatabasesOpened(), 0u);
}

// Windows names PDBs without case: a store or a flat directory copied from Windows may spell the name
// otherwise than the report does.
TEST(DecodeSymbols, PdbNamesAreFoundWhateverTheirCase) {
    if (!HaveCrashy()) {
        GTEST_SKIP() << "the cross toolchain did not build " << CrashyDir();
    }
    const std::string Capture = ReportText({CrashyRow()}, {{"crashy.dll", 0x1004}});
    const std::string Digits = GuidDigits(CrashyRow().Guid);
    TemporaryDirectory Symbols;
    CopyInto(CrashyDir() + "/crashy.pdb", Symbols / "flat/CRASHY.PDB");
    CopyInto(CrashyDir() + "/crashy.pdb", Symbols / ("store/Crashy.pdb/" + Digits + "1/CRASHY.pdb"));
    for (const std::string Layout : {"flat", "store"}) {
        SCOPED_TRACE(Layout);
        SymbolResolver Resolver(InDirectories({Symbols / Layout}));
        EXPECT_EQ(Resolved(Capture, Resolver).at(0).Modules[0].Symbols->State, SymbolState::Found);
    }
}

// The frame after a trap handler is the faulting instruction: at the first byte of Middle it names
// Middle+0x0, where a return address would be looked up one byte back, in whatever comes before.
TEST(DecodeSymbols, FrameAfterATrapHandlerIsLookedUpAtItsOwnAddress) {
    if (!HaveCrashy()) {
        GTEST_SKIP() << "the cross toolchain did not build " << CrashyDir();
    }
    const auto Map = ReadLinkMap(CrashyDir() + "/crashy.map");
    ASSERT_TRUE(Map && Map->Rvas.count("Middle") && Map->Rvas.count("KiPageFault"));
    SymbolResolver Resolver(InDirectories({CrashyDir()}));
    const Report Decoded = Resolved(ReportText({CrashyRow()}, {{"crashy.dll", Map->Rvas.at("KiPageFault") + 8},
                                                               {"crashy.dll", Map->Rvas.at("Middle")},
                                                               {"crashy.dll", Map->Rvas.at("Middle")}}),
                                    Resolver)
                               .at(0);
    EXPECT_EQ(Decoded.Frames[0].Function, "KiPageFault");
    EXPECT_EQ(Decoded.Frames[1].Function, "Middle");
    EXPECT_EQ(Decoded.Frames[1].FunctionOffset, 0u);
    EXPECT_NE(Decoded.Frames[2].Function, "Middle");
}

TEST(DecodeSymbols, ImageNamesTheSimulatorsOwnFrames) {
    int Exit = -1;
    const std::string Listing = CommandOutput(std::string(HESTOLVANE_SIM) + " 2>/dev/null | " + HESTOLVANE_DECODE +
                                                  " --image hestolvane-sim.sys=" + HESTOLVANE_SIM,
                                              &Exit);
    EXPECT_EQ(Exit, 0) << Listing;
    EXPECT_NE(Listing.find("    #00 hestolvane-sim.sys!"), std::string::npos) << Listing;
    // Frame #00 or #01, as the optimiser inlined the report writer into the callback or not.
    EXPECT_NE(Listing.find(" hestolvane-sim.sys!BugCheckDumpCallback+0x"), std::string::npos) << Listing;
    EXPECT_NE(Listing.find("hestolvane-sim.sys!(anonymous namespace)::FaultingDriverRoutine("), std::string::npos)
        << Listing;
    EXPECT_NE(Listing.find("    hestolvane-sim.sys: the binary named with --image\n"), std::string::npos) << Listing;
}

TEST(DecodeSymbols, SymbolPathElements) {
    SymbolSearch Search;
    AddSymbolPath("C:\\symbols\\;;cache*/tmp/c;srv*http://one.invalid/s/;srv*/tmp/own*https://two.invalid;"
                  "symsrv*symsrv.dll*/tmp/third*http://three.invalid;srv*not-a-url",
                  "/default", Search);
    EXPECT_EQ(Search.Directories,
              (std::vector<std::string>{"C:\\symbols", "/tmp/c", "/tmp/c", "/tmp/own", "/tmp/third"}));
    ASSERT_EQ(Search.Servers.size(), 3u);
    EXPECT_EQ(Search.Servers[0].Url, "http://one.invalid/s");
    EXPECT_EQ(Search.Servers[0].Cache, "/tmp/c");
    EXPECT_EQ(Search.Servers[1].Url, "https://two.invalid");
    EXPECT_EQ(Search.Servers[1].Cache, "/tmp/own");
    EXPECT_EQ(Search.Servers[2].Cache, "/tmp/third");
    EXPECT_EQ(GuidDigits("d2be1ebe-776d-996f-4c4c-44205044422e"), "D2BE1EBE776D996F4C4C44205044422E");
    EXPECT_EQ(PdbFileName("C:\\build dir\\my driver.pdb"), "my driver.pdb");
    EXPECT_EQ(PdbFileName("/work/build/HesTolvaneDrv.pdb"), "HesTolvaneDrv.pdb");
}

class DecodeSymbolServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveCrashy()) {
            GTEST_SKIP() << "the cross toolchain did not build " << CrashyDir();
        }
        Map = *ReadLinkMap(CrashyDir() + "/crashy.map");
        Digits = GuidDigits(CrashyRow().Guid);
        Capture = ReportText({CrashyRow()}, {{"crashy.dll", Map.Rvas.at("Middle") + 4}});
    }

    SymbolOptions FromServer(const std::string& Url, std::chrono::milliseconds Timeout = std::chrono::seconds(20)) {
        SymbolOptions Chosen;
        AddSymbolPath("srv*" + Cache.Path + "*" + Url, Cache.Path, Chosen.Search);
        Chosen.Search.Timeout = Timeout;
        return Chosen;
    }

    LinkMap Map;
    std::string Digits;
    std::string Capture;
    TemporaryDirectory Store;
    TemporaryDirectory Cache;
};

TEST_F(DecodeSymbolServer, FetchedOnceThroughARedirectCachedAndThenOffline) {
    CopyInto(CrashyDir() + "/crashy.pdb", Store / ("crashy.pdb/" + Digits + "1/crashy.pdb"));
    const std::string Cached = Cache / ("crashy.pdb/" + Digits + "1/crashy.pdb");
    {
        LoopbackServer Server(Store.Path, false);
        SymbolResolver Resolver(FromServer(Server.Url() + "/moved"));
        const auto Reports = Resolved(Capture + Capture, Resolver);
        ASSERT_EQ(Reports.size(), 2u);
        EXPECT_EQ(Reports[1].Frames[0].Function, "Middle");
        EXPECT_EQ(Reports[1].Modules[0].Symbols->Detail,
                  "downloaded from " + Server.Url() + "/moved/crashy.pdb/" + Digits + "1/crashy.pdb");
        EXPECT_EQ(Server.Requests(), (std::vector<std::string>{"/moved/crashy.pdb/" + Digits + "1/crashy.pdb",
                                                                "/crashy.pdb/" + Digits + "1/crashy.pdb"}));
        EXPECT_EQ(ReadText(Cached), ReadText(CrashyDir() + "/crashy.pdb"));
    }
    SymbolResolver Offline(FromServer("http://127.0.0.1:9"));  // the discard port: nothing listens
    const Report Again = Resolved(Capture, Offline).at(0);
    EXPECT_EQ(Again.Frames[0].Function, "Middle");
    EXPECT_EQ(Again.Modules[0].Symbols->Detail, "read from " + Cached);
    EXPECT_EQ(Offline.ServerRequests(), 0u);
}

TEST_F(DecodeSymbolServer, MissingOnEveryAgeIsNoSymbolsAndNotAskedAgain) {
    LoopbackServer Server(Store.Path, false);
    SymbolResolver Resolver(FromServer(Server.Url()));
    const auto Reports = Resolved(Capture + Capture, Resolver);
    ASSERT_EQ(Reports.size(), 2u);
    EXPECT_EQ(Reports[0].Modules[0].Symbols->State, SymbolState::NotFound);
    EXPECT_FALSE(Reports[1].Frames[0].Function);
    std::vector<std::string> Expected;
    for (unsigned Age = 1; Age <= ServerAgesTried; Age++) {
        Expected.push_back("/crashy.pdb/" + Digits + std::to_string(Age) + "/crashy.pdb");
    }
    EXPECT_EQ(Server.Requests(), Expected);
    EXPECT_FALSE(fs::exists(Cache / ("crashy.pdb/" + Digits + "1")));
}

TEST_F(DecodeSymbolServer, ServerThatNeverAnswersFailsWithinTheTimeout) {
    LoopbackServer Server(Store.Path, true);
    SymbolResolver Resolver(FromServer(Server.Url(), std::chrono::milliseconds(500)));
    const auto Start = std::chrono::steady_clock::now();
    const auto Reports = Resolved(Capture + Capture, Resolver);
    const auto Took = std::chrono::steady_clock::now() - Start;
    ASSERT_EQ(Reports.size(), 2u);
    EXPECT_EQ(Reports[1].Modules[0].Symbols->State, SymbolState::NotFound);
    EXPECT_NE(Reports[1].Modules[0].Symbols->Detail.find("Timeout"), std::string::npos)
        << Reports[1].Modules[0].Symbols->Detail;
    EXPECT_EQ(Resolver.ServerRequests(), 1u);  // the server is not asked for other ages once silent
    EXPECT_LT(Took, std::chrono::seconds(5));
}

}  // namespace
}  // namespace hestolvane::decode
