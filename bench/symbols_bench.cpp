// hestolvane-decode with symbols against the shell-script way: 1,000 reports of 20 frames over three
// modules with PDBs (HesTolvaneDrv.sys and two builds of the tests' crashy.dll), decoded in one process
// versus one llvm-symbolizer process per report; then the latency of one report with warm symbols.
// Run by hand: build/host/bench/hestolvane_symbols_bench (needs the driver build and the cross toolchain).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "capture_reader.h"
#include "output.h"
#include "symbols.h"

namespace {

using namespace hestolvane::decode;
using Clock = std::chrono::steady_clock;

constexpr size_t ReportCount = 1000;
constexpr size_t FrameCount = 20;

struct Module {
    std::string Name;
    std::string Image;
    std::string Pdb;
    std::string Guid;
    uint64_t Start = 0;
    uint64_t Base = 0;               // the image's preferred base, from its link map
    std::vector<uint64_t> Functions;  // RVAs from the link map
};

std::string Run(const std::string& Command) {
    std::string Output;
    FILE* Pipe = popen(Command.c_str(), "r");
    if (Pipe == nullptr) {
        return Output;
    }
    char Buffer[65536];
    for (size_t Count; (Count = std::fread(Buffer, 1, sizeof(Buffer), Pipe)) > 0;) {
        Output.append(Buffer, Count);
    }
    pclose(Pipe);
    return Output;
}

std::string Hex16(uint64_t Value) {
    char Text[24];
    std::snprintf(Text, sizeof(Text), "%016llX", static_cast<unsigned long long>(Value));
    return Text;
}

// Counts the frames that got a function name on their way to the writer.
struct NamedFrames : CaptureSink {
    explicit NamedFrames(CaptureSink& NextIn) : Next(NextIn) {}
    void OnBoot(const Boot& Decoded) override { Next.OnBoot(Decoded); }
    void OnReport(const Report& Decoded) override {
        for (const Frame& Walked : Decoded.Frames) {
            Count += Walked.Function ? 1 : 0;
        }
        Next.OnReport(Decoded);
    }
    CaptureSink& Next;
    size_t Count = 0;
};

bool Load(Module& Each, const std::string& Map) {
    std::ifstream In(Map);
    std::string Line;
    while (std::getline(In, Line)) {
        if (auto At = Line.find("Preferred load address is "); At != std::string::npos) {
            Each.Base = std::stoull(Line.substr(At + 26), nullptr, 16);
        }
        std::istringstream Fields(Line);
        std::string Place;
        std::string Name;
        std::string Address;
        if (Fields >> Place >> Name >> Address && Place.rfind("0001:", 0) == 0 && Address.size() == 16) {
            Each.Functions.push_back(std::stoull(Address, nullptr, 16) - Each.Base);
        }
    }
    const std::string Summary = Run(std::string(HESTOLVANE_LLVM_PDBUTIL) + " dump -summary " + Each.Pdb);
    const size_t At = Summary.find("GUID: {");
    if (At == std::string::npos || Each.Functions.empty()) {
        return false;
    }
    Each.Guid = Summary.substr(At + 7, 36);
    return true;
}

}  // namespace

int main() {
    const std::string Driver = HESTOLVANE_DRIVER_BUILD;
    const std::string Crashy = HESTOLVANE_CRASHY_DIR;
    std::vector<Module> Modules = {
        {"HesTolvaneDrv.sys", Driver + "/HesTolvaneDrv.sys", Driver + "/HesTolvaneDrv.pdb", "", 0xFFFFF80470000000, 0, {}},
        {"crashy.dll", Crashy + "/crashy.dll", Crashy + "/crashy.pdb", "", 0xFFFFF80480000000, 0, {}},
        {"crashy_shifted.dll", Crashy + "/crashy_shifted.dll", Crashy + "/crashy_shifted.pdb", "", 0xFFFFF80490000000, 0, {}},
    };
    if (!Load(Modules[0], Driver + "/HesTolvaneDrv.map") || !Load(Modules[1], Crashy + "/crashy.map") ||
        !Load(Modules[2], Crashy + "/crashy_shifted.map")) {
        std::cerr << "needs the driver build (" << Driver << "), the crashy modules (" << Crashy << ") and llvm-pdbutil\n";
        return 1;
    }

    // The capture, and for the script way each report's addresses as "image VA" lines.
    std::string Capture = "HesTolvaneDrv ver: 3, Load: 2026-12-08 06:03:03:5\nnormal boot.\n";
    std::vector<std::string> ScriptInputs;
    for (size_t Report = 0; Report < ReportCount; Report++) {
        Capture += "VQN Dump Begin.\nCRASHED ON: 2026-12-08 06:04:" + std::to_string(Report % 60) + ":" +
                   std::to_string(Report) + "\nDump:\nstart    end    module    pdb    path    guid\n";
        for (const Module& Each : Modules) {
            Capture += Hex16(Each.Start) + " " + Hex16(Each.Start + 0x100000) + "  " + Each.Name + "  " + Each.Pdb +
                       "  \\SystemRoot\\System32\\drivers\\" + Each.Name + "  " + Each.Guid + "\n";
        }
        Capture += "VQN: BUGCHECK CODE 50: 0000000000000000 0000000000000000 0000000000000000 0000000000000000\n";
        Capture += "CONTEXT (FFFFF80011112222):\n";
        std::string Script;
        for (size_t Index = 0; Index < FrameCount; Index++) {
            const Module& Each = Modules[(Report + Index) % Modules.size()];
            const uint64_t Rva = Each.Functions[(Report * 7 + Index * 3) % Each.Functions.size()] + 1 + Index % 4;
            Capture += Hex16(0xFFFFD00000001F10 + Index * 0x50) +
                       "  (0000000000000001  0000000000000002  0000000000000003  0000000000000004) " + Each.Name +
                       " + " + Hex16(Rva) + "\n";
            Script += "\"" + Each.Image + "\" 0x" + Hex16(Each.Base + Rva - 1) + "\n";
        }
        Capture += "PrintStack\nVQN Dump End.\n";
        ScriptInputs.push_back(Script);
    }

    std::ostringstream Sink;
    JsonLinesWriter Writer(Sink);
    SymbolOptions Chosen;
    Chosen.Search.Directories = {Driver, Crashy};
    SymbolResolver Resolver(Chosen);
    NamedFrames Counted(Writer);
    SymbolizingSink Symbolizing(Resolver, Counted);
    const auto DecodeStart = Clock::now();
    {
        CaptureReader Reader(Symbolizing);
        Reader.Feed(Capture);
        Reader.Finish();
    }
    const double DecodeSeconds = std::chrono::duration<double>(Clock::now() - DecodeStart).count();

    // One report again, symbols warm: the median of 200 decodes.
    const size_t FirstEnd = Capture.find("VQN Dump End.\n") + 14;
    const std::string One = Capture.substr(0, FirstEnd);
    std::vector<double> Latencies;
    for (int Round = 0; Round < 200; Round++) {
        std::ostringstream Out;
        JsonLinesWriter Single(Out);
        SymbolizingSink Warm(Resolver, Single);
        const auto Start = Clock::now();
        CaptureReader Reader(Warm);
        Reader.Feed(One);
        Reader.Finish();
        Latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - Start).count());
    }
    std::sort(Latencies.begin(), Latencies.end());

    const std::string Input = "/tmp/hestolvane-symbols-bench-input.txt";
    const auto ScriptStart = Clock::now();
    size_t ScriptNamed = 0;
    for (const std::string& Script : ScriptInputs) {
        std::ofstream(Input) << Script;
        const std::string Output = Run(std::string(HESTOLVANE_LLVM_SYMBOLIZER) + " < " + Input);
        ScriptNamed += Output.size() > 0 ? 1 : 0;
    }
    const double ScriptSeconds = std::chrono::duration<double>(Clock::now() - ScriptStart).count();
    std::remove(Input.c_str());

    std::printf("decoder: %zu reports x %zu frames to JSON in %.3f s (%u databases opened, %zu frames named)\n",
                ReportCount, FrameCount, DecodeSeconds, Resolver.DatabasesOpened(), Counted.Count);
    std::printf("script:  %zu llvm-symbolizer processes in %.3f s (%zu answered)\n", ScriptInputs.size(),
                ScriptSeconds, ScriptNamed);
    std::printf("speed-up: %.0fx\n", ScriptSeconds / DecodeSeconds);
    std::printf("one report, warm symbols: median %.3f ms, 95th percentile %.3f ms\n", Latencies[100], Latencies[190]);
    return 0;
}
