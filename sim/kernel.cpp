// The simulated kernel as a whole: booting it afresh, the checks a real kernel makes at driver unload,
// stopping the system, and handing every load of the driver freshly initialised data.
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
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

// Failure points are counted on every thread; sweeps that fail them one by one run their image loads one
// after another, so that the Nth point is the same call in every run.
struct FailurePoints {
    std::mutex Lock;
    size_t Passed = 0;
    size_t FailAt = 0;  // 0: none
    std::string Failed;
};

FailurePoints& Points() {
    static FailurePoints* const Instance = new FailurePoints;
    return *Instance;
}

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

bool FailureInjectedAt(const char* Service) {
    FailurePoints& State = Points();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Passed++;
    if (State.Passed != State.FailAt) {
        return false;
    }
    State.Failed = Service;
    return true;
}

void FailFailurePoint(size_t Nth) {
    FailurePoints& State = Points();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.FailAt = Nth == 0 ? 0 : State.Passed + Nth;
}

size_t FailurePointsPassed() {
    FailurePoints& State = Points();
    std::lock_guard<std::mutex> Guard(State.Lock);
    return State.Passed;
}

std::string FailedFailurePoint() {
    FailurePoints& State = Points();
    std::lock_guard<std::mutex> Guard(State.Lock);
    return State.Failed;
}

void ResetFailurePoints() {
    FailurePoints& State = Points();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Passed = 0;
    State.FailAt = 0;
    State.Failed.clear();
}

void Reset() {
    InstallFaultHandler();
    ResetFailurePoints();
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
