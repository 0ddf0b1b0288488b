// Cost of filling the module table: the start-up walk with identity reads over 300 loaded modules, one
// image-load notification, and one insert under ModuleListLock; with the non-paged bytes per record.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "hestolvane.h"
#include "sim_loader.h"
#include "sim_pe_builder.h"

namespace {

void StartTable() {
    sim::Reset();
    sim::ReloadDriverData();
    InitializeListHead(&ModuleListHead);
    KeInitializeSpinLock(&ModuleListLock);
}

size_t DriverPoolBytes() {
    size_t Bytes = 0;
    for (const sim::PoolBlock& Block : sim::OutstandingPool()) {
        Bytes += Block.Tag == HesTolvanePoolTag ? Block.Size : 0;
    }
    return Bytes;
}

// 300 PE images with CodeView records in the kernel's list, this driver's own entry last, as a system
// start finds them.
void BM_EnumLoadedModules(benchmark::State& State) {
    const size_t Count = static_cast<size_t>(State.range(0));
    StartTable();
    const std::vector<UCHAR> Image = sim::PeImageBuilder().PdbPath("d:\\build\\x64\\release\\driver.pdb").Build();
    for (size_t Index = 0; Index < Count; Index++) {
        const sim::MappedImage Mapped = sim::MapImageBytes(Image);
        const std::string Name = "driver" + std::to_string(Index) + ".sys";
        const std::u16string Base(Name.begin(), Name.end());
        sim::AddLoadedModule(u"\\SystemRoot\\System32\\drivers\\" + Base, Base, Mapped.Base, Mapped.Size);
    }
    DRIVER_OBJECT Driver;
    std::memset(&Driver, 0, sizeof(Driver));
    Driver.DriverSection = sim::AddLoadedModule(u"\\SystemRoot\\System32\\drivers\\HesTolvaneDrv.sys",
                                                u"HesTolvaneDrv.sys", sim::MapImageBytes(Image).Base, 0x3000);
    size_t BytesPerRecord = 0;
    for (auto _ : State) {
        EnumLoadedModules(&Driver);
        State.PauseTiming();
        BytesPerRecord = DriverPoolBytes() / Count;
        FreeModuleTable();
        State.ResumeTiming();
    }
    State.counters["nonpaged_bytes_per_record"] = static_cast<double>(BytesPerRecord);
}
BENCHMARK(BM_EnumLoadedModules)->Arg(300)->Unit(benchmark::kMillisecond);

// One kernel-mode image reported after start-up: the record, its names and its identity, then the insert.
void BM_LoadImageNotify(benchmark::State& State) {
    StartTable();
    const sim::MappedImage Image = sim::MapImageBytes(sim::PeImageBuilder().Build());
    const std::u16string Path = u"\\SystemRoot\\System32\\drivers\\late.sys";
    auto* Text = static_cast<WCHAR*>(sim::MapRegion((Path.size() + 1) * sizeof(WCHAR)));
    std::memcpy(Text, Path.c_str(), (Path.size() + 1) * sizeof(WCHAR));
    UNICODE_STRING Name = {static_cast<USHORT>(Path.size() * sizeof(WCHAR)),
                           static_cast<USHORT>((Path.size() + 1) * sizeof(WCHAR)), Text};
    IMAGE_INFO Info;
    std::memset(&Info, 0, sizeof(Info));
    Info.Properties = IMAGE_INFO_SYSTEM_MODE_IMAGE;
    Info.ImageBase = reinterpret_cast<PVOID>(Image.Base);
    Info.ImageSize = Image.Size;
    size_t Loads = 0;
    for (auto _ : State) {
        LoadImageNotify(&Name, nullptr, &Info);
        if (++Loads % 1000 == 0) {
            State.PauseTiming();
            FreeModuleTable();
            State.ResumeTiming();
        }
    }
    FreeModuleTable();
}
BENCHMARK(BM_LoadImageNotify);

// The whole insert: raise to DISPATCH_LEVEL and take the lock, link, count, release. The lock is held for
// the link and the count alone, so this is an upper bound on the hold time.
void BM_InsertModuleRecord(benchmark::State& State) {
    StartTable();
    std::vector<ModuleInfo> Records(1 << 16);
    size_t Next = 0;
    for (auto _ : State) {
        InsertModuleRecord(&Records[Next++]);
        if (Next == Records.size()) {
            State.PauseTiming();
            InitializeListHead(&ModuleListHead);
            Next = 0;
            State.ResumeTiming();
        }
    }
    InitializeListHead(&ModuleListHead);
}
BENCHMARK(BM_InsertModuleRecord);

}  // namespace
