// The simulated kernel's side of the build seam: what the host build links in place of the real kernel.
// Included only through nt.h; the definitions live in the simulated kernel (sim/).
#pragma once

#include <string.h>  // strrchr: the host C library stands in for the kernel's exported string routine

extern "C" {
extern ULONG_PTR KiBugCheckData[5];
extern ULONG InitSafeBootMode;

[[noreturn]] void RtlFailFast(ULONG Code);
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

// Linux cannot map addresses with the top 16 bits set, so kernel space is what the simulated kernel
// declares as such.
BOOLEAN IsKernelSpaceAddress(const void* Address);

UCHAR __inbyte(USHORT Port);
void __outbyte(USHORT Port, UCHAR Data);

typedef void GUARDED_BODY(PVOID Context);
BOOLEAN RunGuarded(GUARDED_BODY* Body, PVOID Context);
}

// Placement: sections of their own, page-aligned by the host link, so that the simulated kernel can make
// INIT unreadable once the entry routine has returned and take PAGE out whenever a processor raises its
// IRQL, as the real kernel may. A reference the placement forbids then stops the simulated system.
#define INIT_CODE __attribute__((section("hestolvane_init_code")))
#define INIT_TEXT __attribute__((section("hestolvane_init_text")))
#define PAGEABLE_CODE __attribute__((section("hestolvane_page_code")))
// The driver's writable globals share one section, so that the simulated loader can give every load of
// the driver freshly initialised data, as loading a real image does.
#define DRIVER_GLOBAL __attribute__((section("hestolvane_globals")))
// Reads of other routines' stack frames: AddressSanitizer would take them for overflows of those frames'
// locals, so they are left uninstrumented.
#define FOREIGN_STACK_READ __attribute__((noinline, no_sanitize("address")))
