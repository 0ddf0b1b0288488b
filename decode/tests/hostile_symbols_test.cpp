// Symbol files as untrusted input: damaged copies of the driver's own PDB (made here from the build's, one
// byte at a time), downloads that are no PDB or another one, leftovers of a killed run, and a stop in
// the middle of a download from a server that never answers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <thread>

#include "symbol_test_support.h"
#include "symbols.h"

namespace hestolvane::decode {
namespace {

using namespace testing;

const std::string DriverPdb = std::string(HESTOLVANE_DRIVER_BUILD) + "/HesTolvaneDrv.pdb";
const std::string CrashyPdb = std::string(HESTOLVANE_CRASHY_DIR) + "/crashy.pdb";
constexpr uint64_t DriverStart = 0xFFFFF80470000000;
constexpr uint64_t CrashyStart = 0xFFFFF80480000000;

std::vector<Report> Resolved(const std::string& Capture, SymbolResolver& Resolver) {
    std::vector<Report> Reports = Decode(Capture).Reports;
    for (Report& Each : Reports) {
        Resolver.Resolve(Each);
    }
    return Reports;
}

// A report with frames all over the driver's code, so that every part of the PDB a look-up touches is
// read: functions, line tables and inline sites.
std::string DriverCapture(const std::string& Guid) {
    std::vector<FrameSpec> Frames;
    for (uint64_t Offset = 0x1000; Offset < 0x3000; Offset += 0x97) {
        Frames.push_back({"HesTolvaneDrv.sys", Offset});
    }
    return ReportText({{DriverStart, DriverStart + 0x10000, "HesTolvaneDrv.sys", "HesTolvaneDrv.pdb", Guid}}, Frames);
}

// Bytes that crash LLVM's reader (0x110B8) and send it into an endless loop (0x10C2E) in this project's
// PDB, then single bytes chosen by a fixed seed: a fault in any of them must cost the decoder that file
// only. The reader's time bound is short here since a healthy look-up in this PDB takes milliseconds.
TEST(DecodeHostileSymbols, DamagedProgramDatabasesAreUnreadableNotFatal) {
    const std::string Guid = PdbGuid(DriverPdb);
    if (Guid.empty() || PdbGuid(CrashyPdb).empty()) {
        GTEST_SKIP() << "needs the driver build's PDB and the cross toolchain's crashy.pdb";
    }
    const std::string Original = ReadText(DriverPdb);
    std::vector<std::pair<size_t, char>> Damage{{0x110B8, '\xE4'}, {0x10C2E, '\x19'}};
    std::mt19937 Random(16);
    for (int Count = 0; Count < 24; Count++) {
        Damage.emplace_back(Random() % Original.size(), static_cast<char>(Random() % 256));
    }
    const std::string Capture =
        DriverCapture(Guid) + ReportText({{CrashyStart, CrashyStart + 0x10000, "crashy.dll", "crashy.pdb",
                                           PdbGuid(CrashyPdb)}},
                                         {{"crashy.dll", 0x1004}});
    unsigned Failures = 0;
    for (const auto& [Offset, Value] : Damage) {
        if (Offset >= Original.size()) {
            continue;
        }
        SCOPED_TRACE("byte " + std::to_string(Offset));
        TemporaryDirectory Symbols;
        std::string Damaged = Original;
        Damaged[Offset] = Value;
        std::ofstream(Symbols / "HesTolvaneDrv.pdb", std::ios::binary) << Damaged;
        CopyInto(CrashyPdb, Symbols / "crashy.pdb");
        SymbolOptions Chosen;
        Chosen.Search.Directories = {Symbols.Path};
        Chosen.Reader.Timeout = std::chrono::seconds(5);
        SymbolResolver Resolver(Chosen);
        const std::vector<Report> Reports = Resolved(Capture, Resolver);
        ASSERT_EQ(Reports.size(), 2u);
        const SymbolOrigin& Driver = *Reports[0].Modules[0].Symbols;
        EXPECT_TRUE(Driver.State == SymbolState::Found || Driver.State == SymbolState::Unreadable ||
                    Driver.State == SymbolState::Mismatch)
            << Driver.Detail;
        if (Driver.State != SymbolState::Found) {
            Failures++;
            EXPECT_FALSE(Driver.Detail.empty());
            for (const Frame& Walked : Reports[0].Frames) {
                EXPECT_FALSE(Walked.Function);
            }
        }
        // The reader that a damaged file ended is started again for the next file.
        EXPECT_EQ(Reports[1].Modules[0].Symbols->State, SymbolState::Found) << Reports[1].Modules[0].Symbols->Detail;
        EXPECT_TRUE(Reports[1].Frames[0].Function);
    }
    RecordProperty("damaged_files_refused", static_cast<int>(Failures));
}

// The file that crashed the reader is not opened again in the run, even under another identity that
// names it; the reader's crash is the reason given.
TEST(DecodeHostileSymbols, FileThatCrashedTheReaderIsNotOpenedAgain) {
    const std::string Guid = PdbGuid(DriverPdb);
    if (Guid.empty()) {
        GTEST_SKIP() << "needs the driver build's PDB";
    }
    std::string Damaged = ReadText(DriverPdb);
    if (Damaged.size() <= 0x110B8) {
        GTEST_SKIP() << "the driver's PDB is smaller than this build's";
    }
    Damaged[0x110B8] = '\xE4';
    TemporaryDirectory Symbols;
    std::ofstream(Symbols / "HesTolvaneDrv.pdb", std::ios::binary) << Damaged;
    SymbolOptions Chosen;
    Chosen.Search.Directories = {Symbols.Path};
    SymbolResolver Resolver(Chosen);
    const Report First = Resolved(DriverCapture(Guid), Resolver).at(0);
    if (First.Modules[0].Symbols->State == SymbolState::Found) {
        GTEST_SKIP() << "this build's PDB does not crash the reader at that byte";
    }
    EXPECT_EQ(First.Modules[0].Symbols->State, SymbolState::Unreadable);
    // A signal in a plain build; a sanitizer catches it first and exits in an instrumented one.
    EXPECT_NE(First.Modules[0].Symbols->Detail.find("the symbol reader crashed on it ("), std::string::npos)
        << First.Modules[0].Symbols->Detail;
    const unsigned Opened = Resolver.DatabasesOpened();
    const Report Other = Resolved(DriverCapture("0BADF00D-0000-0000-0000-000000000001"), Resolver).at(0);
    EXPECT_EQ(Other.Modules[0].Symbols->State, SymbolState::Unreadable);
    EXPECT_EQ(Resolver.DatabasesOpened(), Opened);
}

class DecodeCheckedDownloads : public ::testing::Test {
protected:
    void SetUp() override {
        if (PdbGuid(CrashyPdb).empty()) {
            GTEST_SKIP() << "the cross toolchain did not build crashy.pdb";
        }
        Digits = GuidDigits(PdbGuid(CrashyPdb));
        Capture = ReportText({{CrashyStart, CrashyStart + 0x10000, "crashy.dll", "crashy.pdb", PdbGuid(CrashyPdb)}},
                             {{"crashy.dll", 0x1004}});
    }

    SymbolOptions FromServer(const std::string& Url) {
        SymbolOptions Chosen;
        AddSymbolPath("srv*" + Cache.Path + "*" + Url, Cache.Path, Chosen.Search);
        return Chosen;
    }

    std::vector<std::string> CacheFiles() const {
        std::vector<std::string> Files;
        for (const auto& Entry : fs::recursive_directory_iterator(Cache.Path)) {
            Files.push_back(fs::relative(Entry.path(), Cache.Path).string());
        }
        return Files;
    }

    std::string Digits;
    std::string Capture;
    TemporaryDirectory Store;
    TemporaryDirectory Cache;
};

TEST_F(DecodeCheckedDownloads, PageOrOtherPdbIsNotStored) {
    std::ofstream(Store / "index.html") << "<!DOCTYPE html><html><body>Sign in</body></html>\n";
    CopyInto(Store / "index.html", Store / ("crashy.pdb/" + Digits + "1/crashy.pdb"));
    {
        LoopbackServer Server(Store.Path, false);
        SymbolResolver Resolver(FromServer(Server.Url()));
        const Report Decoded = Resolved(Capture, Resolver).at(0);
        EXPECT_EQ(Decoded.Modules[0].Symbols->State, SymbolState::Unreadable);
        EXPECT_NE(Decoded.Modules[0].Symbols->Detail.find("it begins with \"<!DOCTYPE html><html><bo\", not the MSF"),
                  std::string::npos)
            << Decoded.Modules[0].Symbols->Detail;
        EXPECT_NE(Decoded.Modules[0].Symbols->Detail.find("not stored"), std::string::npos);
        EXPECT_EQ(CacheFiles(), std::vector<std::string>{});
    }
    CopyInto(std::string(HESTOLVANE_CRASHY_DIR) + "/crashy_shifted.pdb", Store / ("crashy.pdb/" + Digits + "2/crashy.pdb"));
    LoopbackServer Server(Store.Path, false);
    SymbolResolver Resolver(FromServer(Server.Url()));
    const Report Decoded = Resolved(Capture, Resolver).at(0);
    EXPECT_EQ(Decoded.Modules[0].Symbols->State, SymbolState::Mismatch);
    EXPECT_EQ(Decoded.Modules[0].Symbols->Detail,
              Server.Url() + "/crashy.pdb/" + Digits + "2/crashy.pdb: symbols do not match: its GUID is " +
                  PdbGuid(std::string(HESTOLVANE_CRASHY_DIR) + "/crashy_shifted.pdb") + "; not stored");
    EXPECT_EQ(CacheFiles(), std::vector<std::string>{});
}

TEST_F(DecodeCheckedDownloads, LeftoversGoAndTheStoredFileFollowsTheUmask) {
    CopyInto(CrashyPdb, Store / ("crashy.pdb/" + Digits + "1/crashy.pdb"));
    const std::string AgeDirectory = Cache / ("crashy.pdb/" + Digits + "1");
    fs::create_directories(AgeDirectory);
    std::ofstream(AgeDirectory + "/.download-4242-0") << "half a file from a run that was killed";
    const mode_t Before = umask(022);
    LoopbackServer Server(Store.Path, false);
    SymbolResolver Resolver(FromServer(Server.Url()));
    const Report Decoded = Resolved(Capture, Resolver).at(0);
    umask(Before);
    EXPECT_EQ(Decoded.Modules[0].Symbols->State, SymbolState::Found);
    EXPECT_EQ(CacheFiles(), (std::vector<std::string>{"crashy.pdb", "crashy.pdb/" + Digits + "1",
                                                      "crashy.pdb/" + Digits + "1/crashy.pdb"}));
    struct stat Stored {};
    ASSERT_EQ(stat((AgeDirectory + "/crashy.pdb").c_str(), &Stored), 0);
    EXPECT_EQ(Stored.st_mode & 0777, 0644u);
}

// A stop must end the decoder during a download from a server that accepts and never answers, long
// before the symbol timeout; the bound here only keeps a failing run from hanging.
TEST_F(DecodeCheckedDownloads, StopEndsADownloadAtOnce) {
    LoopbackServer Silent(Store.Path, true);
    std::ofstream(Store / "capture.txt") << Capture;
    const std::string Server = Silent.Url();
    const std::string CaptureFile = Store / "capture.txt";
    const pid_t Decoder = fork();
    if (Decoder == 0) {
        execl(HESTOLVANE_DECODE, HESTOLVANE_DECODE, "--symbol-server", Server.c_str(), "--symbol-cache",
              Cache.Path.c_str(), "--symbol-timeout", "600", CaptureFile.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(Decoder, 0);
    for (int Wait = 0; Wait < 3000 && Silent.Accepted() == 0; Wait++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(Silent.Accepted(), 1u);
    kill(Decoder, SIGTERM);
    int Status = 0;
    pid_t Reaped = 0;
    for (int Wait = 0; Wait < 3000 && Reaped == 0; Wait++) {
        Reaped = waitpid(Decoder, &Status, WNOHANG);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (Reaped == 0) {
        kill(Decoder, SIGKILL);
        waitpid(Decoder, &Status, 0);
        FAIL() << "the decoder did not end on SIGTERM during a download";
    }
    EXPECT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(CacheFiles(), std::vector<std::string>{});
}

}  // namespace
}  // namespace hestolvane::decode
