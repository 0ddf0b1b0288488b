// hestolvane-sim: runs HesTolvaneDrv's real code in the simulated kernel and prints exactly what COM1
// receives (debugger messages go to standard error).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "hestolvane.h"
#include "sim_kernel.h"

namespace {

struct Options {
    ULONG_PTR BugCheck[5] = {0x50, 0xFFFFF80000001000, 0, 0xFFFFF80012345678, 2};
    bool NoTracking = false;
};

void PrintUsage(FILE* Stream) {
    std::fprintf(Stream,
                 "usage: hestolvane-sim [--bugcheck CODE[,P1,P2,P3,P4]] [--no-tracking]\n"
                 "Runs the driver in the simulated kernel, raises a bug check and prints what COM1 receives.\n"
                 "  --bugcheck CODE[,P1..P4]  bug-check code and parameters, hexadecimal\n"
                 "  --no-tracking             module collection switched off\n");
}

bool ParseHex(const std::string& Text, ULONG_PTR* Value) {
    if (Text.empty()) {
        return false;
    }
    char* End = nullptr;
    *Value = std::strtoull(Text.c_str(), &End, 16);
    return *End == '\0';
}

bool ParseBugCheck(const std::string& Text, Options* Parsed) {
    std::vector<std::string> Fields;
    size_t Start = 0;
    for (size_t Comma = Text.find(','); ; Comma = Text.find(',', Start)) {
        Fields.push_back(Text.substr(Start, Comma == std::string::npos ? std::string::npos : Comma - Start));
        if (Comma == std::string::npos) {
            break;
        }
        Start = Comma + 1;
    }
    if (Fields.size() > 5) {
        return false;
    }
    ULONG_PTR Values[5] = {0, 0, 0, 0, 0};
    for (size_t Index = 0; Index < Fields.size(); Index++) {
        if (!ParseHex(Fields[Index], &Values[Index])) {
            return false;
        }
    }
    std::memcpy(Parsed->BugCheck, Values, sizeof(Values));
    return true;
}

bool ParseOptions(int Argc, char** Argv, Options* Parsed) {
    for (int Index = 1; Index < Argc; Index++) {
        const std::string Option = Argv[Index];
        if (Option == "--bugcheck" && Index + 1 < Argc) {
            if (!ParseBugCheck(Argv[++Index], Parsed)) {
                std::fprintf(stderr, "hestolvane-sim: bad --bugcheck value '%s'\n", Argv[Index]);
                return false;
            }
        } else if (Option == "--no-tracking") {
            Parsed->NoTracking = true;
        } else if (Option == "--help" || Option == "-h") {
            PrintUsage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "hestolvane-sim: unknown option '%s'\n", Option.c_str());
            return false;
        }
    }
    return true;
}

void WriteComByte(UCHAR Byte) {
    std::fputc(Byte, stdout);
}

// The simulated clock shows the host's present time, in the kernel's 100 ns units since 1601.
LONG64 HostNowAsSystemTime() {
    timespec Now;
    clock_gettime(CLOCK_REALTIME, &Now);
    constexpr LONG64 UnixEpochAsSystemTime = 116444736000000000;
    return UnixEpochAsSystemTime + static_cast<LONG64>(Now.tv_sec) * 10000000 + Now.tv_nsec / 100;
}

// Start-up as far as the crash report needs it: an empty table, the callback, the console on COM1.
void StartDriver(const Options& Chosen) {
    if (Chosen.NoTracking) {
        ModuleTrackingEnabled = FALSE;
    }
    InitializeListHead(&ModuleListHead);
    KeInitializeSpinLock(&ModuleListLock);
    KeInitializeCallbackRecord(&BugCheckCallbackRecord);
    static char Component[] = "HesTolvane";
    KeRegisterBugCheckCallback(&BugCheckCallbackRecord, BugCheckDumpCallback, nullptr, 0,
                               reinterpret_cast<PUCHAR>(Component));
    SerialPortBase = ComPortTable[1];
}

char* NewModuleString(const char* Text) {
    auto* Buffer = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, ModuleStringBufferSize, HesTolvanePoolTag));
    std::memset(Buffer, 0, ModuleStringBufferSize);
    std::strncpy(Buffer, Text, ModuleStringMaxCopy);
    return Buffer;
}

void RecordModule(ULONG_PTR Start, ULONG_PTR End, const char* Name, const char* Path, const char* PdbName,
                  const UCHAR* Guid) {
    auto* Record = static_cast<ModuleInfo*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ModuleInfo), HesTolvanePoolTag));
    std::memset(Record, 0, sizeof(ModuleInfo));
    Record->ImageStart = reinterpret_cast<PVOID>(Start);
    Record->ImageEnd = reinterpret_cast<PVOID>(End);
    Record->ModuleName.Buffer = NewModuleString(Name);
    Record->FullPath.Buffer = NewModuleString(Path);
    std::strncpy(Record->PdbName, PdbName, PdbNameSize - 1);
    if (Guid != nullptr) {
        std::memcpy(&Record->PdbGuid, Guid, sizeof(GUID));
    }
    InsertModuleRecord(Record);
}

// The scenario's kernel: an ntoskrnl with a program-database identity, and this program itself standing
// in for the driver that crashes, so that the real stack walk below resolves into it.
void RecordModules() {
    static const UCHAR NtGuid[16] = {0x3C, 0x8A, 0x11, 0x7E, 0x52, 0x94, 0x1B, 0x4D,
                                     0xA2, 0x6F, 0x0E, 0x35, 0x9C, 0x41, 0xD7, 0x08};
    const auto NtBase = reinterpret_cast<ULONG_PTR>(sim::MapRegion(0x100000));
    RecordModule(NtBase, NtBase + 0x100000, "ntoskrnl.exe", "\\SystemRoot\\system32\\ntoskrnl.exe",
                 "ntkrnlmp.pdb", NtGuid);
    const sim::HostImage Self = sim::HostImageOf(reinterpret_cast<const void*>(&RecordModules));
    RecordModule(Self.Start, Self.End, "hestolvane-sim.sys", "\\SystemRoot\\System32\\drivers\\hestolvane-sim.sys",
                 "", nullptr);
}

// A faulting driver's call chain, never inlined, so that the report's frames climb through it.
__attribute__((noinline)) void FaultingDriverRoutine(const Options& Chosen) {
    sim::BugCheck(static_cast<ULONG>(Chosen.BugCheck[0]), Chosen.BugCheck[1], Chosen.BugCheck[2],
                  Chosen.BugCheck[3], Chosen.BugCheck[4]);
    asm volatile("");
}

__attribute__((noinline)) void FaultingDriverDispatch(const Options& Chosen) {
    FaultingDriverRoutine(Chosen);
    asm volatile("");
}

void StopDriver() {
    KeDeregisterBugCheckCallback(&BugCheckCallbackRecord);
    FreeModuleTable();
}

}  // namespace

int main(int Argc, char** Argv) {
    Options Chosen;
    if (!ParseOptions(Argc, Argv, &Chosen)) {
        PrintUsage(stderr);
        return 2;
    }

    sim::Reset();
    sim::ReloadDriverData();
    sim::SetCom1Sink(WriteComByte);
    sim::EchoDebuggerMessages(true);
    sim::SetSystemTime(HostNowAsSystemTime());

    StartDriver(Chosen);
    RecordModules();
    FaultingDriverDispatch(Chosen);
    StopDriver();

    std::fflush(stdout);
    for (const std::string& Problem : sim::TeardownProblems()) {
        std::fprintf(stderr, "hestolvane-sim: %s\n", Problem.c_str());
    }
    return 0;
}
