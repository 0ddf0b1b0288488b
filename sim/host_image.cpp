// Finds the loaded range of this process's own executable or shared objects, so that host code can stand
// in for a kernel module in a stack walk.
#include <link.h>

#include "sim_kernel.h"

namespace sim {

namespace {

struct ImageSearch {
    ULONG_PTR Address;
    HostImage Found;
    bool Matched;
};

int MatchLoadedObject(struct dl_phdr_info* Info, size_t, void* Argument) {
    auto* Search = static_cast<ImageSearch*>(Argument);
    ULONG_PTR Low = ~0ull;
    ULONG_PTR High = 0;
    for (int Index = 0; Index < Info->dlpi_phnum; Index++) {
        const ElfW(Phdr)& Segment = Info->dlpi_phdr[Index];
        if (Segment.p_type != PT_LOAD) {
            continue;
        }
        const ULONG_PTR Start = Info->dlpi_addr + Segment.p_vaddr;
        const ULONG_PTR End = Start + Segment.p_memsz;
        Low = Start < Low ? Start : Low;
        High = End > High ? End : High;
    }
    if (Search->Address < Low || Search->Address >= High) {
        return 0;
    }
    Search->Found.Start = Low;
    Search->Found.End = High;
    Search->Found.Path = Info->dlpi_name[0] != '\0' ? Info->dlpi_name : "/proc/self/exe";
    Search->Matched = true;
    return 1;
}

}  // namespace

HostImage HostImageOf(const void* Address) {
    ImageSearch Search{reinterpret_cast<ULONG_PTR>(Address), HostImage{0, 0, std::string()}, false};
    dl_iterate_phdr(MatchLoadedObject, &Search);
    return Search.Found;
}

}  // namespace sim
