// The simulated kernel as a whole: booting it afresh, the checks a real kernel makes at driver unload,
// stopping the system, and handing every load of the driver freshly initialised data.
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sim_internal.h"

// Placed by the linker around the section that DRIVER_GLOBAL fills; weak, so that a program without any
// driver global still links, and then both are null.
extern "C" {
extern char __start_hestolvane_globals[] __attribute__((weak));
extern char __stop_hestolvane_globals[] __attribute__((weak));
}

namespace sim {
namespace {

constexpr ULONG KernelSecurityCheckFailure = 0x139;

const std::vector<unsigned char>& LoadTimeDriverData() {
    static const std::vector<unsigned char> Snapshot(__start_hestolvane_globals, __stop_hestolvane_globals);
    return Snapshot;
}

// Taken during static initialisation, before any test can have changed a driver global.
// NOLINTNEXTLINE(cert-err58-cpp): the copy must precede main; if it cannot be made, no test could run anyway.
[[maybe_unused]] const bool DriverDataSnapshotTaken = (LoadTimeDriverData(), true);

}  // namespace

void FormatHex(uint64_t Value, int Digits, char* Out) {
    for (int Index = Digits - 1; Index >= 0; Index--) {
        Out[Index] = "0123456789ABCDEF"[Value & 0xF];
        Value >>= 4;
    }
}

// One writev, so that lines from two threads stopping at once do not interleave. A failed write is not
// reported: the system stops either way and there is nowhere left to report it.
void StopSystem(ULONG Code, const char* What) {
    char Prefix[] = "*** STOP 0x00000000 ";
    FormatHex(Code, 8, Prefix + 11);
    char Newline[] = "\n";
    iovec Parts[] = {{Prefix, sizeof Prefix - 1}, {const_cast<char*>(What), std::strlen(What)}, {Newline, 1}};
    (void)!writev(STDERR_FILENO, Parts, 3);
    std::abort();
}

void FatalStop(ULONG Code, const std::string& What) {
    StopSystem(Code, What.c_str());
}

void Reset() {
    InstallFaultHandler();
    ResetBugCheck();
    ResetIrql();
    ResetPool();
    ResetMemory();
    ResetDriverSections();
    ResetUart();
    ResetTime();
    ResetDebugger();
    ResetUnwinding();
    ResetLoader();
    ResetStrings();
    ResetServiceControl();
    ResetIo();
    ResetRegistryHandles();
}

std::vector<std::string> TeardownProblems() {
    std::vector<std::string> Problems = PoolTeardownProblems();
    for (auto Area : {IrqlTeardownProblems, ServiceTeardownProblems, IoTeardownProblems, RegistryTeardownProblems}) {
        for (std::string& Problem : Area()) {
            Problems.push_back(std::move(Problem));
        }
    }
    return Problems;
}

void ReloadDriverData() {
    const std::vector<unsigned char>& Snapshot = LoadTimeDriverData();
    if (!Snapshot.empty()) {
        std::memcpy(__start_hestolvane_globals, Snapshot.data(), Snapshot.size());
    }
}

}  // namespace sim

extern "C" void RtlFailFast(ULONG Code) {
    sim::FatalStop(sim::KernelSecurityCheckFailure,
                   "KERNEL_SECURITY_CHECK_FAILURE fast-fail " + std::to_string(Code));
}
