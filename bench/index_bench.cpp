// Recording speed of hestolvane-decode's crash index: an archive of 3,000 small reports (two module rows,
// the register block, ten frames; about 8 MB) read into a new index, against reading the same archive
// into JSON documents only, which the index stores too: the index should cost little beyond them.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "capture_reader.h"
#include "crash_index.h"
#include "output.h"

namespace {

using namespace hestolvane::decode;

constexpr size_t ReportCount = 3000;
constexpr size_t ChunkSize = 256 * 1024;

std::string MakeArchive() {
    std::string Capture = "HesTolvaneDrv ver: 3, Load: 2026-12-08 06:03:03:5\nnormal boot.\n";
    char Line[256];
    for (size_t Report = 0; Report < ReportCount; Report++) {
        std::snprintf(Line, sizeof(Line), "VQN Dump Begin.\nCRASHED ON: 2026-12-08 %02zu:%02zu:%02zu:%zu\n", 7 + Report / 3600,
                      Report / 60 % 60, Report % 60, Report % 1000);
        Capture += Line;
        Capture += "Dump:\nstart    end    module    pdb    path    guid\n"
                   "FFFFF80400000000 FFFFF80400100000  ntoskrnl.exe  ntkrnlmp.pdb  \\SystemRoot\\system32\\ntoskrnl.exe  "
                   "7E118A3C-9452-4D1B-A26F-0E359C41D708\n"
                   "FFFFF80470000000 FFFFF80470010000  HesTolvaneDrv.sys  HesTolvaneDrv.pdb  "
                   "\\SystemRoot\\System32\\drivers\\HesTolvaneDrv.sys  D2BE1EBE-776D-996F-4C4C-44205044422E\n"
                   "VQN: BUGCHECK CODE 50: FFFFF80000001000 0000000000000000 FFFFF80012345678 0000000000000002\n"
                   "CONTEXT (FFFFF80011112222):\n";
        for (const RegisterLayout& Register : ContextRegisters) {
            std::snprintf(Line, sizeof(Line), "         %.*s%s %0*X\n", static_cast<int>(Register.Name.size()),
                          Register.Name.data(), Register.Name == "RSI" ? "=" : " =", Register.Digits, 0x1234);
            Capture += Line;
        }
        for (size_t Frame = 0; Frame < 10; Frame++) {
            std::snprintf(Line, sizeof(Line),
                          "FFFFD0000000%04zX  (0000000000000001  0000000000000002  0000000000000003  "
                          "0000000000000004) HesTolvaneDrv.sys + %016zX\n",
                          0x1000 + Frame * 0x50, 0x1000 + (Report * 7 + Frame * 131) % 0x2000);
            Capture += Line;
        }
        Capture += "ControlPc\nVQN Dump End.\n";
    }
    return Capture;
}

const std::string& Archive() {
    static const std::string Made = MakeArchive();
    return Made;
}

class Nothing : public CaptureSink {
public:
    void OnBoot(const Boot&) override {}
    void OnReport(const Report&) override {}
};

class JsonSink : public CaptureSink {
public:
    void OnBoot(const Boot& Decoded) override { Bytes += BootJson(Decoded).size(); }
    void OnReport(const Report& Decoded) override { Bytes += ReportJson(Decoded).size(); }
    size_t Bytes = 0;
};

void Read(CaptureSink& Sink) {
    CaptureReader Reader(Sink);
    const std::string& Text = Archive();
    for (size_t Offset = 0; Offset < Text.size(); Offset += ChunkSize) {
        Reader.Feed(std::string_view(Text).substr(Offset, ChunkSize));
    }
    Reader.Finish();
}

void Rates(benchmark::State& State) {
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Archive().size()));
    State.counters["reports/s"] =
        benchmark::Counter(static_cast<double>(State.iterations() * ReportCount), benchmark::Counter::kIsRate);
}

void BM_ArchiveToJson(benchmark::State& State) {
    for (auto _ : State) {
        JsonSink Documents;
        Read(Documents);
        benchmark::DoNotOptimize(Documents.Bytes);
    }
    Rates(State);
}
BENCHMARK(BM_ArchiveToJson)->Unit(benchmark::kMillisecond);

// A new index each time, in the temporary directory (TMPDIR), whose disk the syncs go to.
void BM_ArchiveToIndex(benchmark::State& State) {
    const char* Directory = std::getenv("TMPDIR");
    const std::string Path = std::string(Directory != nullptr ? Directory : "/tmp") + "/hestolvane-index-bench-" +
                             std::to_string(getpid()) + ".db";
    for (auto _ : State) {
        State.PauseTiming();
        for (const char* Suffix : {"", "-wal", "-shm"}) {
            std::remove((Path + Suffix).c_str());
        }
        CrashIndex::Opened Opened = CrashIndex::Open(Path);
        if (!Opened.Index) {
            State.SkipWithError(Opened.Error.c_str());
            break;
        }
        Nothing Discard;
        IndexingSink Indexing(*Opened.Index, "bench", SignedWith{}, Discard);
        State.ResumeTiming();
        Read(Indexing);
        if (!Indexing.Errors().empty()) {
            State.SkipWithError(Indexing.Errors().front().c_str());
            break;
        }
    }
    for (const char* Suffix : {"", "-wal", "-shm"}) {
        std::remove((Path + Suffix).c_str());
    }
    Rates(State);
}
BENCHMARK(BM_ArchiveToIndex)->Unit(benchmark::kMillisecond);

}  // namespace
