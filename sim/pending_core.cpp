// TEMPORARY, delete when the simulated kernel's core (sim/kernel.cpp, irql.cpp, ...) is merged: the few
// core symbols the I/O, time and unwinding tests link against, reduced to what those tests need.
#include <cstdio>
#include <cstdlib>

#include "sim_internal.h"

namespace {

thread_local KIRQL PendingIrql = PASSIVE_LEVEL;

// IRQL_NOT_LESS_OR_EQUAL
constexpr ULONG IrqlNotLessOrEqual = 0xA;

}  // namespace

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    const KIRQL Previous = PendingIrql;
    PendingIrql = DISPATCH_LEVEL;
    *SpinLock = 1;
    return Previous;
}

extern "C" void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    *SpinLock = 0;
    PendingIrql = NewIrql;
}

namespace sim {

void Reset() {
    ResetUart();
    ResetTime();
    ResetDebugger();
    ResetUnwinding();
    PendingIrql = PASSIVE_LEVEL;
}

std::vector<std::string> TeardownProblems() {
    if (PendingIrql != PASSIVE_LEVEL) {
        return {"IRQL is not back at PASSIVE_LEVEL"};
    }
    return {};
}

void FatalStop(ULONG Code, const std::string& What) {
    fprintf(stderr, "*** STOP 0x%08X %s\n", Code, What.c_str());
    abort();
}

void ReloadDriverData() {}

KIRQL CurrentIrql() {
    return PendingIrql;
}

void RequirePassiveLevel(const char* Service) {
    if (PendingIrql != PASSIVE_LEVEL) {
        FatalStop(IrqlNotLessOrEqual, std::string(Service) + " called above PASSIVE_LEVEL");
    }
}

}  // namespace sim
