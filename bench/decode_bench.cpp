// Reading speed of hestolvane-decode's capture reader: a capture of 1,000 reports of 300 module rows and
// 20 frames each (about 60 MB), read in the chunks the live sources use, with and without JSON output, and
// keeping each report's raw text as the reader does when a crash index is open; and, as the command reads
// without symbols, with each report's symbols looked up (none found) and its signature computed.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "capture_reader.h"
#include "output.h"
#include "signature.h"
#include "symbols.h"

namespace {

using namespace hestolvane::decode;

constexpr size_t ReportCount = 1000;
constexpr size_t RowCount = 300;
constexpr size_t FrameCount = 20;
constexpr size_t ChunkSize = 256 * 1024;
constexpr unsigned long long ImageBase = 0xFFFFF80400000000;
constexpr unsigned long long ImageSize = 0x200000;

std::string Line(const char* Format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* Format, ...) {
    char Buffer[1024];
    va_list Arguments;
    va_start(Arguments, Format);
    std::vsnprintf(Buffer, sizeof(Buffer), Format, Arguments);
    va_end(Arguments);
    return std::string(Buffer) + "\r\n";
}

// Rows with the lengths of real ones, every other frame resolved and every other raw inside a row.
std::string MakeCapture() {
    std::string Capture;
    for (size_t Report = 0; Report < ReportCount; Report++) {
        Capture += Line("HesTolvaneDrv ver: 3, Load: 2026-12-08 06:03:%02zu:%zu", Report % 60, Report % 1000);
        Capture += Line("normal boot.");
        Capture += Line("VQN Dump Begin.");
        Capture += Line("CRASHED ON: 2026-12-08 06:04:%02zu:%zu", Report % 60, Report % 1000);
        Capture += Line("Dump:");
        Capture += Line("start    end    module    pdb    path    guid");
        for (size_t Row = 0; Row < RowCount; Row++) {
            const unsigned long long Start = ImageBase + Row * ImageSize;
            Capture += Line(
                "%016llX %016llX  driver%03zu.sys  d:\\a\\_work\\1\\s\\build\\x64\\release\\driver%03zu.pdb  "
                "\\SystemRoot\\System32\\drivers\\driver%03zu.sys  %08zX-9452-4D1B-A26F-0E359C41D708",
                Start, Start + ImageSize - 0x1000, Row, Row, Row, Row * 7919);
        }
        Capture += Line("VQN: BUGCHECK CODE 50: FFFFF80000001000 0000000000000000 FFFFF80012345678 0000000000000002");
        Capture += Line("CONTEXT (FFFFF80011112222):");
        for (const RegisterLayout& Register : ContextRegisters) {
            Capture += Line("         %.*s%s %0*llX", static_cast<int>(Register.Name.size()), Register.Name.data(),
                            Register.Name == "RSI" ? "=" : " =", Register.Digits, 0x1234ULL);
        }
        for (size_t Frame = 0; Frame < FrameCount; Frame++) {
            const unsigned long long Stack = 0xFFFFD00000001000 + Frame * 0x40;
            const size_t Row = (Report + Frame * 13) % RowCount;
            if (Frame % 2 == 0) {
                Capture += Line("%016llX  (%016llX  %016llX  %016llX  %016llX) driver%03zu.sys + %016llX", Stack,
                                Stack + 8, Stack + 16, 0ULL, 1ULL, Row, 0x1234ULL + Frame);
            } else {
                Capture += Line("%016llX  (%016llX  %016llX  %016llX  %016llX) %016llX", Stack, Stack + 8, Stack + 16,
                                0ULL, 1ULL, ImageBase + Row * ImageSize + 0x40 + Frame);
            }
        }
        Capture += Line("ControlPc");
        Capture += Line("VQN Dump End.");
    }
    return Capture;
}

const std::string& Capture() {
    static const std::string Made = MakeCapture();
    return Made;
}

class CountingSink : public CaptureSink {
public:
    void OnBoot(const Boot&) override {}
    void OnReport(const Report& Decoded) override {
        Reports++;
        Frames += Decoded.Frames.size();
    }
    size_t Reports = 0;
    size_t Frames = 0;
};

class JsonSink : public CaptureSink {
public:
    void OnBoot(const Boot& Decoded) override { Bytes += BootJson(Decoded).size(); }
    void OnReport(const Report& Decoded) override { Bytes += ReportJson(Decoded).size(); }
    size_t Bytes = 0;
};

template <typename Sink>
void ReadCapture(benchmark::State& State, bool KeepRawText = false) {
    const std::string& Text = Capture();
    for (auto _ : State) {
        Sink Counted;
        CaptureReader Reader(Counted, KeepRawText);
        for (size_t Offset = 0; Offset < Text.size(); Offset += ChunkSize) {
            Reader.Feed(std::string_view(Text).substr(Offset, ChunkSize));
        }
        Reader.Finish();
        benchmark::DoNotOptimize(Counted);
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Text.size()));
    State.counters["reports/s"] =
        benchmark::Counter(static_cast<double>(State.iterations() * ReportCount), benchmark::Counter::kIsRate);
    State.counters["capture MB"] = static_cast<double>(Text.size()) / 1e6;
}

void BM_DecodeCapture(benchmark::State& State) {
    ReadCapture<CountingSink>(State);
}
BENCHMARK(BM_DecodeCapture)->Unit(benchmark::kMillisecond);

void BM_DecodeCaptureKeepingRawText(benchmark::State& State) {
    ReadCapture<CountingSink>(State, true);
}
BENCHMARK(BM_DecodeCaptureKeepingRawText)->Unit(benchmark::kMillisecond);

void BM_DecodeCaptureSigned(benchmark::State& State) {
    const std::string& Text = Capture();
    const Triage Defaults;
    for (auto _ : State) {
        SymbolResolver Resolver{SymbolOptions{}};
        CountingSink Counted;
        SigningSink Signing(Resolver, Defaults, Counted);
        CaptureReader Reader(Signing, false);
        for (size_t Offset = 0; Offset < Text.size(); Offset += ChunkSize) {
            Reader.Feed(std::string_view(Text).substr(Offset, ChunkSize));
        }
        Reader.Finish();
        benchmark::DoNotOptimize(Counted);
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Text.size()));
    State.counters["reports/s"] =
        benchmark::Counter(static_cast<double>(State.iterations() * ReportCount), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeCaptureSigned)->Unit(benchmark::kMillisecond);

void BM_DecodeCaptureToJson(benchmark::State& State) {
    ReadCapture<JsonSink>(State);
}
BENCHMARK(BM_DecodeCaptureToJson)->Unit(benchmark::kMillisecond);

}  // namespace
