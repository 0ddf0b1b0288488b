// The machine the bug-check benchmarks crash: a table of recorded modules with realistic names and
// identities, and a scripted 20-frame stack whose frames return into records spread over the table.
#pragma once

#include <cstdio>
#include <cstring>
#include <vector>

#include "hestolvane.h"
#include "sim_kernel.h"

namespace bench {

constexpr ULONG_PTR ImageSize = 0x1000;

struct Scenario {
    ULONG_PTR ImagesBase = 0;
    ULONG_PTR StackBase = 0;
};

inline char* NewString(const char* Text) {
    auto* Buffer = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, ModuleStringBufferSize, HesTolvanePoolTag));
    std::memset(Buffer, 0, ModuleStringBufferSize);
    std::strncpy(Buffer, Text, ModuleStringMaxCopy);
    return Buffer;
}

// A freshly booted kernel with Count records, the console on COM1 (always ready, nothing recorded) and
// the report's callback registered, as start-up leaves them.
inline Scenario BuildScenario(size_t Count) {
    sim::Reset();
    sim::ReloadDriverData();
    sim::RecordPortAccesses(false);
    InitializeListHead(&ModuleListHead);
    KeInitializeSpinLock(&ModuleListLock);
    SerialPortBase = ComPortTable[1];
    KeInitializeCallbackRecord(&BugCheckCallbackRecord);
    KeRegisterBugCheckCallback(&BugCheckCallbackRecord, BugCheckDumpCallback, nullptr, 0,
                               reinterpret_cast<PUCHAR>(const_cast<char*>("HesTolvane")));

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

// One bug check as the kernel raises it: HIGH_LEVEL, bug-check mode, every registered callback.
inline void RaiseBugCheck() {
    DumpCount = 0;
    sim::BugCheck(0x50, 0xFFFFF80000001000, 0, 0xFFFFF80012345678, 2);
}

inline void TearDownScenario() {
    KeDeregisterBugCheckCallback(&BugCheckCallbackRecord);
    FreeModuleTable();
}

}  // namespace bench
