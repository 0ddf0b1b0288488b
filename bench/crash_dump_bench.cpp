// Cost of the bug-check path without UART waits (a UART that is always ready): the whole report for
// tables of several sizes with a 20-frame stack, and the address lookup on its own.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "hestolvane.h"
#include "sim_kernel.h"

namespace {

constexpr ULONG_PTR ImageSize = 0x1000;

struct Scenario {
    ULONG_PTR ImagesBase = 0;
    ULONG_PTR StackBase = 0;
};

char* NewString(const char* Text) {
    auto* Buffer = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, ModuleStringBufferSize, HesTolvanePoolTag));
    std::memset(Buffer, 0, ModuleStringBufferSize);
    std::strncpy(Buffer, Text, ModuleStringMaxCopy);
    return Buffer;
}

// A table of Count records with realistic names and identities over one mapped range, and a stack whose
// 20 frames each return into a different record.
Scenario BuildScenario(size_t Count) {
    sim::Reset();
    sim::ReloadDriverData();
    sim::RecordPortAccesses(false);
    InitializeListHead(&ModuleListHead);
    KeInitializeSpinLock(&ModuleListLock);
    SerialPortBase = ComPortTable[1];

    Scenario Built;
    Built.ImagesBase = reinterpret_cast<ULONG_PTR>(sim::MapRegion(Count * ImageSize));
    Built.StackBase = reinterpret_cast<ULONG_PTR>(sim::MapRegion(0x2000));
    for (size_t Index = 0; Index < Count; Index++) {
        auto* Record = static_cast<ModuleInfo*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ModuleInfo), HesTolvanePoolTag));
        std::memset(Record, 0, sizeof(ModuleInfo));
        Record->ImageStart = reinterpret_cast<PVOID>(Built.ImagesBase + Index * ImageSize);
        Record->ImageEnd = reinterpret_cast<PVOID>(Built.ImagesBase + (Index + 1) * ImageSize);
        char Name[64];
        std::snprintf(Name, sizeof(Name), "driver%04zu.sys", Index);
        Record->ModuleName.Buffer = NewString(Name);
        char Path[128];
        std::snprintf(Path, sizeof(Path), "\\SystemRoot\\System32\\drivers\\driver%04zu.sys", Index);
        Record->FullPath.Buffer = NewString(Path);
        std::snprintf(Record->PdbName, PdbNameSize, "d:\\build\\driver%04zu\\x64\\release\\driver%04zu.pdb", Index,
                      Index);
        std::memset(&Record->PdbGuid, static_cast<int>(Index & 0xFF), sizeof(GUID));
        InsertModuleRecord(Record);
    }

    CONTEXT Captured;
    std::memset(&Captured, 0, sizeof(Captured));
    Captured.Rip = Built.ImagesBase + 0x10;
    Captured.Rsp = Built.StackBase;
    std::vector<sim::ScriptedFrame> Frames;
    for (size_t Frame = 0; Frame < 20; Frame++) {
        const ULONG_PTR Pc = Built.ImagesBase + ((Frame * 37) % Count) * ImageSize + 0x10;
        const ULONG_PTR Caller = Built.ImagesBase + (((Frame + 1) * 37) % Count) * ImageSize + 0x10;
        Frames.push_back({Frame == 0 ? Captured.Rip : Pc, true, Caller, Built.StackBase + 0x40 * (Frame + 1)});
    }
    sim::UseScriptedUnwinding(Captured, Frames);
    return Built;
}

void TearDownScenario() {
    FreeModuleTable();
}

void BM_CrashReport(benchmark::State& State) {
    const size_t Count = static_cast<size_t>(State.range(0));
    BuildScenario(Count);
    size_t ReportBytes = 0;
    for (auto _ : State) {
        DumpCount = 0;
        const size_t Before = sim::PortAccessCount();
        BugCheckDumpCallback(nullptr, 0);
        // Every byte costs one status read and one data write.
        ReportBytes = (sim::PortAccessCount() - Before) / 2;
        State.PauseTiming();
        sim::ClearUartLog();
        State.ResumeTiming();
    }
    State.counters["report_bytes"] = static_cast<double>(ReportBytes);
    State.counters["seconds_at_115200"] = static_cast<double>(ReportBytes) / 11520.0;
    TearDownScenario();
}
BENCHMARK(BM_CrashReport)->Arg(100)->Arg(300)->Arg(500)->Arg(2000)->Unit(benchmark::kMicrosecond);

void BM_FindModuleByAddress(benchmark::State& State) {
    const size_t Count = static_cast<size_t>(State.range(0));
    const Scenario Built = BuildScenario(Count);
    // The lookup always scans the whole table (the newest match wins), so any address costs the same.
    const PVOID Address = reinterpret_cast<PVOID>(Built.ImagesBase + (Count / 2) * ImageSize + 0x123);
    for (auto _ : State) {
        PCHAR Name = nullptr;
        ULONG64 Offset = 0;
        benchmark::DoNotOptimize(FindModuleByAddress(Address, &Name, &Offset));
        benchmark::DoNotOptimize(Name);
    }
    TearDownScenario();
}
BENCHMARK(BM_FindModuleByAddress)->Arg(100)->Arg(500)->Arg(2000);

}  // namespace
