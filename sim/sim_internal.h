// Declarations shared between the simulated kernel's own sources; not for tests or the driver.
#pragma once

#include "sim_kernel.h"

namespace sim {

// Each area of the simulated kernel returns to its freshly booted state; Reset() calls them all.
void ResetPool();
void ResetMemory();
void ResetIrql();
void ResetBugCheck();
void ResetUart();
void ResetTime();
void ResetDebugger();
void ResetUnwinding();

// Kernel services that may not be called at raised IRQL or during a bug check stop the system, as the
// real kernel would (IRQL_NOT_LESS_OR_EQUAL, or a service used from a bug-check callback).
void RequirePassiveLevel(const char* Service);
void RequireNotInBugCheck(const char* Service);

}  // namespace sim
