// The real Windows kernel's side of the build seam: what the driver build compiles in place of the
// simulated kernel. Included only through nt.h.
#pragma once

extern "C" {
// Data exports are reached through the import table, so they must be declared as imports.
__declspec(dllimport) extern ULONG_PTR KiBugCheckData[5];
__declspec(dllimport) extern ULONG InitSafeBootMode;
char* strrchr(const char* String, int Character);
}

[[noreturn]] inline void RtlFailFast(ULONG Code) {
    __fastfail(Code);
}

// x64 KUSER_SHARED_DATA, mapped at the same kernel address in every process; SystemTime at offset 0x14.
inline void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = *(volatile LONG64*)0xFFFFF78000000014ull;
}

inline BOOLEAN IsKernelSpaceAddress(const void* Address) {
    return AddressHasKernelSpaceBits((ULONG_PTR)Address);
}

// IN AL,DX and OUT DX,AL: the UART is reached by programmed I/O, with no HAL call in between.
inline UCHAR __inbyte(USHORT Port) {
    UCHAR Value;
    __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
    return Value;
}

inline void __outbyte(USHORT Port, UCHAR Data) {
    __asm__ __volatile__("outb %b0, %w1" : : "a"(Data), "Nd"(Port));
}

// Runs Body(Context) under a handler that catches every exception; TRUE when one was caught. clang only
// covers faults raised inside functions called from a __try body, so the guarded work is always a call.
typedef void GUARDED_BODY(PVOID Context);
__declspec(noinline) inline BOOLEAN RunGuarded(GUARDED_BODY* Body, PVOID Context) {
    __try {
        Body(Context);
    } __except (1) {
        return TRUE;
    }
    return FALSE;
}

// Placement: INIT is discarded once DriverEntry returns, PAGE may be paged out. Clang ignores
// #pragma alloc_text, so routines and texts are placed one by one.
#pragma section("INIT", read, execute)
#define INIT_CODE __declspec(code_seg("INIT"))
#define INIT_TEXT __declspec(allocate("INIT"))
#define PAGEABLE_CODE __declspec(code_seg("PAGE"))
#define DRIVER_GLOBAL
// Reads of other routines' stack frames, each in a call of its own so that the exception guard covers it.
#define FOREIGN_STACK_READ __declspec(noinline)
