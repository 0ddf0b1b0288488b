// Boot-state guard: a marker in the service key that survives a crash during module collection, so that
// the next boot runs without it.
#include "hestolvane.h"

DRIVER_GLOBAL BOOLEAN ModuleTrackingEnabled = TRUE;
DRIVER_GLOBAL ULONG BootState = 0;
