// Stand-ins for the reset points of the UART, time, debugger and unwinding areas, which are written on
// another branch; that branch's files replace this one, which exists only so that this branch links.
#include "sim_internal.h"

namespace sim {

void ResetUart() {}
void ResetTime() {}
void ResetDebugger() {}
void ResetUnwinding() {}

}  // namespace sim
