// Cost of the bug-check path: the whole report without UART waits (a UART that is always ready) for
// tables of several sizes with a 20-frame stack, the address lookup on its own, and a whole report on a
// UART that never becomes ready.
#include <benchmark/benchmark.h>

#include "report_scenario.h"

namespace {

void BM_CrashReport(benchmark::State& State) {
    const size_t Count = static_cast<size_t>(State.range(0));
    bench::BuildScenario(Count);
    size_t ReportBytes = 0;
    for (auto _ : State) {
        const size_t Before = sim::PortAccessCount();
        bench::RaiseBugCheck();
        // Every byte costs one status read and one data write.
        ReportBytes = (sim::PortAccessCount() - Before) / 2;
        State.PauseTiming();
        sim::ClearUartLog();
        State.ResumeTiming();
    }
    State.counters["report_bytes"] = static_cast<double>(ReportBytes);
    // Ten bits a byte on the line (start, eight data, stop).
    State.counters["line_s_at_9600"] = static_cast<double>(ReportBytes) * 10.0 / 9600.0;
    State.counters["line_s_at_115200"] = static_cast<double>(ReportBytes) * 10.0 / 115200.0;
    bench::TearDownScenario();
}
BENCHMARK(BM_CrashReport)->Arg(100)->Arg(300)->Arg(500)->Arg(2000)->Unit(benchmark::kMicrosecond);

void BM_FindModuleByAddress(benchmark::State& State) {
    const size_t Count = static_cast<size_t>(State.range(0));
    const bench::Scenario Built = bench::BuildScenario(Count);
    // The lookup always scans the whole table (the newest match wins), so any address costs the same.
    const PVOID Address = reinterpret_cast<PVOID>(Built.ImagesBase + (Count / 2) * bench::ImageSize + 0x123);
    for (auto _ : State) {
        PCHAR Name = nullptr;
        ULONG64 Offset = 0;
        benchmark::DoNotOptimize(FindModuleByAddress(Address, &Name, &Offset));
        benchmark::DoNotOptimize(Name);
    }
    bench::TearDownScenario();
}
BENCHMARK(BM_FindModuleByAddress)->Arg(100)->Arg(500)->Arg(2000);

// A UART that never reports ready: the report ends on its own after the first write's full bound and a
// short one for every later write. port_reads at 1 us each is the time a real machine would spend.
void BM_CrashReportOnADeadUart(benchmark::State& State) {
    const size_t Count = static_cast<size_t>(State.range(0));
    bench::BuildScenario(Count);
    sim::SetLineStatus(sim::LineStatusScript::NeverReady);
    size_t PortReads = 0;
    for (auto _ : State) {
        const size_t Before = sim::PortAccessCount();
        bench::RaiseBugCheck();
        PortReads = sim::PortAccessCount() - Before;
    }
    State.counters["port_reads"] = static_cast<double>(PortReads);
    State.counters["s_at_1us_per_read"] = static_cast<double>(PortReads) / 1e6;
    bench::TearDownScenario();
}
BENCHMARK(BM_CrashReportOnADeadUart)->Arg(100)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace
