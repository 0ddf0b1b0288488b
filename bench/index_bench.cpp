// Recording speed of hestolvane-decode's crash index: an archive of 3,000 small reports (two module rows,
// the register block, ten frames; about 8 MB) read into a new index, against reading the same archive
// into JSON documents only, which the index stores too: the index should cost little beyond them. Then
// one and four writer processes, each recording its own copy of the archive, into SQLite and PostgreSQL.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture_reader.h"
#include "crash_index.h"
#include "output.h"
#include "postgres_server.h"

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

// A throwaway server for the whole run, with the durability a real one has: every commit waits for its
// write-ahead log to reach the disk, as SQLite's do.
hestolvane::testing::PostgresServer* Server(std::string& WhyNot) {
    static std::string Failed;
    static const std::unique_ptr<hestolvane::testing::PostgresServer> Started =
        hestolvane::testing::PostgresServer::Start(Failed, true);
    WhyNot = Failed;
    return Started.get();
}

// Each writer a process of its own, as several decoders are: it opens the index, records the archive under
// a source of its own, and exits 0 when every report is committed.
bool RunWriters(const std::string& Index, int Writers) {
    std::vector<pid_t> Children;
    for (int Writer = 0; Writer < Writers; ++Writer) {
        const pid_t Child = fork();
        if (Child == 0) {
            CrashIndex::Opened Opened = CrashIndex::Open(Index);
            if (!Opened.Index) {
                std::fprintf(stderr, "%s\n", Opened.Error.c_str());
                _exit(1);
            }
            Nothing Discard;
            IndexingSink Indexing(*Opened.Index, "writer-" + std::to_string(Writer), SignedWith{}, Discard);
            Read(Indexing);
            _exit(Indexing.Errors().empty() ? 0 : 1);
        }
        Children.push_back(Child);
    }
    bool Succeeded = true;
    for (pid_t Child : Children) {
        int Status = 0;
        Succeeded = waitpid(Child, &Status, 0) == Child && WIFEXITED(Status) && WEXITSTATUS(Status) == 0 && Succeeded;
    }
    return Succeeded;
}

// Arguments: the store (0 SQLite in $TMPDIR, 1 PostgreSQL) and the number of writer processes. A new index
// each time: a new file, or a new database.
void BM_WritersIntoIndex(benchmark::State& State) {
    const bool Postgres = State.range(0) == 1;
    const int Writers = static_cast<int>(State.range(1));
    std::string WhyNot;
    hestolvane::testing::PostgresServer* Running = Postgres ? Server(WhyNot) : nullptr;
    if (Postgres && Running == nullptr) {
        State.SkipWithError(WhyNot.c_str());
        return;
    }
    const char* Directory = std::getenv("TMPDIR");
    const std::string Path = std::string(Directory != nullptr ? Directory : "/tmp") + "/hestolvane-writers-bench-" +
                             std::to_string(getpid()) + ".db";
    int Round = 0;
    for (auto _ : State) {
        State.PauseTiming();
        std::string Index = Path;
        if (Postgres) {
            const std::string Name = "writers_" + std::to_string(Writers) + "_" + std::to_string(Round++);
            if (!Running->CreateDatabase(Name)) {
                State.SkipWithError("cannot create a database");
                break;
            }
            Index = Running->Uri(Name);
        } else {
            for (const char* Suffix : {"", "-wal", "-shm"}) {
                std::remove((Path + Suffix).c_str());
            }
        }
        State.ResumeTiming();
        if (!RunWriters(Index, Writers)) {
            State.SkipWithError("a writer failed");
            break;
        }
    }
    for (const char* Suffix : {"", "-wal", "-shm"}) {
        std::remove((Path + Suffix).c_str());
    }
    State.counters["reports/s"] = benchmark::Counter(static_cast<double>(State.iterations() * ReportCount * Writers),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WritersIntoIndex)
    ->ArgNames({"postgres", "writers"})
    ->Args({0, 1})
    ->Args({0, 4})
    ->Args({1, 1})
    ->Args({1, 4})
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
