// Writes the identity fuzzer's seed corpus: synthetic images, each a step of the identity read done right
// or broken, with the page states the fuzzer's input format begins with.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim_pe_builder.h"

namespace {

// One 2-bit state for each of the first 16 pages: 0 valid, 2 invalid, 3 faulting.
constexpr unsigned Invalid = 2;
constexpr unsigned Faulting = 3;

std::vector<UCHAR> PageStates(std::initializer_list<std::pair<unsigned, unsigned>> PagesAndStates) {
    std::vector<UCHAR> States(4, 0);
    for (const auto& [Page, State] : PagesAndStates) {
        States[Page / 4] |= (UCHAR)(State << ((Page % 4) * 2));
    }
    return States;
}

sim::PeImageBuilder Probe() {
    sim::PeImageBuilder Builder;
    Builder.Guid({0x3C, 0x8E, 0x1A, 0x55, 0x0B, 0x7D, 0x4F, 0x42, 0x9A, 0x61, 0x2E, 0xC4, 0x80, 0x13, 0xF7, 0x6D})
        .PdbPath("d:\\build\\amd64\\probe.pdb");
    return Builder;
}

bool Write(const std::string& Directory, const std::string& Name, std::vector<UCHAR> States,
           const sim::PeImageBuilder& Builder) {
    const std::vector<UCHAR> Image = Builder.Build();
    States.insert(States.end(), Image.begin(), Image.end());
    std::ofstream File(Directory + "/" + Name, std::ios::binary);
    File.write((const char*)States.data(), (std::streamsize)States.size());
    return File.good();
}

}  // namespace

int main(int Argc, char** Argv) {
    if (Argc != 2) {
        std::fprintf(stderr, "usage: make_identity_corpus DIRECTORY\n");
        return 2;
    }
    const std::string Out = Argv[1];
    bool Written = true;
    Written &= Write(Out, "valid", PageStates({}), Probe());
    Written &= Write(Out, "no-debug-directory", PageStates({}), Probe().DebugDirectoryAt(0));
    Written &= Write(Out, "pogo-entry-first", PageStates({}), Probe().DebugEntryBeforeCodeView(13, 0));
    Written &= Write(Out, "nb10-record", PageStates({}), Probe().CodeViewSignature(0x3031424E));
    Written &= Write(Out, "path-of-300", PageStates({}), Probe().PdbPath(std::string(300, 'p')));
    Written &= Write(Out, "headers-into-invalid-page", PageStates({{1, Invalid}}),
                     Probe().NtHeadersAt(0xF80).DebugDirectoryAt(0x2000).CodeViewAt(0x2040));
    Written &= Write(Out, "guid-into-faulting-page", PageStates({{2, Faulting}}), Probe().CodeViewAt(0x1FF8));
    Written &= Write(Out, "path-into-faulting-page", PageStates({{2, Faulting}}),
                     Probe().CodeViewAt(0x1F00).PdbPath(std::string(400, 'q')));
    Written &= Write(Out, "path-to-the-image-end", PageStates({}),
                     Probe().CodeViewAt(0x2EE9).PdbPath(std::string(255, 's')));
    if (!Written) {
        std::fprintf(stderr, "make_identity_corpus: cannot write to %s\n", Out.c_str());
        return 1;
    }
    return 0;
}
