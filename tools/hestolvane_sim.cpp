// hestolvane-sim: starts HesTolvaneDrv in the simulated kernel as the kernel starts a service, raises a
// bug check and prints exactly what COM1 receives; debugger messages and boot separators go to stderr.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hestolvane.h"
#include "sim_driver.h"
#include "sim_kernel.h"
#include "sim_loader.h"
#include "sim_pe_builder.h"

namespace {

struct Options {
    ULONG_PTR BugCheck[5] = {0x50, 0xFFFFF80000001000, 0, 0xFFFFF80012345678, 2};
    std::optional<ULONG> Loaded;
    std::optional<ULONG> Version;
    bool SafeMode = false;
    std::vector<std::string> Modules;
    std::vector<std::string> Loads;
    unsigned Boots = 1;
    bool DieDuringWalk = false;
    sim::WindowsRelease Release = sim::Windows11();
    bool CodeIntegrity = false;
};

void PrintUsage(FILE* Stream) {
    std::fprintf(Stream,
                 "usage: hestolvane-sim [options]\n"
                 "Starts the driver in the simulated kernel, raises a bug check, unloads the driver, and prints\n"
                 "what COM1 receives on standard output.\n"
                 "  --bugcheck CODE[,P1..P4]  bug-check code and parameters, hexadecimal\n"
                 "                            (default 50,FFFFF80000001000,0,FFFFF80012345678,2)\n"
                 "  --loaded N                \"Loaded\" in the service key before the first boot (default absent)\n"
                 "  --version N               \"Version\" in the service key before the first boot (default absent)\n"
                 "  --no-tracking             the marker of a crash during this version's walk: --loaded 1\n"
                 "                            --version 3, so module collection is off\n"
                 "  --safe-mode               boot in safe mode, where the driver does not start\n"
                 "  --module PATH             map a PE file as a loaded kernel module the walk finds (repeatable)\n"
                 "  --load PATH               map a PE file and report its load after start-up (repeatable)\n"
                 "  --boots K                 K boots in a row over one registry (default 1)\n"
                 "  --die-during-walk         the first boot dies on a torn loader entry during the walk\n"
                 "  --windows 7|10|11         the Windows release the kernel reports (default 11)\n"
                 "  --code-integrity          Driver Verifier's code-integrity check on the driver's pool requests\n"
                 "                            (Windows 10 and 11)\n"
                 "  --help                    this text\n");
}

bool ParseNumber(const std::string& Text, int Base, ULONG_PTR* Value) {
    if (Text.empty()) {
        return false;
    }
    char* End = nullptr;
    *Value = std::strtoull(Text.c_str(), &End, Base);
    return *End == '\0';
}

bool ParseBugCheck(const std::string& Text, Options* Parsed) {
    std::vector<std::string> Fields;
    size_t Start = 0;
    for (size_t Comma = Text.find(',');; Comma = Text.find(',', Start)) {
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
        if (!ParseNumber(Fields[Index], 16, &Values[Index])) {
            return false;
        }
    }
    std::memcpy(Parsed->BugCheck, Values, sizeof(Values));
    return true;
}

bool ParseDword(const char* Option, const char* Text, std::optional<ULONG>* Value) {
    ULONG_PTR Parsed = 0;
    if (!ParseNumber(Text, 0, &Parsed) || Parsed > 0xFFFFFFFFull) {
        std::fprintf(stderr, "hestolvane-sim: bad %s value '%s'\n", Option, Text);
        return false;
    }
    *Value = (ULONG)Parsed;
    return true;
}

bool ParseOptions(int Argc, char** Argv, Options* Parsed) {
    for (int Index = 1; Index < Argc; Index++) {
        const std::string Option = Argv[Index];
        const bool HasValue = Index + 1 < Argc;
        if (Option == "--help" || Option == "-h") {
            PrintUsage(stdout);
            std::exit(0);
        } else if (Option == "--bugcheck" && HasValue) {
            if (!ParseBugCheck(Argv[++Index], Parsed)) {
                std::fprintf(stderr, "hestolvane-sim: bad --bugcheck value '%s'\n", Argv[Index]);
                return false;
            }
        } else if (Option == "--loaded" && HasValue) {
            if (!ParseDword("--loaded", Argv[++Index], &Parsed->Loaded)) {
                return false;
            }
        } else if (Option == "--version" && HasValue) {
            if (!ParseDword("--version", Argv[++Index], &Parsed->Version)) {
                return false;
            }
        } else if (Option == "--no-tracking") {
            Parsed->Loaded = 1;
            Parsed->Version = DriverVersion;
        } else if (Option == "--safe-mode") {
            Parsed->SafeMode = true;
        } else if (Option == "--module" && HasValue) {
            Parsed->Modules.push_back(Argv[++Index]);
        } else if (Option == "--load" && HasValue) {
            Parsed->Loads.push_back(Argv[++Index]);
        } else if (Option == "--boots" && HasValue) {
            ULONG_PTR Boots = 0;
            if (!ParseNumber(Argv[++Index], 10, &Boots) || Boots == 0 || Boots > 100) {
                std::fprintf(stderr, "hestolvane-sim: bad --boots value '%s' (1 to 100)\n", Argv[Index]);
                return false;
            }
            Parsed->Boots = (unsigned)Boots;
        } else if (Option == "--die-during-walk") {
            Parsed->DieDuringWalk = true;
        } else if (Option == "--windows" && HasValue) {
            const std::string Release = Argv[++Index];
            if (Release == "7") {
                Parsed->Release = sim::Windows7Sp1();
            } else if (Release == "10") {
                Parsed->Release = sim::Windows10();
            } else if (Release == "11") {
                Parsed->Release = sim::Windows11();
            } else {
                std::fprintf(stderr, "hestolvane-sim: bad --windows value '%s' (7, 10 or 11)\n", Release.c_str());
                return false;
            }
        } else if (Option == "--code-integrity") {
            Parsed->CodeIntegrity = true;
        } else {
            std::fprintf(stderr, "hestolvane-sim: unknown option or missing value '%s'\n", Option.c_str());
            return false;
        }
    }
    // The verifier's code-integrity option came with Windows 10.
    if (Parsed->CodeIntegrity && Parsed->Release.Major < 10) {
        std::fprintf(stderr, "hestolvane-sim: --code-integrity needs --windows 10 or 11\n");
        return false;
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

// Host file names become kernel names character by character; the names given here are ASCII.
std::u16string Widened(const std::string& Text) {
    return std::u16string(Text.begin(), Text.end());
}

std::string FileNameOf(const std::string& Path) {
    const size_t Slash = Path.find_last_of('/');
    return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

std::u16string DriverPathOf(const std::string& FileName) {
    return u"\\SystemRoot\\System32\\drivers\\" + Widened(FileName);
}

void AddSyntheticModule(const char16_t* FullName, const char16_t* BaseName, ULONG Size,
                        const std::array<UCHAR, 16>& Guid, const char* PdbPath) {
    const sim::MappedImage Image =
        sim::MapImageBytes(sim::PeImageBuilder().SizeOfImage(Size).Guid(Guid).PdbPath(PdbPath).Build());
    sim::AddLoadedModule(FullName, BaseName, Image.Base, Image.Size);
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

// The kernel a boot finds: ntoskrnl.exe and hal.dll with program-database identities, this program
// standing in for the driver that crashes (so that the stack walk resolves into it), the modules given
// with --module, and, when the boot is to die, a loader entry torn under the walk right after ntoskrnl.
void LoadKernelModules(const Options& Chosen, bool DieDuringWalk) {
    AddSyntheticModule(u"\\SystemRoot\\system32\\ntoskrnl.exe", u"ntoskrnl.exe", 0x20000,
                       {0x3C, 0x8A, 0x11, 0x7E, 0x52, 0x94, 0x1B, 0x4D, 0xA2, 0x6F, 0x0E, 0x35, 0x9C, 0x41, 0xD7, 0x08},
                       "ntkrnlmp.pdb");
    PKLDR_DATA_TABLE_ENTRY Torn = nullptr;
    if (DieDuringWalk) {
        const sim::MappedImage Image = sim::MapImageBytes(sim::PeImageBuilder().Build());
        Torn = sim::AddLoadedModule(u"\\SystemRoot\\System32\\drivers\\torn.sys", u"torn.sys", Image.Base,
                                    Image.Size);
    }
    AddSyntheticModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll", 0x8000,
                       {0x91, 0x27, 0x4E, 0xC0, 0x3B, 0x66, 0x4A, 0x12, 0x8D, 0x05, 0x77, 0xE1, 0x2C, 0x9F, 0x40, 0xB3},
                       "hal.pdb");
    const sim::HostImage Self = sim::HostImageOf(reinterpret_cast<const void*>(&FaultingDriverRoutine));
    sim::DeclareRegion(reinterpret_cast<const void*>(Self.Start), Self.End - Self.Start);
    sim::AddLoadedModule(u"\\SystemRoot\\System32\\drivers\\hestolvane-sim.sys", u"hestolvane-sim.sys", Self.Start,
                         static_cast<ULONG>(Self.End - Self.Start));
    for (const std::string& Path : Chosen.Modules) {
        const sim::MappedImage Image = sim::MapImageFile(Path);
        const std::string Name = FileNameOf(Path);
        sim::AddLoadedModule(DriverPathOf(Name), Widened(Name), Image.Base, Image.Size);
    }
    if (Torn != nullptr) {
        sim::SetPageState(Torn, sizeof(KLDR_DATA_TABLE_ENTRY), sim::PageState::Faulting);
    }
}

// One boot: the kernel's scene, the driver's start, the image loads, the bug check, the unload.
void RunBoot(const Options& Chosen, bool DieDuringWalk, bool* Clean) {
    sim::SetCom1Sink(WriteComByte);
    sim::EchoDebuggerMessages(true);
    sim::SetSystemTime(HostNowAsSystemTime());
    sim::SetSafeBootMode(Chosen.SafeMode ? 1 : 0);
    LoadKernelModules(Chosen, DieDuringWalk);

    const NTSTATUS Started = sim::LoadDriver();
    if (!NT_SUCCESS(Started)) {
        std::fflush(stdout);
        std::fprintf(stderr, "hestolvane-sim: DriverEntry returned 0x%08X\n", static_cast<ULONG>(Started));
    } else {
        for (const std::string& Path : Chosen.Loads) {
            const sim::MappedImage Image = sim::MapImageFile(Path);
            sim::ReportImageLoad(DriverPathOf(FileNameOf(Path)), Image.Base, Image.Size);
        }
        FaultingDriverDispatch(Chosen);
        sim::UnloadDriver();
    }
    std::fflush(stdout);
    for (const std::string& Problem : sim::TeardownProblems()) {
        std::fprintf(stderr, "hestolvane-sim: %s\n", Problem.c_str());
        *Clean = false;
    }
}

}  // namespace

int main(int Argc, char** Argv) {
    Options Chosen;
    if (!ParseOptions(Argc, Argv, &Chosen)) {
        PrintUsage(stderr);
        return 2;
    }

    // Line by line, so that COM1's lines and the debugger's messages on stderr keep their order in a
    // shared pipe or log.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sim::SetWindowsRelease(Chosen.Release);
    sim::SetVerifierCodeIntegrity(Chosen.CodeIntegrity);
    sim::ResetRegistry();
    sim::CreateRegistryKey(sim::ServiceKeyPath());
    if (Chosen.Loaded) {
        sim::SetRegistryDword(sim::ServiceKeyPath(), u"Loaded", *Chosen.Loaded);
    }
    if (Chosen.Version) {
        sim::SetRegistryDword(sim::ServiceKeyPath(), u"Version", *Chosen.Version);
    }

    bool Clean = true;
    try {
        for (unsigned Boot = 1; Boot <= Chosen.Boots; Boot++) {
            if (Chosen.Boots > 1) {
                std::fflush(stdout);
                std::fprintf(stderr, "==== boot %u of %u ====\n", Boot, Chosen.Boots);
            }
            const bool DieDuringWalk = Chosen.DieDuringWalk && Boot == 1;
            const sim::BootResult Result = sim::Boot([&Chosen, DieDuringWalk, &Clean] {
                RunBoot(Chosen, DieDuringWalk, &Clean);
            });
            std::fflush(stdout);
            if (Result.Died) {
                std::fprintf(stderr, "==== boot %u died with bug check 0x%X; the power goes ====\n", Boot,
                             Result.StopCode);
            }
        }
    } catch (const std::exception& Failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "hestolvane-sim: %s\n", Failure.what());
        return 1;
    }
    return Clean ? 0 : 1;
}
